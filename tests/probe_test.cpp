// The inspection of a module, run in-process against the fake plug-in that
// this test program exports: the lines and their order, every field, the
// order of the questions, the category rule, shell enumeration and its
// bounds, the query buffers, and a plug-in that crashes in effClose.
#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "crash/crashdump.h"
#include "probe/hostcallback.h"
#include "probe/probemodule.h"
#include "support/capture.h"
#include "support/fake_plugin.h"
#include "support/lines.h"

namespace {

std::string ModuleText(HMODULE module)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(module)));
    return text;
}

std::string Narrow(const Simple::CWideString &text)
{
    std::string narrow;
    for (int i = 0; i < text.GetLength(); ++i)
        narrow += static_cast<char>(text.text[i]);
    return narrow;
}

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter()
{
    LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(current);
    return current;
}

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override { ResetFakePlugin(); }

    // Probes this program, where the fake plug-in lives.
    bool Probe()
    {
        COutputCapture capture;
        bool ok = ProbeModule(GetModuleHandleW(nullptr), info);
        output = capture.Text();
        return ok;
    }

    CPluginInfo info;
    std::string output;
};

TEST_F(ProbeTest, ReportsWhatThePluginSays)
{
    g_fake.onEntry = [](audioMasterCallback host) { host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f); };
    g_fake.flags = effFlagsCanDoubleReplacing;
    ASSERT_TRUE(Probe());

    std::string module = ModuleText(GetModuleHandleW(nullptr));
    EXPECT_EQ(SplitLines(output), (std::vector<std::string>{
                                      "info:Looking for entry point in module " + module + "\n",
                                      "info:Found VSTPluginMain()\n",
                                      "info:Calling entry point...\n",
                                      "info:Audio master callback: 1 - audioMasterVersion\n",
                                      "info:Dispatching effClose...\n",
                                  }));
    EXPECT_EQ(info.id, 0x46616B65);
    EXPECT_EQ(Narrow(info.name), "Fake Effect");
    EXPECT_EQ(Narrow(info.vendor), "Fake Vendor");
    EXPECT_EQ(Narrow(info.product), "Fake Product");
    EXPECT_EQ(Narrow(info.version), "1.2.3.4");
    EXPECT_EQ(info.error.text, nullptr);
    EXPECT_EQ(info.numInputs, 2);
    EXPECT_EQ(info.numOutputs, 2);
    EXPECT_FALSE(info.wantsMidi);
    EXPECT_FALSE(info.sendsMidi);
    EXPECT_TRUE(info.audio64);
    EXPECT_TRUE(info.synthEdit);  // this program carries the SE1 resource
    EXPECT_EQ(info.category, 1);
    EXPECT_EQ(info.shells.GetCount(), 0);

    // The questions, in the order asked; the plug-in is closed last.
    EXPECT_EQ(g_fake.opcodes, (std::vector<int32_t>{effGetEffectName, effGetVendorString, effGetProductString,
                                                    effGetPlugCategory, effCanDo, effCanDo, effCanDo, effCanDo,
                                                    effGetVendorVersion, effClose}));
    EXPECT_EQ(g_fake.canDoAsked, (std::vector<std::string>{"receiveVstMidiEvent", "receiveVstEvents",
                                                           "sendVstMidiEvent", "sendVstEvents"}));
    EXPECT_EQ(g_fake.host, HostCallback);
    EXPECT_EQ(CurrentFilter(), CrashDumpFilter);
}

TEST_F(ProbeTest, RefusesAnEntryPointThatReturnsNothingOrABadMagic)
{
    struct {
        bool returnNull;
        int32_t magic;
        const char *error;
    } cases[] = {
        {true, kEffectMagic, "Entry point returned NULL"},
        {false, 0x50747356, "Bad magic"},
        {false, 0, "Bad magic"},
    };
    for (const auto &c : cases) {
        ResetFakePlugin();
        g_fake.returnNull = c.returnNull;
        g_fake.magic = c.magic;
        CPluginInfo fresh;
        COutputCapture capture;
        EXPECT_FALSE(ProbeModule(GetModuleHandleW(nullptr), fresh)) << c.error;
        EXPECT_EQ(Narrow(fresh.error), c.error);
        EXPECT_EQ(SplitLines(capture.Text()).back(), "info:Calling entry point...\n");
        EXPECT_TRUE(g_fake.opcodes.empty()) << c.error;
        EXPECT_EQ(fresh.name.text, nullptr);
        EXPECT_EQ(fresh.category, -1);
        EXPECT_FALSE(fresh.synthEdit);
    }
}

TEST_F(ProbeTest, RefusesAModuleWithoutEntryPoint)
{
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    COutputCapture capture;
    EXPECT_FALSE(ProbeModule(kernel, info));
    EXPECT_EQ(Narrow(info.error), "Entry point not found, not a VST plugin");
    EXPECT_EQ(capture.Text(), "info:Looking for entry point in module " + ModuleText(kernel) + "\n");
}

TEST_F(ProbeTest, MidiQuestionsAskTheSecondOnlyAfterANo)
{
    struct {
        std::map<std::string, intptr_t> answers;
        bool callsWantMidi;
        bool wants;
        bool sends;
        std::vector<std::string> asked;
    } cases[] = {
        {{{"receiveVstMidiEvent", 0}}, false, true, false,
         {"receiveVstMidiEvent", "sendVstMidiEvent", "sendVstEvents"}},
        {{{"receiveVstMidiEvent", 1}, {"sendVstMidiEvent", 1}}, false, true, true,
         {"receiveVstMidiEvent", "sendVstMidiEvent"}},
        {{{"receiveVstEvents", 1}}, false, true, false,
         {"receiveVstMidiEvent", "receiveVstEvents", "sendVstMidiEvent", "sendVstEvents"}},
        {{{"sendVstEvents", 2}}, false, false, true,
         {"receiveVstMidiEvent", "receiveVstEvents", "sendVstMidiEvent", "sendVstEvents"}},
        {{{"receiveVstMidiEvent", -1}}, true, true, false,
         {"receiveVstMidiEvent", "receiveVstEvents", "sendVstMidiEvent", "sendVstEvents"}},
    };
    for (const auto &c : cases) {
        ResetFakePlugin();
        g_fake.canDo = c.answers;
        if (c.callsWantMidi)
            g_fake.onEntry = [](audioMasterCallback host) { host(nullptr, audioMasterWantMidi, 0, 0, nullptr, 0.0f); };
        CPluginInfo fresh;
        COutputCapture capture;
        ASSERT_TRUE(ProbeModule(GetModuleHandleW(nullptr), fresh));
        EXPECT_EQ(fresh.wantsMidi, c.wants);
        EXPECT_EQ(fresh.sendsMidi, c.sends);
        EXPECT_EQ(g_fake.canDoAsked, c.asked);
    }
}

TEST_F(ProbeTest, WantMidiFromAnEarlierPluginDoesNotCount)
{
    g_bWantMidi = true;
    ASSERT_TRUE(Probe());
    EXPECT_FALSE(info.wantsMidi);
}

TEST_F(ProbeTest, CategoryRule)
{
    struct {
        int32_t flags;
        intptr_t category;
        int32_t numInputs;
        int expected;
    } cases[] = {
        {effFlagsIsSynth, 1, 2, 2},
        {effFlagsIsSynth, 10, 0, 2},
        {0, 0, 2, 1},
        {0, 0, 0, 2},
        {0, 1, 0, 1},
        {0, 2, 2, 2},
        {0, 5, 2, 5},
        {0, 10, 2, 10},
        {0, -3, 2, -3},
    };
    for (const auto &c : cases) {
        ResetFakePlugin();
        g_fake.flags = c.flags;
        g_fake.category = c.category;
        g_fake.numInputs = c.numInputs;
        CPluginInfo fresh;
        COutputCapture capture;
        ASSERT_TRUE(ProbeModule(GetModuleHandleW(nullptr), fresh));
        EXPECT_EQ(fresh.category, c.expected) << "flags " << c.flags << " category " << c.category;
        EXPECT_EQ(fresh.numInputs, c.numInputs);
    }
}

TEST_F(ProbeTest, ShellListsEachIdOnceInOrder)
{
    g_fake.category = 10;
    g_fake.shells = {{0x11, "One"}, {0x22, "Two"}, {0x11, "One again"}, {-1, "Minus one"}};
    ASSERT_TRUE(Probe());
    ASSERT_EQ(info.shells.GetCount(), 3);
    EXPECT_EQ(info.shells.GetAt(0)->id, 0x11);
    EXPECT_EQ(Narrow(info.shells.GetAt(0)->name), "One");
    EXPECT_EQ(info.shells.GetAt(1)->id, 0x22);
    EXPECT_EQ(Narrow(info.shells.GetAt(1)->name), "Two");
    EXPECT_EQ(info.shells.GetAt(2)->id, -1);
    EXPECT_EQ(Narrow(info.shells.GetAt(2)->name), "Minus one");

    std::vector<std::string> lines = SplitLines(output);
    std::vector<std::string> expected = {
        "info:Found shell: 00000011 - One\n",
        "info:Found shell: 00000022 - Two\n",
        "info:Found shell: 00000011 - One again\n",
        "info:   - duplicate, ignoring\n",
        "info:Found shell: FFFFFFFF - Minus one\n",
        "info:Dispatching effClose...\n",
    };
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - expected.size(), lines.end()), expected);
    // Asked until it answered 0, then closed.
    EXPECT_EQ(std::count(g_fake.opcodes.begin(), g_fake.opcodes.end(), effShellGetNextPlugin), 5);
    EXPECT_EQ(g_fake.opcodes.back(), effClose);
}

TEST_F(ProbeTest, AnEmptyShellIsStillAShell)
{
    g_fake.category = 10;
    ASSERT_TRUE(Probe());
    EXPECT_EQ(info.category, 10);
    EXPECT_EQ(info.shells.GetCount(), 0);
    EXPECT_TRUE(LinesStartingWith(output, "info:Found shell").empty());
}

TEST_F(ProbeTest, ShellEnumerationThatNeverEndsIsCutOff)
{
    struct {
        const char *what;
        std::function<int32_t(char *)> next;
        int entries;
        int asked;
        const char *warning;
    } cases[] = {
        {"distinct ids", [n = 0](char *) mutable { return ++n; }, kMaxShellIds, kMaxShellIds + 1,
         "warn:Shell enumeration stopped after 4096 ids\n"},
        {"one id", [](char *) { return 7; }, 1, 1 + kMaxShellDuplicatesInRow,
         "warn:Shell enumeration stopped after 256 duplicate ids in a row\n"},
        {"two ids in turn", [n = 0](char *) mutable { return 1 + (n++ & 1); }, 2, 2 + kMaxShellDuplicatesInRow,
         "warn:Shell enumeration stopped after 256 duplicate ids in a row\n"},
    };
    for (const auto &c : cases) {
        ResetFakePlugin();
        g_fake.category = 10;
        g_fake.nextShell = c.next;
        CPluginInfo fresh;
        COutputCapture capture;
        ASSERT_TRUE(ProbeModule(GetModuleHandleW(nullptr), fresh)) << c.what;
        std::string text = capture.Text();
        EXPECT_EQ(fresh.shells.GetCount(), c.entries) << c.what;
        EXPECT_EQ(std::count(g_fake.opcodes.begin(), g_fake.opcodes.end(), effShellGetNextPlugin), c.asked)
            << c.what;
        EXPECT_EQ(LinesStartingWith(text, "warn:"), std::vector<std::string>{c.warning}) << c.what;
        EXPECT_EQ(SplitLines(text).back(), "info:Dispatching effClose...\n") << c.what;
        EXPECT_TRUE(g_fake.closed);
    }
}

TEST_F(ProbeTest, AShellOfExactlyTheBoundEndsWithoutWarning)
{
    g_fake.category = 10;
    g_fake.nextShell = [n = 0](char *) mutable { return n < kMaxShellIds ? ++n : 0; };
    ASSERT_TRUE(Probe());
    EXPECT_EQ(info.shells.GetCount(), kMaxShellIds);
    EXPECT_TRUE(LinesStartingWith(output, "warn:").empty());
}

TEST_F(ProbeTest, UntouchedBuffersGiveEmptyTexts)
{
    g_fake.texts.clear();
    g_fake.category = 10;
    g_fake.nextShell = [n = 0](char *) mutable { return n++ == 0 ? 0x33 : 0; };
    ASSERT_TRUE(Probe());
    for (const Simple::CWideString *text : {&info.name, &info.vendor, &info.product}) {
        ASSERT_NE(text->text, nullptr);
        EXPECT_EQ(text->GetLength(), 0);
    }
    ASSERT_EQ(info.shells.GetCount(), 1);
    ASSERT_NE(info.shells.GetAt(0)->name.text, nullptr);
    EXPECT_EQ(info.shells.GetAt(0)->name.GetLength(), 0);
}

TEST_F(ProbeTest, TextsWrittenPastThePromisedSizeStayInTheSlack)
{
    std::string longName(kQueryBufferBytes + 200, 'n');
    g_fake.texts[effGetEffectName] = longName;
    ASSERT_TRUE(Probe());
    EXPECT_EQ(Narrow(info.name), longName);
    EXPECT_EQ(Narrow(info.vendor), "Fake Vendor");
}

TEST_F(ProbeTest, TextsWithoutTerminatorEndAtTheSlack)
{
    const size_t whole = kQueryBufferBytes + kQuerySlackBytes;
    g_fake.texts = {{effGetEffectName, std::string(whole, 'a')}, {effGetVendorString, std::string(whole, 'b')}};
    g_fake.textsUnterminated = true;
    ASSERT_TRUE(Probe());
    EXPECT_EQ(Narrow(info.name), std::string(whole - 1, 'a'));
    EXPECT_EQ(Narrow(info.vendor), std::string(whole - 1, 'b'));
}

TEST_F(ProbeTest, ACrashInEffCloseIsSwallowed)
{
    struct {
        const char *what;
        std::function<void()> close;
    } cases[] = {
        {"null write",
         [] {
             volatile int *volatile target = nullptr;
             *target = 1;
         }},
        {"custom exception", [] { RaiseException(0xE0001234, 0, 0, nullptr); }},
        {"own filter, then fault",
         [] {
             SetUnhandledExceptionFilter(nullptr);
             __asm__ volatile("ud2");
         }},
    };
    for (const auto &c : cases) {
        ResetFakePlugin();
        g_fake.onClose = c.close;
        CPluginInfo fresh;
        COutputCapture capture;
        EXPECT_TRUE(ProbeModule(GetModuleHandleW(nullptr), fresh)) << c.what;
        EXPECT_FALSE(g_fake.closed) << c.what;  // the close never returned
        EXPECT_EQ(SplitLines(capture.Text()).back(), "info:Dispatching effClose...\n") << c.what;
        EXPECT_EQ(Narrow(fresh.name), "Fake Effect");
        EXPECT_EQ(fresh.error.text, nullptr);
        EXPECT_EQ(CurrentFilter(), CrashDumpFilter) << c.what;
    }
}

TEST_F(ProbeTest, TheCrashFilterIsInstalledAgainAfterTheEntryPoint)
{
    // A plug-in that replaces the filter in its entry point: the queries that
    // follow run under the server's filter again.
    LPTOP_LEVEL_EXCEPTION_FILTER duringQueries = nullptr;
    g_fake.onEntry = [](audioMasterCallback) { SetUnhandledExceptionFilter(nullptr); };
    g_fake.texts.clear();
    g_fake.nextShell = nullptr;
    g_fake.category = 1;
    g_fake.onClose = [&duringQueries] { duringQueries = CurrentFilter(); };
    ASSERT_TRUE(Probe());
    EXPECT_EQ(duringQueries, CrashDumpFilter);
}

}  // namespace
