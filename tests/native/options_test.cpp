// Acceptance of the switches and the forwarded text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup/options.h"
#include "tests/native/test_text.h"

namespace {

std::vector<wchar16> w(const std::u16string &s) {
    std::vector<wchar16> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

struct Parsed {
    int accepted;
    std::u16string offending;
    std::u16string forwarded;
    SetupOptions options;
};

Parsed parse(const std::vector<std::u16string> &args) {
    std::vector<std::vector<wchar16>> storage;
    std::vector<const wchar16 *> pointers;
    for (const auto &a : args) storage.push_back(w(a));
    for (const auto &s : storage) pointers.push_back(s.data());
    static SetupOptions options;
    wchar16 error[OPTIONS_ERROR_CAPACITY] = {0};
    Parsed p;
    p.accepted = options_parse_arguments(&options, pointers.data(), (int)pointers.size(), error,
                                         OPTIONS_ERROR_CAPACITY);
    p.offending = u16(error);
    wchar16 forwarded[2048];
    options_forward(&options, forwarded, 2048);
    p.forwarded = u16(forwarded);
    p.options = options;
    return p;
}

TEST(Options, AcceptanceTable) {
    const std::u16string dir1022(1022, u'd');
    const std::u16string dir1023(1023, u'd');
    const std::u16string lang32(32, u'x');
    const std::u16string lang33(33, u'x');
    const std::u16string list250(250, u'a');
    const std::u16string list251(251, u'a');
    struct Case {
        std::vector<std::u16string> args;
        int accepted;
        std::u16string offending;
        std::u16string forwarded;
    };
    const Case cases[] = {
        {{}, 1, u"", u""},
        {{u"/silent"}, 1, u"", u"/SILENT"},
        {{u"/SiLeNt", u"/NoRestart"}, 1, u"", u"/SILENT /NORESTART"},
        {{u"/SILENT", u"/VERYSILENT"}, 1, u"", u"/VERYSILENT"},
        {{u"/REPAIR"}, 1, u"", u""},
        {{u"/SUPPRESSMSGBOXES", u"/VERYSILENT"}, 1, u"", u"/VERYSILENT /SUPPRESSMSGBOXES"},
        {{u"/SILENT=1"}, 0, u"/SILENT=1", u""},
        {{u"/DIRX=C:\\x"}, 0, u"/DIRX=C:\\x", u""},
        {{u"/DIR"}, 0, u"/DIR", u""},
        {{u"/DIR="}, 0, u"/DIR=", u""},
        {{u"/dir=C:\\Program Files\\Vornquill"}, 1, u"", u"/DIR=\"C:\\Program Files\\Vornquill\""},
        {{u"/DIR=C:\\x\""}, 0, u"/DIR=C:\\x\"", u""},
        {{u"/DIR=a\tb"}, 0, u"/DIR=a\tb", u""},
        {{u"/DIR=" + dir1022}, 1, u"", u"/DIR=\"" + dir1022 + u"\""},
        {{u"/DIR=" + dir1023}, 0, (u"/DIR=" + dir1023).substr(0, 255), u""},
        {{u"/LANG=" + lang32}, 1, u"", u"/LANG=" + lang32},
        {{u"/LANG=" + lang33}, 0, u"/LANG=" + lang33, u""},
        {{u"/LANG=pt_BR-x"}, 1, u"", u"/LANG=pt_BR-x"},
        {{u"/LANG=de,en"}, 0, u"/LANG=de,en", u""},
        {{u"/COMPONENTS=main,!extra\\sub,*all_x"}, 1, u"", u"/COMPONENTS=\"main,!extra\\sub,*all_x\""},
        {{u"/COMPONENTS=a b"}, 0, u"/COMPONENTS=a b", u""},
        {{u"/TASKS=a.b"}, 0, u"/TASKS=a.b", u""},
        {{u"/TASKS=" + list250}, 1, u"", u"/TASKS=\"" + list250 + u"\""},
        {{u"/TASKS=" + list251}, 0, (u"/TASKS=" + list251).substr(0, 255), u""},
        {{u"/COMPONENTS=\u00e9"}, 0, u"/COMPONENTS=\u00e9", u""},
        // A folder name holds nothing that breaks, hides or reorders the
        // "running:" line: DEL, C1 controls, separators, direction controls.
        {{u"/DIR=C:\\a\u007fb"}, 0, u"/DIR=C:\\a\u007fb", u""},
        {{u"/DIR=C:\\a\u0080b"}, 0, u"/DIR=C:\\a\u0080b", u""},
        {{u"/DIR=C:\\a\u0085b"}, 0, u"/DIR=C:\\a\u0085b", u""},
        {{u"/DIR=C:\\a\u009fb"}, 0, u"/DIR=C:\\a\u009fb", u""},
        {{u"/DIR=C:\\a\u2028b"}, 0, u"/DIR=C:\\a\u2028b", u""},
        {{u"/DIR=C:\\a\u2029b"}, 0, u"/DIR=C:\\a\u2029b", u""},
        {{u"/DIR=C:\\a\u200eb"}, 0, u"/DIR=C:\\a\u200eb", u""},
        {{u"/DIR=C:\\a\u200fb"}, 0, u"/DIR=C:\\a\u200fb", u""},
        {{u"/DIR=C:\\a\u061cb"}, 0, u"/DIR=C:\\a\u061cb", u""},
        {{u"/DIR=C:\\a\u202ab"}, 0, u"/DIR=C:\\a\u202ab", u""},
        {{u"/DIR=C:\\a\u202eb"}, 0, u"/DIR=C:\\a\u202eb", u""},
        {{u"/DIR=C:\\a\u2066b"}, 0, u"/DIR=C:\\a\u2066b", u""},
        {{u"/DIR=C:\\a\u2069b"}, 0, u"/DIR=C:\\a\u2069b", u""},
        // Their neighbours, and other letters of the world, are folder names.
        {{u"/DIR=C:\\\u00a0\u00e9\u200d\u2027\u202f\u2065\u206a\u65e5"}, 1, u"",
         u"/DIR=\"C:\\\u00a0\u00e9\u200d\u2027\u202f\u2065\u206a\u65e5\""},
        // Repeats fail on the second occurrence, even with good values.
        {{u"/SILENT", u"/SILENT"}, 0, u"/SILENT", u"/SILENT"},
        {{u"/LANG=en", u"/LANG=de"}, 0, u"/LANG=de", u"/LANG=de"},
        // The first offending argument is kept; later flags still count.
        {{u"/bogus", u"/other", u"/SILENT"}, 0, u"/bogus", u"/SILENT"},
        {{u"/SILENT", u"--help", u"/SUPPRESSMSGBOXES"}, 0, u"--help", u"/SILENT /SUPPRESSMSGBOXES"},
    };
    for (const Case &c : cases) {
        std::u16string joined;
        for (const auto &a : c.args) joined += a.substr(0, 40) + u" ";
        Parsed p = parse(c.args);
        EXPECT_EQ(p.accepted, c.accepted) << std::string(joined.begin(), joined.end());
        EXPECT_EQ(p.offending, c.offending) << std::string(joined.begin(), joined.end());
        EXPECT_EQ(p.forwarded, c.forwarded) << std::string(joined.begin(), joined.end());
    }
}

TEST(Options, EveryFieldIsClearedBeforeParsing) {
    Parsed first = parse({u"/SILENT", u"/DIR=C:\\a", u"/LANG=en"});
    ASSERT_EQ(first.accepted, 1);
    Parsed second = parse({});
    EXPECT_EQ(second.options.silent, 0u);
    EXPECT_EQ(second.options.dir[0], 0);
    EXPECT_EQ(second.options.lang[0], 0);
}

TEST(Options, LongestForwardedTextFitsTheFlowBuffer) {
    const std::u16string dir(1022, u'd');
    const std::u16string list(250, u'c');
    const std::u16string lang(32, u'l');
    Parsed p = parse({u"/SILENT", u"/VERYSILENT", u"/SUPPRESSMSGBOXES", u"/NORESTART", u"/REPAIR",
                      u"/DIR=" + dir, u"/COMPONENTS=" + list, u"/TASKS=" + list, u"/LANG=" + lang});
    ASSERT_EQ(p.accepted, 1);
    EXPECT_EQ(p.forwarded.size(), 1634u);
    EXPECT_EQ(p.forwarded.substr(0, 31), u"/VERYSILENT /SUPPRESSMSGBOXES /");
    // A buffer one unit short of the text reports the cut.
    wchar16 small[1634];
    EXPECT_EQ(options_forward(&p.options, small, 1634), -1);
    wchar16 exact[1635];
    EXPECT_EQ(options_forward(&p.options, exact, 1635), 1634);
}

TEST(Options, OffendingArgumentIsCutToTheBuffer) {
    static SetupOptions options;
    const std::vector<wchar16> arg = w(u"/unknown-switch");
    const wchar16 *args[] = {arg.data()};
    wchar16 error[5] = {0};
    EXPECT_EQ(options_parse_arguments(&options, args, 1, error, 5), 0);
    EXPECT_EQ(u16(error), u"/unk");
}

TEST(Options, ValueAndTextRules) {
    EXPECT_EQ(u16(option_value(T16("/dir=x"), T16("/DIR"))), u"x");
    EXPECT_EQ(u16(option_value(T16("/DIR="), T16("/DIR"))), u"");
    EXPECT_EQ(option_value(T16("/DI"), T16("/DIR")), nullptr);
    EXPECT_EQ(option_value(T16("/DIRECTORY=x"), T16("/DIR")), nullptr);
    EXPECT_EQ(option_text_valid(T16(""), "_", 5), 0);
    EXPECT_EQ(option_text_valid(T16("a_1"), "_", 3), 1);
    EXPECT_EQ(option_text_valid(T16("a_12"), "_", 3), 0);
    EXPECT_EQ(option_text_valid(T16("a-1"), "_", 5), 0);
}

}  // namespace
