// End-to-end: what a plug-in changes in the server's process is put back
// after its request, with one "warn" line per setting naming the server's
// value and the plug-in's: the x87 control word and MXCSR, the current
// directory, the error mode and the DLL search directory. A plug-in that
// unmasks floating-point exceptions no longer crashes the innocent plug-in
// scanned after it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e_server.h"
#include "tests/fixtures/fixture_files.h"

using E2E::CScan;
using E2E::CServer;
using E2E::Utf8;
using FixtureFiles::CTempFolder;
using FixtureFiles::Stage;
using Lines = std::vector<std::string>;

namespace {

std::string CurrentDirectory()
{
    wchar_t directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, directory);
    return Utf8(std::wstring(directory, length));
}

// A path as a config text, its backslashes escaped.
std::string ConfigPath(const CTempFolder &folder)
{
    std::string text;
    for (char c : Utf8(folder.path)) {
        if (c == '\\')
            text += '\\';
        text += c;
    }
    return text;
}

// The lines after "info:Finished" and before the report.
Lines AfterFinished(const CScan &scan)
{
    Lines log = scan.LogLines();
    auto finished = std::find(log.begin(), log.end(), "info:Finished");
    if (finished == log.end())
        return Lines{"(no Finished line)"};
    return Lines(finished + 1, log.end());
}

// Scans the plug-in that changes settings twice and a plain one after it.
// Both scans of the first report the same change, from the server's own
// value: the first scan's change was put back. The plain plug-in sees the
// server's settings again and causes no line.
struct CChangeCase {
    const char *label;
    std::string (*config)(const CTempFolder &elsewhere);
    Lines (*expected)(const CTempFolder &elsewhere);
};

void PrintTo(const CChangeCase &c, std::ostream *out)
{
    *out << c.label;
}

const CChangeCase kChangeCases[] = {
    {"CurrentDirectory", [](const CTempFolder &elsewhere) { return "chdir=" + ConfigPath(elsewhere) + "\n"; },
     [](const CTempFolder &elsewhere) {
         return Lines{"warn:Plug-in changed the current directory from '" + CurrentDirectory() + "' to '" +
                      Utf8(elsewhere.path) + "'; restored"};
     }},
    {"ErrorMode", [](const CTempFolder &) { return std::string("errorMode=0\n"); },
     [](const CTempFolder &) { return Lines{"warn:Plug-in changed the error mode from 8001 to 0000; restored"}; }},
    {"DllDirectory", [](const CTempFolder &elsewhere) { return "dllDirectory=" + ConfigPath(elsewhere) + "\n"; },
     [](const CTempFolder &elsewhere) {
         return Lines{"warn:Plug-in changed the DLL directory from '' to '" + Utf8(elsewhere.path) + "'; restored"};
     }},
    {"AllAtOnce",
     [](const CTempFolder &elsewhere) {
         return "chdir=" + ConfigPath(elsewhere) + "\nerrorMode=1\ndllDirectory=" + ConfigPath(elsewhere) + "\n";
     },
     [](const CTempFolder &elsewhere) {
         return Lines{"warn:Plug-in changed the error mode from 8001 to 0001; restored",
                      "warn:Plug-in changed the current directory from '" + CurrentDirectory() + "' to '" +
                          Utf8(elsewhere.path) + "'; restored",
                      "warn:Plug-in changed the DLL directory from '' to '" + Utf8(elsewhere.path) + "'; restored"};
     }},
};

class ProcessStateTest : public testing::TestWithParam<CChangeCase> {};

TEST_P(ProcessStateTest, ChangeIsReportedAndPutBack)
{
    const CChangeCase &c = GetParam();
    CTempFolder plugins;
    CTempFolder elsewhere;
    std::wstring changer = Stage(plugins, "fx_effect", L"Changer", "trace=0\nname=Changer\n" + c.config(elsewhere));
    std::wstring plain = Stage(plugins, "fx_effect", L"Plain", "trace=0\nname=Plain\n");
    ASSERT_FALSE(changer.empty());
    ASSERT_FALSE(plain.empty());
    CServer server;
    ASSERT_TRUE(server.Start());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        CScan scan = server.Scan(changer);
        ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
        EXPECT_EQ(AfterFinished(scan), c.expected(elsewhere));
        ASSERT_TRUE(scan.parsed) << scan.parseError;
        EXPECT_EQ(scan.report.name, "Changer");
        EXPECT_EQ(scan.report.error, "");
    }
    CScan next = server.Scan(plain);
    ASSERT_EQ(next.end, ScanHost::EEnd::Ready);
    EXPECT_EQ(AfterFinished(next), Lines{});
    std::optional<unsigned long> exitCode;
    server.Shutdown(&exitCode);
    EXPECT_EQ(exitCode, std::optional<unsigned long>(0));
}

INSTANTIATE_TEST_SUITE_P(E2E, ProcessStateTest, testing::ValuesIn(kChangeCases),
                         [](const testing::TestParamInfo<CChangeCase> &info) { return std::string(info.param.label); });

// The masks the fixture clears: zero-divide and invalid operation.
const unsigned kX87Unmasked = 0x0005;
const unsigned kMxcsrUnmasked = 0x0280;

// The old and new value of a "Plug-in changed <what> from X to Y; restored"
// line; false when the line has another form.
bool ParseChange(const std::string &line, const std::string &what, unsigned *from, unsigned *to)
{
    std::smatch parts;
    std::regex pattern("warn:Plug-in changed " + what + " from ([0-9A-F]{4}) to ([0-9A-F]{4}); restored");
    if (!std::regex_match(line, parts, pattern))
        return false;
    *from = std::stoul(parts[1], nullptr, 16);
    *to = std::stoul(parts[2], nullptr, 16);
    return true;
}

// A plug-in that unmasks floating-point exceptions is reported, and the
// plug-in after it divides by zero without trapping.
TEST(FloatingPointTest, UnmaskedExceptionsArePutBackBeforeTheNextPlugin)
{
    CTempFolder plugins;
    std::wstring unmasker = Stage(plugins, "fx_effect", L"Unmasker", "trace=0\nname=Unmasker\nfpu=unmask\n");
    std::wstring divider = Stage(plugins, "fx_effect", L"Divider", "trace=0\nname=Divider\ndivideFloat=1\n");
    CServer server;
    ASSERT_TRUE(server.Start());

    CScan scan = server.Scan(unmasker);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    Lines changes = AfterFinished(scan);
    ASSERT_EQ(changes.size(), 2u) << testing::PrintToString(changes);
    unsigned from = 0, to = 0;
    ASSERT_TRUE(ParseChange(changes[0], "the x87 control word", &from, &to)) << changes[0];
    EXPECT_EQ(to, from & ~kX87Unmasked) << changes[0];
    EXPECT_EQ(from & kX87Unmasked, kX87Unmasked) << "the server runs with the exceptions masked";
    ASSERT_TRUE(ParseChange(changes[1], "MXCSR", &from, &to)) << changes[1];
    EXPECT_EQ(to, from & ~kMxcsrUnmasked) << changes[1];
    EXPECT_EQ(from & kMxcsrUnmasked, kMxcsrUnmasked);

    CScan next = server.Scan(divider);
    ASSERT_EQ(next.end, ScanHost::EEnd::Ready);
    EXPECT_EQ(AfterFinished(next), Lines{});
    ASSERT_TRUE(next.parsed) << next.parseError;
    EXPECT_EQ(next.report.name, "Divider");
    std::optional<unsigned long> exitCode;
    server.Shutdown(&exitCode);
    EXPECT_EQ(exitCode, std::optional<unsigned long>(0));
}

// The division traps once the exception is unmasked: a plug-in that does
// both crashes the server.
TEST(FloatingPointTest, DivisionTrapsWhenUnmasked)
{
    CTempFolder plugins;
    std::wstring both = Stage(plugins, "fx_effect", L"Both", "trace=0\nfpu=unmask\ndivideFloat=1\n");
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(both);
    EXPECT_EQ(scan.end, ScanHost::EEnd::Closed);
    EXPECT_EQ(server.process.WaitExit(E2E::kTimeout), std::optional<DWORD>(9));
}

}  // namespace
