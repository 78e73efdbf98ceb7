// Key files of the release tool: a secret that group or others can reach is
// refused; a failed read leaves no secret behind; writing a pair never writes
// into an existing file and leaves the old pair as it was when a step fails.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sodium.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "release/release.h"
#include "tools/release/keyfile.h"

namespace {

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_text(const std::string &path, const std::string &text, mode_t mode) {
    std::ofstream(path, std::ios::binary) << text;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

std::vector<std::string> entries(const std::string &folder) {
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool all_zero(const uint8_t *bytes, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

class KeyFile : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/vq-keyfile-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder_ = name;
        char error[256];
        ASSERT_EQ(keyfile_generate(KEY_ROLE_RELEASE, "20261210", nullptr, &old_, error, sizeof error), 0) << error;
        ASSERT_EQ(keyfile_generate(KEY_ROLE_RELEASE, "20261211", nullptr, &new_, error, sizeof error), 0) << error;
        secret_ = folder_ + "/k.secret";
        public_ = folder_ + "/k.public";
        ASSERT_EQ(keyfile_write_pair(secret_.c_str(), public_.c_str(), &old_, 0, error, sizeof error), 0)
            << error;
        old_secret_text_ = read_text(secret_);
        old_public_text_ = read_text(public_);
    }
    void TearDown() override {
        keyfile_wipe(&old_);
        keyfile_wipe(&new_);
        std::string command = "rm -rf '" + folder_ + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    void expect_old_pair_untouched() {
        EXPECT_EQ(read_text(secret_), old_secret_text_);
        EXPECT_EQ(read_text(public_), old_public_text_);
    }

    std::string folder_, secret_, public_, old_secret_text_, old_public_text_;
    KeyPair old_, new_;
};

TEST_F(KeyFile, ASecretThatGroupOrOthersCanReachIsRefused) {
    const struct {
        mode_t mode;
        bool accepted;
    } cases[] = {
        {0600, true},  {0400, true},  {0700, true},  {0640, false}, {0604, false},
        {0620, false}, {0602, false}, {0644, false}, {0610, false},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(chmod(secret_.c_str(), c.mode), 0);
        KeyPair pair;
        char error[512] = "";
        int result = keyfile_read(secret_.c_str(), KEY_ROLE_RELEASE, 1, &pair, error, sizeof error);
        char mode_text[8];
        snprintf(mode_text, sizeof mode_text, "%04o", (unsigned)c.mode);
        if (c.accepted) {
            EXPECT_EQ(result, 0) << mode_text << ": " << error;
            EXPECT_EQ(memcmp(pair.seed, old_.seed, 32), 0) << mode_text;
        } else {
            EXPECT_EQ(result, -1) << mode_text;
            EXPECT_NE(strstr(error, secret_.c_str()), nullptr) << error;
            EXPECT_NE(strstr(error, (std::string("mode ") + mode_text).c_str()), nullptr) << error;
            EXPECT_TRUE(all_zero(pair.seed, sizeof pair.seed)) << mode_text;
            EXPECT_EQ(pair.has_secret, 0);
        }
        keyfile_wipe(&pair);
    }
    // A public file holds nothing secret: readable by all.
    ASSERT_EQ(chmod(public_.c_str(), 0644), 0);
    KeyPair pair;
    char error[512] = "";
    EXPECT_EQ(keyfile_read(public_.c_str(), KEY_ROLE_RELEASE, 0, &pair, error, sizeof error), 0) << error;
}

TEST_F(KeyFile, AFailedReadLeavesNoSecretInThePair) {
    // A seed that does not give the file's public key: read whole, then refused.
    std::string text = old_secret_text_;
    size_t at = text.find("seed=") + 5;
    text[at] = text[at] == '0' ? '1' : '0';
    std::string broken = folder_ + "/broken.secret";
    write_text(broken, text, 0600);
    KeyPair pair;
    memset(&pair, 0x5a, sizeof pair);
    char error[512] = "";
    EXPECT_EQ(keyfile_read(broken.c_str(), KEY_ROLE_RELEASE, 1, &pair, error, sizeof error), -1);
    EXPECT_NE(strstr(error, "inconsistent"), nullptr) << error;
    EXPECT_TRUE(all_zero(pair.seed, sizeof pair.seed));
    EXPECT_EQ(pair.has_secret, 0);
}

TEST_F(KeyFile, ReplacingWritesNewFilesAndKeepsOtherLinksOfTheOld) {
    std::string link = folder_ + "/k.secret-copy";
    ASSERT_EQ(::link(secret_.c_str(), link.c_str()), 0);
    char error[512] = "";
    ASSERT_EQ(keyfile_write_pair(secret_.c_str(), public_.c_str(), &new_, 1, error, sizeof error), 0)
        << error;
    EXPECT_EQ(read_text(link), old_secret_text_);
    struct stat st;
    ASSERT_EQ(stat(secret_.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(stat(public_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    KeyPair pair;
    ASSERT_EQ(keyfile_read(secret_.c_str(), KEY_ROLE_RELEASE, 1, &pair, error, sizeof error), 0) << error;
    EXPECT_STREQ(pair.kid, new_.kid);
    EXPECT_EQ(memcmp(pair.seed, new_.seed, 32), 0);
    keyfile_wipe(&pair);
    EXPECT_EQ(entries(folder_), (std::vector<std::string>{"k.public", "k.secret", "k.secret-copy"}));
}

TEST_F(KeyFile, TwoNamesOfOneTargetAreRefused) {
    // Names that differ but reach one directory entry or one file: the same
    // name through "./", through a linked folder, a symbolic link and a second
    // hard link of the secret file.
    std::string linked = folder_ + "/linked";
    ASSERT_EQ(symlink(folder_.c_str(), linked.c_str()), 0);
    std::string symbolic = folder_ + "/symbolic.public";
    ASSERT_EQ(symlink(secret_.c_str(), symbolic.c_str()), 0);
    std::string hard = folder_ + "/hard.public";
    ASSERT_EQ(::link(secret_.c_str(), hard.c_str()), 0);
    std::string fresh = folder_ + "/fresh.key";
    const struct {
        std::string secret, pub;
    } cases[] = {
        {secret_, folder_ + "/./k.secret"},
        {secret_, linked + "/k.secret"},
        {fresh, linked + "/fresh.key"},  // neither exists yet
        {secret_, symbolic},
        {secret_, hard},
    };
    for (const auto &c : cases) {
        for (int overwrite = 0; overwrite <= 1; overwrite++) {
            char error[512] = "";
            EXPECT_EQ(keyfile_write_pair(c.secret.c_str(), c.pub.c_str(), &new_, overwrite, error,
                                         sizeof error), -1)
                << c.secret << " " << c.pub;
            EXPECT_NE(strstr(error, "are one file"), nullptr) << error;
            expect_old_pair_untouched();
            EXPECT_EQ(entries(folder_), (std::vector<std::string>{"hard.public", "k.public", "k.secret",
                                                                  "linked", "symbolic.public"}));
        }
    }
    // Two different names in one folder are two targets.
    char error[512] = "";
    EXPECT_EQ(keyfile_write_pair(fresh.c_str(), (linked + "/fresh.public").c_str(), &new_, 0, error,
                                 sizeof error), 0)
        << error;
}

TEST_F(KeyFile, AFailedPublicWriteLeavesTheOldPair) {
    // A folder at the public file's name, and a public file in a missing folder.
    std::string in_the_way = folder_ + "/in-the-way.public";
    ASSERT_EQ(mkdir(in_the_way.c_str(), 0755), 0);
    const std::string publics[] = {in_the_way, folder_ + "/missing/k.public"};
    for (const std::string &target : publics) {
        char error[512] = "";
        EXPECT_EQ(keyfile_write_pair(secret_.c_str(), target.c_str(), &new_, 1, error, sizeof error), -1);
        EXPECT_NE(strstr(error, target.c_str()), nullptr) << error;
        expect_old_pair_untouched();
        EXPECT_EQ(entries(folder_),
                  (std::vector<std::string>{"in-the-way.public", "k.public", "k.secret"}));
        EXPECT_TRUE(entries(in_the_way).empty());
    }
}

TEST_F(KeyFile, WithoutOverwriteAnExistingSecretUndoesTheNewPublicFile) {
    // The secret's target exists (made after any check of the caller): the
    // public file that was already moved into place is taken back.
    std::string fresh_public = folder_ + "/fresh.public";
    char error[512] = "";
    EXPECT_EQ(keyfile_write_pair(secret_.c_str(), fresh_public.c_str(), &new_, 0, error, sizeof error), -1);
    EXPECT_NE(strstr(error, "already exists"), nullptr) << error;
    expect_old_pair_untouched();
    EXPECT_EQ(entries(folder_), (std::vector<std::string>{"k.public", "k.secret"}));
}

TEST_F(KeyFile, ASecretThatCannotBeMovedIntoPlaceIsKeptAndNamed) {
    // The public half is replaced, then a non-empty folder stands at the
    // secret's name: the new secret stays in its own owner-only file, named
    // in the message, rather than being lost.
    std::string secret_dir = folder_ + "/dir.secret";
    ASSERT_EQ(mkdir(secret_dir.c_str(), 0700), 0);
    write_text(secret_dir + "/inside", "x", 0600);
    char error[512] = "";
    EXPECT_EQ(keyfile_write_pair(secret_dir.c_str(), public_.c_str(), &new_, 1, error, sizeof error), -1);
    const char *kept = strstr(error, "its secret half is in ");
    ASSERT_NE(kept, nullptr) << error;
    std::string kept_path = kept + strlen("its secret half is in ");
    KeyPair pair;
    char read_error[512] = "";
    ASSERT_EQ(keyfile_read(kept_path.c_str(), KEY_ROLE_RELEASE, 1, &pair, read_error, sizeof read_error), 0) << read_error;
    EXPECT_EQ(memcmp(pair.seed, new_.seed, 32), 0);
    keyfile_wipe(&pair);
    EXPECT_EQ(read_text(secret_), old_secret_text_);
    EXPECT_NE(read_text(public_), old_public_text_);
}

// A latest.txt envelope of a valid release, signed with pair's seed.
std::string signed_release(const KeyPair &pair, const char *version) {
    char manifest[512];
    snprintf(manifest, sizeof manifest,
             "{\"v\":1,\"product\":\"vornquill-ai\",\"version\":\"%s\",\"channel\":\"stable\","
             "\"artifacts\":[{\"platform\":\"win32\",\"arch\":\"x64\",\"kind\":\"windows-installer\","
             "\"fileName\":\"VornquillAI-Setup-x64-%s.exe\",\"size\":1000,\"sha256\":\"%064d\"}]}",
             version, version, 0);
    size_t n = strlen(manifest);
    uint8_t pk[32], sk[64], signature[64];
    crypto_sign_seed_keypair(pk, sk, pair.seed);
    crypto_sign_detached(signature, nullptr, (const uint8_t *)manifest, n, sk);
    sodium_memzero(sk, sizeof sk);
    const int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::string payload(sodium_base64_ENCODED_LEN(n, variant), 0);
    std::string sig(sodium_base64_ENCODED_LEN(64, variant), 0);
    sodium_bin2base64(&payload[0], payload.size(), (const uint8_t *)manifest, n, variant);
    sodium_bin2base64(&sig[0], sig.size(), signature, 64, variant);
    return std::string("kid=") + pair.kid + "\npayload=" + payload.c_str() + "\nsig=" + sig.c_str() + "\n";
}

// Rotating the release key: a build whose table holds the old and the new key
// accepts releases signed by either; a build without a key refuses its
// releases as signed by an unknown key, as it always has.
TEST(KeyRotation, ATableOfTwoAcceptsEitherKeyAndRefusesOthers) {
    char error[256];
    KeyPair old_key, new_key, stranger;
    ASSERT_EQ(keyfile_generate(KEY_ROLE_RELEASE, "20261210", nullptr, &old_key, error, sizeof error), 0) << error;
    ASSERT_EQ(keyfile_generate(KEY_ROLE_RELEASE, "20271210", nullptr, &new_key, error, sizeof error), 0) << error;
    ASSERT_EQ(keyfile_generate(KEY_ROLE_RELEASE, "20271211", nullptr, &stranger, error, sizeof error), 0) << error;
    const TrustedKey before[] = {keyfile_trusted_key(&old_key)};
    const TrustedKey both[] = {keyfile_trusted_key(&old_key), keyfile_trusted_key(&new_key)};
    const TrustedKey after[] = {keyfile_trusted_key(&new_key)};
    const struct {
        const char *build;
        const TrustedKey *table;
        size_t count;
        const KeyPair *signer;
        VerifyStatus want;
    } cases[] = {
        {"old only", before, 1, &old_key, VERIFY_OK},
        {"old only", before, 1, &new_key, VERIFY_UNKNOWN_KID},
        {"both", both, 2, &old_key, VERIFY_OK},
        {"both", both, 2, &new_key, VERIFY_OK},
        {"both", both, 2, &stranger, VERIFY_UNKNOWN_KID},
        {"new only", after, 1, &new_key, VERIFY_OK},
        {"new only", after, 1, &old_key, VERIFY_UNKNOWN_KID},
    };
    for (const auto &c : cases) {
        std::string text = signed_release(*c.signer, "2.0.0");
        ReleaseInfo info;
        char detail[256] = "";
        VerifyStatus got = release_verify_with_keys(text.data(), text.size(), "1.0.0", c.table, c.count,
                                                    &info, detail, sizeof detail);
        EXPECT_EQ(got, c.want) << c.build << ", signed by " << c.signer->kid << ": " << detail;
        if (c.want == VERIFY_OK && got == VERIFY_OK) {
            EXPECT_STREQ(info.kid, c.signer->kid);
            EXPECT_STREQ(info.version, "2.0.0");
        }
        if (c.want == VERIFY_UNKNOWN_KID) {
            EXPECT_EQ(std::string(detail), std::string("the release is signed with key ") + c.signer->kid +
                                               ", which this installer does not know");
        }
        release_free(&info);
    }
    // A release under the new key's id but signed by another key is forged.
    KeyPair impostor = stranger;
    memcpy(impostor.kid, new_key.kid, sizeof impostor.kid);
    std::string forged = signed_release(impostor, "2.0.0");
    ReleaseInfo info;
    EXPECT_EQ(release_verify_with_keys(forged.data(), forged.size(), "1.0.0", both, 2, &info, nullptr, 0),
              VERIFY_BAD_SIGNATURE);
    release_free(&info);
    keyfile_wipe(&old_key);
    keyfile_wipe(&new_key);
    keyfile_wipe(&stranger);
}

}  // namespace
