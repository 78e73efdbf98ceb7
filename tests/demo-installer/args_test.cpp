// The demo installer's command-line splitting and switch rules, on explicit
// command-line strings (Wine rebuilds command lines from Unix arguments, so
// exact strings are tested here rather than through a process start).
#include <gtest/gtest.h>

#include <string>

#include "demo_args.h"

namespace {

std::wstring split_all(const wchar_t *line) {
    std::wstring joined;
    const wchar_t *cursor = line;
    wchar_t arg[DEMO_ARG_CAPACITY];
    for (int guard = 0; guard < 64; guard++) {
        int got = demo_args_next(&cursor, arg, DEMO_ARG_CAPACITY);
        if (got == 0) break;
        joined += L"[";
        joined += arg;
        joined += L"]";
    }
    return joined;
}

TEST(DemoArgs, SplittingGroupsQuotesAndKeepsBackslashes) {
    struct Row {
        const wchar_t *line;
        const wchar_t *expected;
    } rows[] = {
        {L"a b\tc", L"[a][b][c]"},
        {L"  \"C:\\Program Files\\x.exe\"   /SP-  ", L"[C:\\Program Files\\x.exe][/SP-]"},
        // A quoted path ending in a backslash: the backslash is text, the quote closes.
        {L"x /DIR=\"D:\\\" /NORESTART", L"[x][/DIR=D:\\][/NORESTART]"},
        {L"x /LOG=\"C:\\a b\\install.log\"", L"[x][/LOG=C:\\a b\\install.log]"},
        {L"\"a b\"c\"d e\"", L"[a bcd e]"},
        {L"x \"\" \"\"\"\" y", L"[x][y]"},
        {L"x \"open to the end", L"[x][open to the end]"},
        {L"", L""},
        {L"   ", L""},
    };
    for (const Row &row : rows) EXPECT_EQ(split_all(row.line), row.expected) << "line: " << row.line;
}

TEST(DemoArgs, SplittingReportsAnArgumentTooLongForItsBuffer) {
    const wchar_t *cursor = L"abcdef ghi";
    wchar_t arg[4];
    EXPECT_EQ(demo_args_next(&cursor, arg, 4), -1);
    EXPECT_EQ(std::wstring(arg), L"abc");
    EXPECT_EQ(demo_args_next(&cursor, arg, 4), 1);
    EXPECT_EQ(std::wstring(arg), L"ghi");
    EXPECT_EQ(demo_args_next(&cursor, arg, 4), 0);
}

TEST(DemoArgs, TheSetupProgramsFullCommandLineIsAccepted) {
    static DemoOptions o;
    const wchar_t *line =
        L"\"C:\\ProgramData\\VornquillAI-Setup\\VornquillAI-Setup-x64-2.3.0.exe\" /SP- "
        L"/LOG=\"C:\\ProgramData\\VornquillAI-Setup\\install.log\" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART "
        L"/DIR=\"D:\\Apps\\Vornquill AI\" /COMPONENTS=\"main,models\" /TASKS=\"desktopicon,quicklaunch\" /LANG=de";
    ASSERT_EQ(demo_args_parse(line, &o), DEMO_ARGS_OK) << o.detail;
    EXPECT_EQ(o.skip_prompt, 1);
    EXPECT_EQ(o.silence, DEMO_SILENCE_VERY);
    EXPECT_EQ(o.suppress_msgboxes, 1);
    EXPECT_EQ(o.no_restart, 1);
    EXPECT_EQ(o.log_default, 0);
    EXPECT_EQ(std::wstring(o.log_path), L"C:\\ProgramData\\VornquillAI-Setup\\install.log");
    EXPECT_EQ(o.dir_given, 1);
    EXPECT_EQ(std::wstring(o.dir), L"D:\\Apps\\Vornquill AI");
    EXPECT_EQ(o.components_given, 1);
    EXPECT_EQ(std::wstring(o.components), L"main,models");
    EXPECT_EQ(o.tasks_given, 1);
    EXPECT_EQ(std::wstring(o.tasks), L"desktopicon,quicklaunch");
    EXPECT_EQ(std::wstring(o.lang), L"de");
}

TEST(DemoArgs, SwitchVariantsAreReadAsTheInstallerFamilyReadsThem) {
    static DemoOptions o;
    // Names ignore case; the last silent switch wins; a repeated value switch keeps the last value.
    ASSERT_EQ(demo_args_parse(L"x /silent /VerySilent /SILENT /dir=C:\\a /DIR=\"C:\\b\" /noCancel", &o),
              DEMO_ARGS_OK);
    EXPECT_EQ(o.silence, DEMO_SILENCE_SILENT);
    EXPECT_EQ(std::wstring(o.dir), L"C:\\b");
    EXPECT_EQ(o.no_cancel, 1);
    // /LOG alone asks for a log in the temporary folder; a later /LOG="file" replaces it.
    ASSERT_EQ(demo_args_parse(L"x /LOG", &o), DEMO_ARGS_OK);
    EXPECT_EQ(o.log_default, 1);
    EXPECT_EQ(o.log_path[0], 0);
    ASSERT_EQ(demo_args_parse(L"x /LOG /LOG=\"C:\\l.txt\"", &o), DEMO_ARGS_OK);
    EXPECT_EQ(o.log_default, 0);
    EXPECT_EQ(std::wstring(o.log_path), L"C:\\l.txt");
    // Empty component and task lists select nothing, and are kept as given.
    ASSERT_EQ(demo_args_parse(L"x /COMPONENTS=\"\" /TASKS=", &o), DEMO_ARGS_OK);
    EXPECT_EQ(o.components_given, 1);
    EXPECT_EQ(o.components[0], 0);
    EXPECT_EQ(o.tasks_given, 1);
    // Nothing but the program, or nothing at all.
    ASSERT_EQ(demo_args_parse(L"\"C:\\x.exe\"", &o), DEMO_ARGS_OK);
    EXPECT_EQ(o.silence, DEMO_SILENCE_NONE);
    EXPECT_EQ(o.dir_given, 0);
    EXPECT_EQ(demo_args_parse(L"", &o), DEMO_ARGS_OK);
    EXPECT_EQ(demo_args_parse(nullptr, &o), DEMO_ARGS_OK);
}

TEST(DemoArgs, BadArgumentsAreRefusedAndNamed) {
    struct Row {
        const wchar_t *line;
        int status;
        const wchar_t *bad_arg;
    } rows[] = {
        {L"x /SP- /BOGUS /VERYSILENT", DEMO_ARGS_UNKNOWN, L"/BOGUS"},
        {L"x /SILENTLY", DEMO_ARGS_UNKNOWN, L"/SILENTLY"},
        {L"x /REPAIR", DEMO_ARGS_UNKNOWN, L"/REPAIR"},
        {L"x /SP", DEMO_ARGS_UNKNOWN, L"/SP"},
        {L"x -VERYSILENT", DEMO_ARGS_NOT_SWITCH, L"-VERYSILENT"},
        {L"x \"C:\\some file\"", DEMO_ARGS_NOT_SWITCH, L"C:\\some file"},
        {L"x /SILENT=1", DEMO_ARGS_BAD_VALUE, L"/SILENT=1"},
        {L"x /SP-=", DEMO_ARGS_BAD_VALUE, L"/SP-="},
        {L"x /DIR", DEMO_ARGS_BAD_VALUE, L"/DIR"},
        {L"x /DIR=\"\"", DEMO_ARGS_BAD_VALUE, L"/DIR="},
        {L"x /LOG=", DEMO_ARGS_BAD_VALUE, L"/LOG="},
        {L"x /COMPONENTS", DEMO_ARGS_BAD_VALUE, L"/COMPONENTS"},
        {L"x /LANG=", DEMO_ARGS_BAD_VALUE, L"/LANG="},
        {L"x /LANG=\"en us\"", DEMO_ARGS_BAD_VALUE, L"/LANG=en us"},
        {L"x /LANG=en;de", DEMO_ARGS_BAD_VALUE, L"/LANG=en;de"},
    };
    for (const Row &row : rows) {
        static DemoOptions o;
        EXPECT_EQ(demo_args_parse(row.line, &o), row.status) << "line: " << row.line;
        EXPECT_EQ(std::wstring(o.bad_arg), row.bad_arg) << "line: " << row.line;
        EXPECT_STRNE(o.detail, "") << "line: " << row.line;
    }
}

TEST(DemoArgs, ValuesLongerThanTheirBuffersAreRefused) {
    static DemoOptions o;
    std::wstring dir = L"x /DIR=C:\\" + std::wstring(DEMO_PATH_CAPACITY, L'd');
    EXPECT_EQ(demo_args_parse(dir.c_str(), &o), DEMO_ARGS_TOO_LONG);
    EXPECT_EQ(o.dir_given, 0);
    // The longest folder that fits is kept whole.
    std::wstring fits = L"x /DIR=C:\\" + std::wstring(DEMO_PATH_CAPACITY - 4, L'd');
    ASSERT_EQ(demo_args_parse(fits.c_str(), &o), DEMO_ARGS_OK);
    EXPECT_EQ(std::wstring(o.dir).size(), (size_t)DEMO_PATH_CAPACITY - 1);
    std::wstring lang = L"x /LANG=" + std::wstring(DEMO_LANG_CAPACITY, L'l');
    EXPECT_EQ(demo_args_parse(lang.c_str(), &o), DEMO_ARGS_TOO_LONG);
    // An argument longer than the splitter's buffer: refused, its beginning named.
    std::wstring huge = L"x /TASKS=" + std::wstring(DEMO_ARG_CAPACITY, L't');
    EXPECT_EQ(demo_args_parse(huge.c_str(), &o), DEMO_ARGS_TOO_LONG);
    EXPECT_EQ(std::wstring(o.bad_arg).substr(0, 8), L"/TASKS=t");
}

TEST(DemoArgs, InstallFolderMustBeAnAbsolutePlainPath) {
    struct Row {
        const wchar_t *path;
        int acceptable;
    } rows[] = {
        {L"C:\\Program Files\\Vornquill AI", 1},
        {L"d:/apps/vq", 1},
        {L"D:\\", 1},
        {L"\\\\server\\share\\Vornquill AI", 1},
        {L"Vornquill AI", 0},
        {L"\\Vornquill AI", 0},
        {L"C:", 0},
        {L"C:relative", 0},
        {L"1:\\x", 0},
        {L"\\\\?\\C:\\x", 0},
        {L"\\\\.\\pipe\\x", 0},
        {L"C:\\a|b", 0},
        {L"C:\\a\\b:c", 0},
        {L"C:\\a*", 0},
        {L"C:\\a\x01", 0},
    };
    for (const Row &row : rows) {
        const char *why = nullptr;
        EXPECT_EQ(demo_dir_acceptable(row.path, &why), row.acceptable) << "path: " << row.path;
        ASSERT_NE(why, nullptr);
        if (!row.acceptable) EXPECT_STRNE(why, "") << "path: " << row.path;
    }
}

TEST(DemoArgs, VersionComesFromTheReleaseFileName) {
    struct Row {
        const wchar_t *path;
        const wchar_t *version;  // nullptr: refused
    } rows[] = {
        {L"C:\\ProgramData\\VornquillAI-Setup\\VornquillAI-Setup-x64-2.3.0.exe", L"2.3.0"},
        {L"VornquillAI-Setup-x64-2.3.0-SELFSIGNED.exe", L"2.3.0"},
        {L"Z:/tmp/VornquillAI-Setup-x64-1.2.3-rc.1-SELFSIGNED.EXE", L"1.2.3-rc.1"},
        {L"C:\\a\\VornquillAI-Setup-x64-1.2.3-beta.Exe", L"1.2.3-beta"},
        // Only one -SELFSIGNED is taken off; what stays is the version as named.
        {L"VornquillAI-Setup-x64-1.0.0-SELFSIGNED-SELFSIGNED.exe", L"1.0.0-SELFSIGNED"},
        {L"VornquillAI-Setup-x64-.exe", nullptr},
        {L"VornquillAI-Setup-x64--SELFSIGNED.exe", nullptr},
        {L"VornquillAI-Setup-x64-2.3.0", nullptr},
        {L"VornquillAI-Setup-x64-2.3.0.msi", nullptr},
        {L"vornquillai-setup-x64-2.3.0.exe", nullptr},
        {L"VornquillAI-Setup-x86-2.3.0.exe", nullptr},
        {L"C:\\VornquillAI-Setup-x64-2.3.0.exe\\vq-demo-installer.exe", nullptr},
        {L"", nullptr},
    };
    for (const Row &row : rows) {
        wchar_t version[64];
        int result = demo_version_from_file_name(row.path, version, 64);
        if (row.version == nullptr) {
            EXPECT_EQ(result, -1) << "path: " << row.path;
            EXPECT_EQ(version[0], 0) << "path: " << row.path;
        } else {
            EXPECT_EQ(result, 0) << "path: " << row.path;
            EXPECT_EQ(std::wstring(version), row.version) << "path: " << row.path;
        }
    }
    // A version that does not fit its buffer is refused, not cut.
    wchar_t small[6];
    EXPECT_EQ(demo_version_from_file_name(L"VornquillAI-Setup-x64-12.3.4.exe", small, 6), -1);
    EXPECT_EQ(small[0], 0);
    EXPECT_EQ(demo_version_from_file_name(L"VornquillAI-Setup-x64-1.2.3.exe", small, 6), 0);
    EXPECT_EQ(std::wstring(small), L"1.2.3");
}

}  // namespace
