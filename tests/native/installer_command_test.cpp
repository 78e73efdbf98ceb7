// The product installer's command line.
#include <gtest/gtest.h>

#include "machine/installer.h"
#include "test_text.h"

namespace {

TEST(InstallerCommandLine, QuotingSpacingAndForwardedSwitches) {
    struct Case {
        const wchar16 *installer;
        const wchar16 *log;
        const wchar16 *forwarded;
        const wchar16 *expected;
    };
    const Case cases[] = {
        {T16("C:\\W\\VornquillAI-Setup-x64-2.3.0.exe"), T16("C:\\W\\install.log"), nullptr,
         T16("\"C:\\W\\VornquillAI-Setup-x64-2.3.0.exe\" /SP- /LOG=\"C:\\W\\install.log\"")},
        {T16("C:\\W\\a.exe"), T16("C:\\W\\install.log"), T16(""),
         T16("\"C:\\W\\a.exe\" /SP- /LOG=\"C:\\W\\install.log\"")},
        {T16("C:\\Program Data\\V S\\a b.exe"), T16("C:\\Program Data\\V S\\install.log"),
         T16("/VERYSILENT /SUPPRESSMSGBOXES /NORESTART /DIR=\"D:\\Vornquill AI\" /LANG=de"),
         T16("\"C:\\Program Data\\V S\\a b.exe\" /SP- /LOG=\"C:\\Program Data\\V S\\install.log\" "
             "/VERYSILENT /SUPPRESSMSGBOXES /NORESTART /DIR=\"D:\\Vornquill AI\" /LANG=de")},
        {T16("a.exe"), T16("l"), T16("/SILENT"), T16("\"a.exe\" /SP- /LOG=\"l\" /SILENT")},
    };
    for (const Case &c : cases) {
        wchar16 line[INSTALLER_COMMAND_LINE_CAPACITY];
        int length = installer_command_line(line, INSTALLER_COMMAND_LINE_CAPACITY, c.installer, c.log, c.forwarded);
        EXPECT_EQ(u16(line), u16(c.expected));
        EXPECT_EQ(length, (int)u16(c.expected).size());
    }
}

TEST(InstallerCommandLine, ALineThatDoesNotFitIsRefused) {
    const wchar16 *expected = T16("\"a.exe\" /SP- /LOG=\"l\" /SILENT");
    size_t exact = u16(expected).size() + 1;
    wchar16 line[64];
    EXPECT_EQ(installer_command_line(line, exact, T16("a.exe"), T16("l"), T16("/SILENT")), (int)exact - 1);
    EXPECT_EQ(installer_command_line(line, exact - 1, T16("a.exe"), T16("l"), T16("/SILENT")), -1);
}

}  // namespace
