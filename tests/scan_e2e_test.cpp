// End-to-end scans: the real server, driven through its pipes as a host
// does, scanning fixture plug-ins staged in temporary folders. Shows the log
// lines and their order, every report field, the module cache across
// requests, load and inspection failures, and the host callback's answers.
// The fixture's trace shows what the server asked and when the module was
// loaded and freed ("attach", "detach").
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "support/expected.h"
#include "support/piped_child.h"
#include "tests/e2e_server.h"
#include "tests/fixtures/fixture_config.h"
#include "tests/fixtures/fixture_files.h"

using E2E::CScan;
using E2E::CServer;
using E2E::Utf8;
using E2E::WithoutHandles;
using FixtureFiles::CTempFolder;
using FixtureFiles::ReadTrace;
using FixtureFiles::Stage;
using Lines = std::vector<std::string>;

namespace {

std::string Info(const std::string &text)
{
    return "info:" + text;
}

std::string Scanning(const std::wstring &request)
{
    return "info:Scanning plugin: '" + Utf8(request) + "'";
}

const char kAllMidiNo[] =
    "canDo.receiveVstMidiEvent=-1\ncanDo.receiveVstEvents=-1\ncanDo.sendVstMidiEvent=-1\ncanDo.sendVstEvents=-1\n";

// The report of a failed scan holds the defaults and the error.
void ExpectFailureReport(const CScan &scan, const std::string &error, const std::string &version)
{
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    EXPECT_EQ(scan.report.error, error);
    ExpectDefaultReport(scan.report, version);
}

// ---------------------------------------------------------------------------
// A successful scan, line by line.

TEST(ScanLinesTest, SuccessfulScanWritesEveryLineInOrder)
{
    CTempFolder folder;
    std::wstring dll = Stage(folder, "fx_effect", L"Plain",
                             std::string("id=0x41424344\nname=Plain Effect\nvendor=Fixture Works\nproduct=Plain\n"
                                         "inputs=2\noutputs=2\nflags=0x1000\ncategory=1\nvendorVersion=1234\n"
                                         "calls=1\n") +
                                 kAllMidiNo + "canDo.sendVstEvents=1\n");
    ASSERT_FALSE(dll.empty());
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(dll);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);

    EXPECT_EQ(WithoutHandles(scan.lines),
              (Lines{Scanning(dll),
                     Info("Loading library..."),
                     Info("Looking for entry point in module <module>"),
                     Info("Found VSTPluginMain()"),
                     Info("Calling entry point..."),
                     Info("Audio master callback: 1 - audioMasterVersion"),
                     Info("Dispatching effClose..."),
                     Info("Freeing library..."),
                     Info("Finished"),
                     ">:{",
                     ">:  \"id\":        \"41424344\",",
                     ">:  \"name\":      \"Plain Effect\",",
                     ">:  \"vendor\":    \"Fixture Works\",",
                     ">:  \"product\":   \"Plain\",",
                     ">:  \"version\":   \"1.2.3.4\",",
                     ">:  \"error\":     \"\",",
                     ">:  \"numInputs\": 2,",
                     ">:  \"numOutputs\":2,",
                     ">:  \"wantsMidi\":  false,",
                     ">:  \"sendsMidi\": true,",
                     ">:  \"platform\":  \"x86\",",
                     ">:  \"audio64\":   true,",
                     ">:  \"category\":  1,",
                     ">:  \"synthEdit\": false,",
                     ">:}"}));
    EXPECT_TRUE(scan.parsed) << scan.parseError;

    // The plug-in was asked in this order, closed, and its module freed.
    EXPECT_EQ(ReadTrace(dll), (Lines{"attach", "entry VSTPluginMain currentId=00000000", "dispatch 45", "dispatch 47",
                                     "dispatch 48", "dispatch 35", "canDo receiveVstMidiEvent",
                                     "canDo receiveVstEvents", "canDo sendVstMidiEvent", "canDo sendVstEvents",
                                     "dispatch 49", "dispatch 1", "detach"}));
}

TEST(ScanLinesTest, MainIsTheEntryWhenVSTPluginMainIsMissing)
{
    CTempFolder folder;
    std::wstring dll = Stage(folder, "fx_mainonly", L"Older", std::string("id=0x4F4C4452\nname=Older\n") + kAllMidiNo);
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(dll);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    EXPECT_EQ(WithoutHandles(scan.LogLines()),
              (Lines{Scanning(dll), Info("Loading library..."), Info("Looking for entry point in module <module>"),
                     Info("Found main()"), Info("Calling entry point..."), Info("Dispatching effClose..."),
                     Info("Freeing library..."), Info("Finished")}));
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    EXPECT_EQ(scan.report.name, "Older");
    EXPECT_EQ(scan.report.error, "");
    Lines trace = ReadTrace(dll);
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[1], "entry main currentId=00000000");
}

TEST(ScanLinesTest, PathWithAccentedLettersTravelsAsUtf8)
{
    CTempFolder folder;
    std::wstring dll = Stage(folder, "fx_effect", L"R\u00e9verb \u00c5", std::string("name=Accent\n") + kAllMidiNo);
    ASSERT_FALSE(dll.empty());
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(dll);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    ASSERT_FALSE(scan.lines.empty());
    // "é" and "Å" as their UTF-8 bytes.
    EXPECT_NE(scan.lines[0].find("R\xc3\xa9verb \xc3\x85.dll'"), std::string::npos) << scan.lines[0];
    EXPECT_EQ(scan.lines[0], Scanning(dll));
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    EXPECT_EQ(scan.report.error, "");
    EXPECT_EQ(scan.report.name, "Accent");
}

// ---------------------------------------------------------------------------
// Every report field from what the plug-in answers.

struct CExpected {
    std::string idText = "10203040";
    std::string version = "1.0.0.0";
    bool wantsMidi = false;
    bool sendsMidi = false;
    bool audio64 = false;
    int category = 1;
    bool synthEdit = false;
    int numInputs = 2;
    int numOutputs = 3;
    // The capability questions asked, in order.
    Lines questions = {"receiveVstMidiEvent", "receiveVstEvents", "sendVstMidiEvent", "sendVstEvents"};
};

struct CFieldCase {
    const char *label;
    const char *variant;
    const char *config;  // after the common lines, so its keys win
    std::function<void(CExpected *)> expect;
};

const char kFieldBase[] = "id=0x10203040\ninputs=2\noutputs=3\ncategory=1\nvendorVersion=1\n"
                          "canDo.receiveVstMidiEvent=-1\ncanDo.receiveVstEvents=-1\n"
                          "canDo.sendVstMidiEvent=-1\ncanDo.sendVstEvents=-1\n";

const CFieldCase kFieldCases[] = {
    // MIDI: any answer but -1 is a yes; the second question only after a -1.
    {"ReceiveMidiEventDontKnow", "fx_effect", "canDo.receiveVstMidiEvent=0\n",
     [](CExpected *e) {
         e->wantsMidi = true;
         e->questions = {"receiveVstMidiEvent", "sendVstMidiEvent", "sendVstEvents"};
     }},
    {"ReceiveEventsAfterNo", "fx_effect", "canDo.receiveVstEvents=1\n", [](CExpected *e) { e->wantsMidi = true; }},
    {"WantMidiFromEntry", "fx_effect", "wantMidi=1\n", [](CExpected *e) { e->wantsMidi = true; }},
    {"NoMidiAtAll", "fx_effect", "", [](CExpected *) {}},
    {"SendEventsDontKnowAfterNo", "fx_effect", "canDo.sendVstEvents=0\n", [](CExpected *e) { e->sendsMidi = true; }},
    {"SendMidiEventYes", "fx_effect", "canDo.sendVstMidiEvent=1\n",
     [](CExpected *e) {
         e->sendsMidi = true;
         e->questions = {"receiveVstMidiEvent", "receiveVstEvents", "sendVstMidiEvent"};
     }},
    // Category: the synth flag wins; unknown is decided by the inputs.
    {"SynthFlagMakesEffectASynth", "fx_effect", "category=1\nflags=0x100\n", [](CExpected *e) { e->category = 2; }},
    {"UnknownWithInputsIsEffect", "fx_effect", "category=0\ninputs=2\n", [](CExpected *e) { e->category = 1; }},
    {"UnknownWithoutInputsIsSynth", "fx_effect", "category=0\ninputs=0\n",
     [](CExpected *e) {
         e->category = 2;
         e->numInputs = 0;
     }},
    {"OtherCategoryAsReported", "fx_effect", "category=7\n", [](CExpected *e) { e->category = 7; }},
    {"SynthFlagOnAShellIsNoShell", "fx_effect", "category=10\nflags=0x100\nshell=00000001 Inner\n",
     [](CExpected *e) { e->category = 2; }},
    // Flags and id.
    {"DoubleReplacingIsAudio64", "fx_effect", "flags=0x1000\n", [](CExpected *e) { e->audio64 = true; }},
    {"IdMinusOne", "fx_effect", "id=-1\n", [](CExpected *e) { e->idText = "FFFFFFFF"; }},
    // The plug-in's version number and the file's version as its fallback.
    {"VendorVersion65535", "fx_effect", "vendorVersion=65535\n", [](CExpected *e) { e->version = "6.5.5.3"; }},
    {"VendorVersion6619136", "fx_effect", "vendorVersion=6619136\n",
     [](CExpected *e) { e->version = "0.66.19.136"; }},
    {"VendorVersionNegative", "fx_effect", "vendorVersion=-1\n", [](CExpected *e) { e->version = "-1.0.0.0"; }},
    {"ProductVersionOfTheFile", "fx_effect", "vendorVersion=0\n", [](CExpected *e) { e->version = "2.1.0.5"; }},
    {"FileVersionWhenProductIsZero", "fx_fileversion", "vendorVersion=0\n",
     [](CExpected *e) { e->version = "1.4.0.0"; }},
    {"NoVersionAnywhere", "fx_mainonly", "vendorVersion=0\n", [](CExpected *e) { e->version = ""; }},
    {"PluginVersionWinsOverTheFile", "fx_fileversion", "vendorVersion=1234\n",
     [](CExpected *e) { e->version = "1.2.3.4"; }},
    // Built with SynthEdit.
    {"SynthEditResource", "fx_synthedit", "", [](CExpected *e) { e->synthEdit = true; }},
};

void PrintTo(const CFieldCase &c, std::ostream *out)
{
    *out << c.label;
}

class ReportFieldsTest : public testing::TestWithParam<CFieldCase> {};

TEST_P(ReportFieldsTest, FieldsFollowTheAnswers)
{
    const CFieldCase &c = GetParam();
    CExpected e;
    c.expect(&e);
    CTempFolder folder;
    std::wstring dll = Stage(folder, c.variant, L"Fields", std::string(kFieldBase) + c.config);
    ASSERT_FALSE(dll.empty());
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(dll);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    ASSERT_TRUE(scan.parsed) << scan.parseError;

    const ScanHost::CReport &r = scan.report;
    EXPECT_EQ(r.idText, e.idText);
    // The plug-in leaves its text buffers untouched: empty texts.
    EXPECT_EQ(r.name, "");
    EXPECT_EQ(r.vendor, "");
    EXPECT_EQ(r.product, "");
    EXPECT_EQ(r.version, e.version);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.numInputs, e.numInputs);
    EXPECT_EQ(r.numOutputs, e.numOutputs);
    EXPECT_EQ(r.wantsMidi, e.wantsMidi);
    EXPECT_EQ(r.sendsMidi, e.sendsMidi);
    EXPECT_EQ(r.platform, "x86");
    EXPECT_EQ(r.audio64, e.audio64);
    EXPECT_EQ(r.category, e.category);
    EXPECT_EQ(r.synthEdit, e.synthEdit);
    EXPECT_FALSE(r.hasShells);

    Lines questions;
    for (const std::string &line : ReadTrace(dll))
        if (line.compare(0, 6, "canDo ") == 0)
            questions.push_back(line.substr(6));
    EXPECT_EQ(questions, e.questions);
    // Nothing but a shell is enumerated.
    for (const std::string &line : scan.lines)
        EXPECT_EQ(line.find("Found shell"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(E2E, ReportFieldsTest, testing::ValuesIn(kFieldCases),
                         [](const testing::TestParamInfo<CFieldCase> &info) { return std::string(info.param.label); });

TEST(ReportEscapingTest, TextsAreEscapedInTheReportAndWidenedByteByByte)
{
    CTempFolder folder;
    // quote, backslash, slash, tab, 0xE9, control bytes, DEL, and the
    // characters with short escapes.
    std::wstring dll = Stage(folder, "fx_effect", L"Escapes",
                             std::string("name=Q\\x22B\\\\S/T\\tE\\xe9C\\x14\\x7f\\x01\\b\\f\\n\\r\n"
                                         "vendor=caf\\xe9\nproduct=a/b\ncategory=10\n"
                                         "shell=0000ABCD Sub \\x22one\\x22 \\xe9/\\\\\\n>:}\n") +
                                 kAllMidiNo);
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(dll);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);

    Lines expected = {">:{",
                      ">:  \"id\":        \"00000000\",",
                      ">:  \"name\":      \"Q\\\"B\\\\S\\/T\\tE\\u00e9C\\u0014\\u007f\\u0001\\b\\f\\n\\r\",",
                      ">:  \"vendor\":    \"caf\\u00e9\",",
                      ">:  \"product\":   \"a\\/b\",",
                      ">:  \"version\":   \"2.1.0.5\",",
                      ">:  \"error\":     \"\",",
                      ">:  \"numInputs\": 0,",
                      ">:  \"numOutputs\":0,",
                      ">:  \"wantsMidi\":  false,",
                      ">:  \"sendsMidi\": false,",
                      ">:  \"platform\":  \"x86\",",
                      ">:  \"audio64\":   false,",
                      ">:  \"category\":  10,",
                      ">:  \"synthEdit\": false,",
                      ">:  \"shells\": {",
                      ">:        \"0000ABCD\": \"Sub \\\"one\\\" \\u00e9\\/\\\\\\n>:}\",",
                      ">:  },",
                      ">:}"};
    EXPECT_EQ(scan.reportLines, expected);
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    EXPECT_EQ(scan.report.name, "Q\"B\\S/T\tE\xc3\xa9" "C\x14\x7f\x01\b\f\n\r");
    EXPECT_EQ(scan.report.vendor, "caf\xc3\xa9");
    ASSERT_EQ(scan.report.shells.size(), 1u);
    EXPECT_EQ(scan.report.shells[0].name, "Sub \"one\" \xc3\xa9/\\\n>:}");
    // The log line names the sub-plug-in as the plug-in gave it, widened, and
    // stays one line: the line feed in the name starts no line of its own
    // (which would have shown among the report lines above).
    std::string found = Info("Found shell: 0000ABCD - Sub \"one\" \xc3\xa9/\\");
    EXPECT_EQ(std::count_if(scan.lines.begin(), scan.lines.end(),
                            [&found](const std::string &line) { return line.compare(0, found.size(), found) == 0; }),
              1);
}

// A plug-in that writes a little more than the 512 bytes it may: the server
// keeps its own state, reports the whole text and serves on.
TEST(ReportEscapingTest, NamesAFewBytesPastTheBufferAreSurvived)
{
    CTempFolder folder;
    std::wstring dll = Stage(folder, "fx_effect", L"Overlong",
                             std::string("overlongNames=600\ncategory=10\nshell=00000001 x\nshell=00000002 y\n") +
                                 kAllMidiNo);
    std::wstring plain = Stage(folder, "fx_effect", L"Plain", std::string("name=Plain\n") + kAllMidiNo);
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(dll);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    std::string name = FixtureConfig::OverlongName(600);
    EXPECT_EQ(scan.report.name, name);
    ASSERT_EQ(scan.report.shells.size(), 2u);
    EXPECT_EQ(scan.report.shells[0].name, name);
    EXPECT_EQ(scan.report.shells[1].name, name);
    EXPECT_EQ(server.Scan(plain).report.name, "Plain");
}

// ---------------------------------------------------------------------------
// Failures: each ends with the error line right before the report.

struct CFailureCase {
    const char *label;
    const char *variant;  // null: the file does not exist
    const char *config;
    const char *error;    // null: a load error, its number asked of the platform
    const char *version;
    Lines middle;         // the lines between "Loading library..." and the error
    Lines trace;
};

const CFailureCase kFailureCases[] = {
    {"JBridgeRefusedWithoutACall", "fx_jbridge", "", "Module is a jBridge bootstrap, ignoring", "",
     {"info:Looking for entry point in module <module>", "info:Freeing library...", "info:Finished"},
     {"attach", "detach"}},
    {"NoEntryPointKeepsTheFileVersion", "fx_noentry", "", "Entry point not found, not a VST plugin", "2.1.0.5",
     {"info:Looking for entry point in module <module>", "info:Freeing library...", "info:Finished"},
     {"attach", "detach"}},
    {"EntryReturnsNull", "fx_effect", "returnNull=1\n", "Entry point returned NULL", "2.1.0.5",
     {"info:Looking for entry point in module <module>", "info:Found VSTPluginMain()", "info:Calling entry point...",
      "info:Freeing library...", "info:Finished"},
     {"attach", "entry VSTPluginMain currentId=00000000", "detach"}},
    {"BadMagic", "fx_effect", "magic=0x56737451\n", "Bad magic", "2.1.0.5",
     {"info:Looking for entry point in module <module>", "info:Found VSTPluginMain()", "info:Calling entry point...",
      "info:Freeing library...", "info:Finished"},
     {"attach", "entry VSTPluginMain currentId=00000000", "detach"}},
    {"MissingFile", nullptr, "", "Failed to load library, err=126", "", {}, {}},
    {"MissingDependency", "fx_needsdependency", "", nullptr, "", {}, {}},
#if FIXTURE_HAS_X64
    {"SixtyFourBitModule", "fx_x64", "", nullptr, "", {}, {}},
#endif
};

void PrintTo(const CFailureCase &c, std::ostream *out)
{
    *out << c.label;
}

class ScanFailureTest : public testing::TestWithParam<CFailureCase> {};

TEST_P(ScanFailureTest, ErrorLineThenDefaultReport)
{
    const CFailureCase &c = GetParam();
    CTempFolder folder;
    std::wstring dll;
    if (c.variant) {
        dll = Stage(folder, c.variant, L"Failing", c.config);
        ASSERT_FALSE(dll.empty());
    } else {
        dll = folder / L"Missing.dll";
    }
    std::string error;
    if (c.error) {
        error = c.error;
    } else {
        // The number this platform gives for the module, as the server must
        // pass it on.
        SetLastError(0);
        HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        DWORD code = GetLastError();
        ASSERT_EQ(module, nullptr) << "the module loads here";
        ASSERT_NE(code, 0u);
        std::cout << c.label << ": the platform's load error is " << code << std::endl;
        error = "Failed to load library, err=" + std::to_string(code);
    }

    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(dll);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    Lines expected = {Scanning(dll), "info:Loading library..."};
    expected.insert(expected.end(), c.middle.begin(), c.middle.end());
    expected.push_back("error:" + error);
    EXPECT_EQ(WithoutHandles(scan.LogLines()), expected);
    ExpectFailureReport(scan, error, c.version);
    if (c.variant && c.error) {
        EXPECT_EQ(ReadTrace(dll), c.trace);
    }

    // The server goes on serving.
    CScan again = server.Scan(dll);
    EXPECT_EQ(again.end, ScanHost::EEnd::Ready);
    EXPECT_EQ(again.report.error, error);
}

INSTANTIATE_TEST_SUITE_P(E2E, ScanFailureTest, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<CFailureCase> &info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Shells and the module cache.

const char kShellConfig[] = "id=0x5348454C\nname=Fixture Shell\ncategory=10\ninputs=2\noutputs=2\n"
                            "shell=1A2B3C4D Alpha\nshell=00000BEE Beta\n"
                            "canDo.receiveVstMidiEvent=-1\ncanDo.receiveVstEvents=-1\n"
                            "canDo.sendVstMidiEvent=-1\ncanDo.sendVstEvents=-1\n";

// Scans the shell by its bare path and checks that it was loaded, listed and
// kept; *handles receives the module handle it was loaded at.
void ScanShell(CServer &server, const std::wstring &dll, Lines *handles = nullptr)
{
    CScan scan = server.Scan(dll);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    if (handles)
        *handles = E2E::Handles(scan.lines);
    Lines tail = {Info("Audio master callback: 2 - audioMasterCurrentId"),
                  Info("Found shell: 1A2B3C4D - Alpha"),
                  Info("Found shell: 00000BEE - Beta"),
                  Info("Dispatching effClose..."),
                  Info("Keeping shell library loaded for now..."),
                  Info("Finished")};
    Lines log = WithoutHandles(scan.LogLines());
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(Lines(log.end() - tail.size(), log.end()), tail);
    EXPECT_EQ(std::count(log.begin(), log.end(), Info("Loading library...")), 1);
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    EXPECT_EQ(scan.report.category, 10);
    ASSERT_TRUE(scan.report.hasShells);
    ASSERT_EQ(scan.report.shells.size(), 2u);
    EXPECT_EQ(scan.report.shells[0].idText, "1A2B3C4D");
    EXPECT_EQ(scan.report.shells[0].name, "Alpha");
    EXPECT_EQ(scan.report.shells[1].idText, "00000BEE");
    EXPECT_EQ(scan.report.shells[1].name, "Beta");
    EXPECT_EQ(scan.reportLines[15], ">:  \"shells\": {");
}

size_t Count(const Lines &lines, const std::string &line)
{
    return std::count(lines.begin(), lines.end(), line);
}

TEST(ModuleCacheTest, SubPluginRequestsReuseTheShellModule)
{
    CTempFolder folder;
    std::wstring shell = Stage(folder, "fx_effect", L"Shell", kShellConfig);
    std::wstring other = Stage(folder, "fx_effect", L"Other", std::string("name=Other\n") + kAllMidiNo);
    CServer server;
    ASSERT_TRUE(server.Start());
    Lines handles;
    ASSERT_NO_FATAL_FAILURE(ScanShell(server, shell, &handles));

    struct CSub {
        std::wstring suffix;
        std::string idText;
        std::string name;
        std::string traced;
    };
    const CSub subs[] = {{L">1A2B3C4D", "1A2B3C4D", "Alpha", "entry VSTPluginMain currentId=1A2B3C4D"},
                         {L">bee", "00000BEE", "Beta", "entry VSTPluginMain currentId=00000BEE"}};
    for (const CSub &sub : subs) {
        SCOPED_TRACE(Utf8(sub.suffix));
        CScan scan = server.Scan(shell + sub.suffix);
        ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
        EXPECT_EQ(WithoutHandles(scan.LogLines()),
                  (Lines{Scanning(shell + sub.suffix), Info("Re-using previous library instance..."),
                         Info("Looking for entry point in module <module>"), Info("Found VSTPluginMain()"),
                         Info("Calling entry point..."), Info("Audio master callback: 2 - audioMasterCurrentId"),
                         Info("Dispatching effClose..."), Info("Keeping shell library loaded for now..."),
                         Info("Finished")}));
        // The same module every time.
        EXPECT_EQ(E2E::Handles(scan.lines), handles);
        ASSERT_TRUE(scan.parsed) << scan.parseError;
        EXPECT_EQ(scan.report.idText, sub.idText);
        EXPECT_EQ(scan.report.name, sub.name);
        EXPECT_EQ(scan.report.category, 1);
        EXPECT_FALSE(scan.report.hasShells);
        EXPECT_EQ(ReadTrace(shell).back(), "dispatch 1");
        EXPECT_EQ(Count(ReadTrace(shell), sub.traced), 1u);
    }
    Lines trace = ReadTrace(shell);
    EXPECT_EQ(Count(trace, "attach"), 1u);
    EXPECT_EQ(Count(trace, "detach"), 0u);

    // Another path frees the kept module first.
    CScan next = server.Scan(other);
    ASSERT_EQ(next.end, ScanHost::EEnd::Ready);
    Lines log = next.LogLines();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(Lines(log.begin(), log.begin() + 4),
              (Lines{Scanning(other), Info("Freeing cached library..."), Info("Freed"), Info("Loading library...")}));
    EXPECT_EQ(log.back(), Info("Finished"));
    EXPECT_EQ(Count(log, Info("Freeing library...")), 1u);
    EXPECT_EQ(ReadTrace(shell).back(), "detach");
    EXPECT_EQ(next.report.name, "Other");
}

TEST(ModuleCacheTest, PathInOtherLetterCaseIsLoadedAgain)
{
    CTempFolder folder;
    std::wstring shell = Stage(folder, "fx_effect", L"Shell", kShellConfig);
    CServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_NO_FATAL_FAILURE(ScanShell(server, shell));
    std::wstring upper = folder / L"SHELL.DLL";
    CScan scan = server.Scan(upper);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    Lines log = scan.LogLines();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(Lines(log.begin(), log.begin() + 4),
              (Lines{Scanning(upper), Info("Freeing cached library..."), Info("Freed"), Info("Loading library...")}));
    EXPECT_EQ(Count(log, Info("Re-using previous library instance...")), 0u);
    Lines trace = ReadTrace(shell);
    EXPECT_EQ(Count(trace, "attach"), 2u);
    EXPECT_EQ(Count(trace, "detach"), 1u);
}

class ShellIdTest : public testing::TestWithParam<const wchar_t *> {};

// ">" followed by nothing or by no hexadecimal digit asks for id 0: the shell
// itself, from the kept module.
TEST_P(ShellIdTest, RequestWithoutHexadecimalIdUsesIdZero)
{
    CTempFolder folder;
    std::wstring shell = Stage(folder, "fx_effect", L"Shell", kShellConfig);
    CServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_NO_FATAL_FAILURE(ScanShell(server, shell));
    std::wstring request = shell + GetParam();
    CScan scan = server.Scan(request);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    ASSERT_GE(scan.lines.size(), 2u);
    EXPECT_EQ(scan.lines[0], Scanning(request));
    EXPECT_EQ(scan.lines[1], Info("Re-using previous library instance..."));
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    EXPECT_EQ(scan.report.idText, "5348454C");
    EXPECT_EQ(scan.report.shells.size(), 2u);
    Lines trace = ReadTrace(shell);
    EXPECT_EQ(Count(trace, "entry VSTPluginMain currentId=00000000"), 2u);
    EXPECT_EQ(Count(trace, "attach"), 1u);
}

INSTANTIATE_TEST_SUITE_P(E2E, ShellIdTest, testing::Values(L">", L">xyz", L">g1"),
                         [](const testing::TestParamInfo<const wchar_t *> &info) {
                             return "Case" + std::to_string(info.index);
                         });

TEST(ShellTest, DuplicateIdsAreListedOnce)
{
    CTempFolder folder;
    std::wstring shell = Stage(folder, "fx_effect", L"Dupes",
                               std::string("category=10\nshell=00000001 One\nshell=00000002 Two\n"
                                           "shell=00000001 One again\nshell=00000003 Three\n") +
                                   kAllMidiNo);
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(shell);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    Lines found;
    for (const std::string &line : scan.LogLines())
        if (line.find("Found shell") != std::string::npos || line.find("duplicate") != std::string::npos)
            found.push_back(line);
    EXPECT_EQ(found, (Lines{Info("Found shell: 00000001 - One"), Info("Found shell: 00000002 - Two"),
                            Info("Found shell: 00000001 - One again"), Info("   - duplicate, ignoring"),
                            Info("Found shell: 00000003 - Three")}));
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    ASSERT_EQ(scan.report.shells.size(), 3u);
    EXPECT_EQ(scan.report.shells[0].name, "One");
    EXPECT_EQ(scan.report.shells[1].name, "Two");
    EXPECT_EQ(scan.report.shells[2].name, "Three");
}

TEST(ShellTest, EmptyShellHasAnEmptyListAndIsFreed)
{
    CTempFolder folder;
    std::wstring shell = Stage(folder, "fx_effect", L"Empty", std::string("category=10\n") + kAllMidiNo);
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(shell);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    EXPECT_EQ(scan.report.category, 10);
    EXPECT_TRUE(scan.report.hasShells);
    EXPECT_TRUE(scan.report.shells.empty());
    Lines log = scan.LogLines();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Lines(log.end() - 3, log.end()),
              (Lines{Info("Dispatching effClose..."), Info("Freeing library..."), Info("Finished")}));
    EXPECT_EQ(ReadTrace(shell).back(), "detach");
    // Lines 16 and 18 of the report with nothing between them.
    ASSERT_EQ(scan.reportLines.size(), 18u);
    EXPECT_EQ(scan.reportLines[15], ">:  \"shells\": {");
    EXPECT_EQ(scan.reportLines[16], ">:  },");
}

class EndlessShellTest : public testing::TestWithParam<const char *> {};

// A shell that never says "no more" is cut off with a warning; what it
// listed is reported and the server serves on.
TEST_P(EndlessShellTest, EnumerationStopsWithAWarning)
{
    CTempFolder folder;
    std::wstring shell =
        Stage(folder, "fx_effect", L"Endless", std::string("trace=0\ncategory=10\nendlessShell=") + GetParam() + "\n");
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(shell);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    EXPECT_EQ(scan.report.category, 10);
    Lines log = scan.LogLines();
    size_t found = 0, duplicates = 0, lastFound = 0, warning = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].compare(0, 17, "info:Found shell:") == 0) {
            ++found;
            lastFound = i;
        } else if (log[i] == Info("   - duplicate, ignoring")) {
            ++duplicates;
        } else if (log[i].compare(0, 5, "warn:") == 0) {
            warning = i;
        }
    }
    EXPECT_GT(found, 1u);
    EXPECT_GT(warning, lastFound) << "no warning after the enumeration";
    EXPECT_EQ(scan.report.shells.size(), found - duplicates);
    if (std::string(GetParam()) == "same") {
        EXPECT_EQ(scan.report.shells.size(), 1u);
    } else {
        EXPECT_EQ(duplicates, 0u);
    }
    EXPECT_EQ(log.back(), Info("Finished"));
    // Still serving.
    EXPECT_EQ(server.Scan(folder / L"Missing.dll").end, ScanHost::EEnd::Ready);
}

INSTANTIATE_TEST_SUITE_P(E2E, EndlessShellTest, testing::Values("fresh", "same"));

// At the end of the input the server frees a kept module; with nothing kept
// it writes nothing more. Either way it ends with 0.
TEST(ShutdownTest, KeptModuleIsFreedAtTheEnd)
{
    CTempFolder folder;
    std::wstring shell = Stage(folder, "fx_effect", L"Shell", kShellConfig);
    CServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_NO_FATAL_FAILURE(ScanShell(server, shell));
    std::optional<unsigned long> exitCode;
    EXPECT_EQ(server.Shutdown(&exitCode), (Lines{Info("Freeing cached library..."), Info("Freed")}));
    EXPECT_EQ(exitCode, std::optional<unsigned long>(0));
    EXPECT_EQ(ReadTrace(shell).back(), "detach");
}

TEST(ShutdownTest, NothingKeptNothingWritten)
{
    CTempFolder folder;
    std::wstring dll = Stage(folder, "fx_effect", L"Plain", kAllMidiNo);
    CServer server;
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.Scan(dll).end, ScanHost::EEnd::Ready);
    std::optional<unsigned long> exitCode;
    EXPECT_EQ(server.Shutdown(&exitCode), Lines{});
    EXPECT_EQ(exitCode, std::optional<unsigned long>(0));
}

// ---------------------------------------------------------------------------
// The host callback, checked from inside the plug-in.

TEST(HostCallbackTest, TourOfEveryOpcodePassesAndIsLogged)
{
    CTempFolder folder;
    std::wstring dll = Stage(folder, "fx_effect", L"Tour", std::string("tour=1\nname=Tour\n") + kAllMidiNo);
    CServer server;
    ASSERT_TRUE(server.Start());
    CScan scan = server.Scan(dll);
    ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
    ASSERT_TRUE(scan.parsed) << scan.parseError;
    // The plug-in checked every answer itself.
    EXPECT_EQ(scan.report.product, "tour passed");
    EXPECT_EQ(scan.report.error, "");
    // audioMasterWantMidi was among the calls.
    EXPECT_TRUE(scan.report.wantsMidi);

    const std::set<int> handled = {0, 1, 2, 6, 14, 16, 17, 23, 32, 33, 34};
    Lines expected;
    for (int opcode : FixtureConfig::TourOpcodes()) {
        expected.push_back(Info("Audio master callback: " + std::to_string(opcode) + " - " + ExpectedOpcodeName(opcode)));
        if (!handled.count(opcode))
            expected.push_back("warn:Unhandled audioMaster opCode - " + std::to_string(opcode));
    }
    for (int i = 0; i < FixtureConfig::kTourCanDoCount; ++i)
        expected.push_back(Info(std::string("Query host can do: '") + FixtureConfig::kTourCanDo[i].name + "'"));

    Lines log = scan.LogLines();
    auto from = std::find(log.begin(), log.end(), Info("Calling entry point..."));
    auto to = std::find(log.begin(), log.end(), Info("Dispatching effClose..."));
    ASSERT_TRUE(from != log.end() && to != log.end() && from < to);
    EXPECT_EQ(Lines(from + 1, to), expected);
}

// The command-line host follows a shell's report with a request for each
// plug-in inside it, by the same path and its id, while the module is held.
TEST(CommandLineHost, FollowsEveryShellWithItsPlugins)
{
    CTempFolder folder;
    std::wstring shell = Stage(folder, "fx_effect", L"Shell", kShellConfig);
    ASSERT_FALSE(shell.empty());

    CPipedChild scan;
    std::string error;
    ASSERT_TRUE(scan.Start(FixtureFiles::WindowsPath(std::string(TEST_BIN_DIR) + "/quenmoor-scan.exe"),
                           L"--raw --server " + ScanHost::QuoteArgument(E2E::ServerPath()) + L" " +
                               ScanHost::QuoteArgument(shell),
                           true,
                           &error))
        << error;

    Lines requests;
    Lines lines;
    std::string line;
    while (scan.channel.ReadLine(&line, E2E::kTimeout) == ScanHost::ERead::Line) {
        lines.push_back(line);
        if (line.compare(0, 11, "# request: ") == 0)
            requests.push_back(line.substr(11));
    }
    std::string path = Utf8(shell);
    EXPECT_EQ(requests, (Lines{path, path + ">1A2B3C4D", path + ">00000BEE"}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ">:{"), 3);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), Info("Re-using previous library instance...")), 2);
    // One load; each sub-plug-in was created from the id the host passed.
    Lines trace = ReadTrace(shell);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "attach"), 1);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "entry VSTPluginMain currentId=1A2B3C4D"), 1);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "entry VSTPluginMain currentId=00000BEE"), 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "# exit code: 0");
    EXPECT_EQ(scan.process.WaitExit(E2E::kTimeout), std::optional<uint32_t>(0));
}

}  // namespace
