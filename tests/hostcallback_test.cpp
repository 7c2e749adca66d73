// The host callback called in-process, its lines captured: every answer of
// the table, the log line of every call, the opcode names, capability
// questions and the string copies into a plug-in's buffer.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "probe/hostcallback.h"
#include "service/scan.h"
#include "support/capture.h"
#include "support/expected.h"

namespace {

intptr_t Call(int32_t opcode, void *ptr = nullptr)
{
    return HostCallback(nullptr, opcode, 7, 9, ptr, 1.5f);
}

std::string CallLine(int32_t opcode, const char *name)
{
    return "info:Audio master callback: " + std::to_string(opcode) + " - " + name + "\n";
}

TEST(HostCallback, AnswersItsTableAndLogsEveryCall)
{
    struct {
        int32_t opcode;
        const char *name;
        intptr_t answer;
    } cases[] = {
        {0, "audioMasterAutomate", 0},
        {1, "audioMasterVersion", 2400},
        {2, "audioMasterCurrentId", 0},
        {6, "audioMasterWantMidi", 0},
        {14, "audioMasterNeedIdle", 1},
        {16, "audioMasterGetSampleRate", 44100},
        {17, "audioMasterGetBlockSize", 512},
        {23, "audioMasterGetCurrentProcessLevel", 4},
        {34, "audioMasterGetVendorVersion", 3},
    };
    for (const auto &c : cases) {
        COutputCapture capture;
        EXPECT_EQ(Call(c.opcode), c.answer) << c.name;
        EXPECT_EQ(capture.Text(), CallLine(c.opcode, c.name));
    }
}

TEST(HostCallback, UnhandledOpcodesAreWarnedAboutAndAnsweredZero)
{
    struct {
        int32_t opcode;
        const char *name;
    } cases[] = {
        {3, "audioMasterIdle"},
        {5, "<unknown>"},
        {7, "audioMasterGetTime"},
        {49, "audioMasterGetInputSpeakerArrangement"},
        {50, "<unknown>"},
        {-1, "<unknown>"},
        {INT32_MIN, "<unknown>"},
    };
    for (const auto &c : cases) {
        COutputCapture capture;
        EXPECT_EQ(Call(c.opcode), 0) << c.opcode;
        EXPECT_EQ(capture.Text(), CallLine(c.opcode, c.name) + "warn:Unhandled audioMaster opCode - " +
                                      std::to_string(c.opcode) + "\n");
    }
}

TEST(HostCallback, OpcodeNamesCoverZeroToFortyNineButFive)
{
    for (int opcode = 0; opcode < 50; ++opcode) {
        std::string expected = ExpectedOpcodeName(opcode);
        Simple::CWideString name = GetAudioMasterOpcodeName(opcode);
        ASSERT_NE(name.text, nullptr);
        EXPECT_EQ(std::wstring(name.text), std::wstring(expected.begin(), expected.end())) << opcode;
    }
}

TEST(HostCallback, CurrentIdIsTheShellIdBeingScanned)
{
    COutputCapture capture;
    g_nCurrentShellId = 0x1A2B3C4D;
    EXPECT_EQ(Call(2), 0x1A2B3C4D);
    g_nCurrentShellId = -5;
    EXPECT_EQ(Call(2), -5);
    g_nCurrentShellId = 0;
    EXPECT_EQ(Call(2), 0);
}

TEST(HostCallback, WantMidiSetsTheFlag)
{
    COutputCapture capture;
    g_bWantMidi = false;
    Call(6);
    EXPECT_TRUE(g_bWantMidi);
    g_bWantMidi = false;
}

TEST(HostCallback, StringsAreCopiedWithTheirTerminatorOnly)
{
    struct {
        int32_t opcode;
        const char *name;
        const char *text;
    } cases[] = {
        {32, "audioMasterGetVendorString", "Halvorn Software"},
        {33, "audioMasterGetProductString", "Quenmoor"},
    };
    for (const auto &c : cases) {
        COutputCapture capture;
        char buffer[80];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(Call(c.opcode, buffer), 1);
        EXPECT_STREQ(buffer, c.text);
        // Nothing beyond the terminator is written.
        size_t length = strlen(c.text);
        for (size_t i = length + 1; i < sizeof buffer; ++i)
            ASSERT_EQ(buffer[i], 'x') << c.name << " byte " << i;
        EXPECT_EQ(capture.Text(), CallLine(c.opcode, c.name));
    }
}

TEST(HostCallback, StringRequestsWithoutABufferWriteNothing)
{
    COutputCapture capture;
    EXPECT_EQ(Call(32, nullptr), 0);
    EXPECT_EQ(Call(33, nullptr), 0);
    EXPECT_EQ(capture.Text(), CallLine(32, "audioMasterGetVendorString") + CallLine(33, "audioMasterGetProductString"));
}

TEST(HostCallback, CanDoComparesCapabilitiesIgnoringTheCaseOfAsciiLetters)
{
    struct {
        const char *name;
        intptr_t answer;
    } cases[] = {
        {"sizeWindow", 1},
        {"sendVstEvents", 1},
        {"SENDVSTEVENTS", 1},
        {"sendVstMidiEvent", 1},
        {"sendVstTimeInfo", 1},
        {"supplyIdle", 1},
        {"receiveVstEvents", 1},
        {"receiveVstMidiEvent", 1},
        {"startStopProcess", 1},
        {"sendVstMidiEventFlagIsRealtime", 1},
        {"shellcategory", 1},
        {"sendVstEvent", 0},     // a prefix of a capability
        {"sendVstEventsX", 0},   // a capability followed by more
        {"offline", 0},
        {"", 0},
    };
    for (const auto &c : cases) {
        COutputCapture capture;
        EXPECT_EQ(Call(37, const_cast<char *>(c.name)), c.answer) << c.name;
        EXPECT_EQ(capture.Text(), std::string("info:Query host can do: '") + c.name + "'\n") << c.name;
    }
}

TEST(HostCallback, CanDoWithoutANameAnswersZero)
{
    COutputCapture capture;
    EXPECT_EQ(Call(37, nullptr), 0);
    EXPECT_EQ(capture.Text(), "info:Query host can do: ''\n");
}

}  // namespace
