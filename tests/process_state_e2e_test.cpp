// End-to-end: what a plug-in changes in the server's process is put back
// after its request, with one "warn" line per setting naming the server's
// value and the plug-in's: the x87 control word and MXCSR, the current
// directory, the error mode and the DLL search directory. A plug-in that
// unmasks floating-point exceptions no longer crashes the innocent plug-in
// scanned after it. Plug-ins that never give back the storage slots they take
// at every load make the server refuse further loads while a few dozen slots
// are left, instead of loading a module into a process without any.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "support/expected.h"
#include "tests/e2e_server.h"
#include "tests/fixtures/fixture_files.h"

using E2E::CScan;
using E2E::CServer;
using E2E::Utf8;
using FixtureFiles::ConfigText;
using FixtureFiles::CTempFolder;
using FixtureFiles::ReadTrace;
using FixtureFiles::Stage;
using Lines = std::vector<std::string>;

namespace {

std::string CurrentDirectory()
{
    wchar_t directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, directory);
    return Utf8(std::wstring(directory, length));
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
// server's settings again and causes no line. In the texts, {elsewhere}
// stands for a folder of the test's and {cwd} for the server's current
// directory (the test's own).
struct CChangeCase {
    const char *label;
    std::string config;
    Lines expected;
};

void PrintTo(const CChangeCase &c, std::ostream *out)
{
    *out << c.label;
}

const CChangeCase kChangeCases[] = {
    {"CurrentDirectory", "chdir={elsewhere}\n",
     {"warn:Plug-in changed the current directory from '{cwd}' to '{elsewhere}'; restored"}},
    {"ErrorMode", "errorMode=0\n", {"warn:Plug-in changed the error mode from 8001 to 0000; restored"}},
    {"DllDirectory", "dllDirectory={elsewhere}\n",
     {"warn:Plug-in changed the DLL directory from '' to '{elsewhere}'; restored"}},
    {"AllAtOnce", "chdir={elsewhere}\nerrorMode=1\ndllDirectory={elsewhere}\n",
     {"warn:Plug-in changed the error mode from 8001 to 0001; restored",
      "warn:Plug-in changed the current directory from '{cwd}' to '{elsewhere}'; restored",
      "warn:Plug-in changed the DLL directory from '' to '{elsewhere}'; restored"}},
};

std::string Substitute(std::string text, const std::string &name, const std::string &value)
{
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
        text.replace(at, name.size(), value);
    return text;
}

class ProcessStateTest : public testing::TestWithParam<CChangeCase> {};

TEST_P(ProcessStateTest, ChangeIsReportedAndPutBack)
{
    const CChangeCase &c = GetParam();
    CTempFolder plugins;
    CTempFolder elsewhere;
    std::string config = Substitute(c.config, "{elsewhere}", ConfigText(elsewhere.path));
    Lines expected;
    for (const std::string &line : c.expected)
        expected.push_back(
            Substitute(Substitute(line, "{elsewhere}", Utf8(elsewhere.path)), "{cwd}", CurrentDirectory()));
    std::wstring changer = Stage(plugins, "fx_effect", L"Changer", "trace=0\nname=Changer\n" + config);
    std::wstring plain = Stage(plugins, "fx_effect", L"Plain", "trace=0\nname=Plain\n");
    ASSERT_FALSE(changer.empty());
    ASSERT_FALSE(plain.empty());
    CServer server;
    ASSERT_TRUE(server.Start());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        CScan scan = server.Scan(changer);
        ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
        EXPECT_EQ(AfterFinished(scan), expected);
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

struct CLeakCase {
    const char *label;
    const char *config;      // fewer slots per load than the server keeps in reserve
    const char *exhausted;   // the fixture's trace when it got no slot
};

void PrintTo(const CLeakCase &c, std::ostream *out)
{
    *out << c.label;
}

const CLeakCase kLeakCases[] = {
    {"ThreadLocalStorage", "leakTls=20\n", "tls exhausted"},
    {"FibreLocalStorage", "leakFls=20\n", "fls exhausted"},
};

class StorageLeakTest : public testing::TestWithParam<CLeakCase> {};

// The leaking plug-in is loaded again and again until the server refuses;
// every load it was given had its slots, the refused one was not loaded, and
// the server answers every later request the same way until it is ended.
TEST_P(StorageLeakTest, LoadsAreRefusedWhileSlotsAreLeft)
{
    const int kMaxLoads = 1000;
    const std::string kExhausted = "Server resources exhausted, restart the server";
    const CLeakCase &c = GetParam();
    CTempFolder plugins;
    std::wstring leaky = Stage(plugins, "fx_effect", L"Leaky", std::string("name=Leaky\n") + c.config);
    std::wstring plain = Stage(plugins, "fx_effect", L"Plain", "name=Plain\n");
    CServer server;
    ASSERT_TRUE(server.Start());

    int loaded = 0;
    CScan refused;
    for (; loaded < kMaxLoads; ++loaded) {
        CScan scan = server.Scan(leaky);
        ASSERT_EQ(scan.end, ScanHost::EEnd::Ready) << "load " << loaded;
        ASSERT_TRUE(scan.parsed) << scan.parseError;
        if (!scan.report.error.empty()) {
            refused = scan;
            break;
        }
        EXPECT_EQ(scan.report.name, "Leaky");
    }
    ASSERT_LT(loaded, kMaxLoads) << "never refused";
    EXPECT_GT(loaded, 0);
    EXPECT_EQ(refused.LogLines(), (Lines{"info:Scanning plugin: '" + Utf8(leaky) + "'", "error:" + kExhausted}));
    EXPECT_EQ(refused.report.error, kExhausted);
    ExpectDefaultReport(refused.report, "");

    Lines trace = ReadTrace(leaky);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "attach"), loaded);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), c.exhausted), 0);

    CScan next = server.Scan(plain);
    ASSERT_EQ(next.end, ScanHost::EEnd::Ready);
    ASSERT_TRUE(next.parsed) << next.parseError;
    EXPECT_EQ(next.report.error, kExhausted);
    EXPECT_EQ(ReadTrace(plain), Lines{});
    std::optional<unsigned long> exitCode;
    server.Shutdown(&exitCode);
    EXPECT_EQ(exitCode, std::optional<unsigned long>(0));
}

INSTANTIATE_TEST_SUITE_P(E2E, StorageLeakTest, testing::ValuesIn(kLeakCases),
                         [](const testing::TestParamInfo<CLeakCase> &info) { return std::string(info.param.label); });

}  // namespace
