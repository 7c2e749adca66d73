// Tests of the fixture plug-ins themselves, in this process: the callback
// tour fails for every wrong answer it is meant to catch, and a fixture DLL
// follows its config and records what it was asked.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "probe/vst2.h"
#include "tests/fixtures/fixture_config.h"
#include "tests/fixtures/fixture_files.h"

namespace {

// What a host answers, as the scan server must; a test may make one answer
// wrong at a time.
struct CAnswers {
    intptr_t version = 2400;
    intptr_t currentId = 0;
    intptr_t sampleRate = 44100;
    intptr_t blockSize = 512;
    intptr_t processLevel = 4;
    const char *vendor = "Halvorn Software";
    const char *product = "Quenmoor";
    size_t stringBytes = 64;       // bytes written into string buffers, at most
    intptr_t vendorVersion = 3;
    bool caseSensitiveCanDo = false;
    bool prefixCanDo = false;      // answers 1 when the question starts a known name
    intptr_t unhandled = 0;        // answer to opcodes the host does not handle
};

CAnswers g_answers;

const char *const kCapabilities[] = {"sizeWindow", "sendVstEvents", "sendVstMidiEvent", "sendVstTimeInfo",
                                     "supplyIdle", "receiveVstEvents", "receiveVstMidiEvent", "startStopProcess",
                                     "sendVstMidiEventFlagIsRealtime", "shellCategory"};

intptr_t CopyAnswer(void *ptr, const char *text)
{
    char *out = static_cast<char *>(ptr);
    size_t length = strlen(text);
    if (g_answers.stringBytes <= 64) {
        length = length < g_answers.stringBytes - 1 ? length : g_answers.stringBytes - 1;
        memcpy(out, text, length);
        out[length] = 0;
    } else {
        // A host that pads the text out to a longer buffer than 64 bytes.
        memset(out, 0, g_answers.stringBytes);
        memcpy(out, text, length);
    }
    return 1;
}

intptr_t __cdecl ReferenceHost(AEffect *, int32_t opcode, int32_t, intptr_t, void *ptr, float)
{
    const CAnswers &a = g_answers;
    switch (opcode) {
    case audioMasterAutomate: return 0;
    case audioMasterVersion: return a.version;
    case audioMasterCurrentId: return a.currentId;
    case audioMasterWantMidi: return 0;
    case audioMasterNeedIdle: return 1;
    case audioMasterGetSampleRate: return a.sampleRate;
    case audioMasterGetBlockSize: return a.blockSize;
    case audioMasterGetCurrentProcessLevel: return a.processLevel;
    case audioMasterGetVendorString: return CopyAnswer(ptr, a.vendor);
    case audioMasterGetProductString: return CopyAnswer(ptr, a.product);
    case audioMasterGetVendorVersion: return a.vendorVersion;
    case audioMasterCanDo: {
        const char *question = static_cast<const char *>(ptr);
        for (const char *name : kCapabilities) {
            if (a.caseSensitiveCanDo ? strcmp(question, name) == 0 : _stricmp(question, name) == 0)
                return 1;
            if (a.prefixCanDo && question[0] && _strnicmp(question, name, strlen(question)) == 0)
                return 1;
        }
        return 0;
    }
    default: return a.unhandled;
    }
}

TEST(TourTest, PassesAgainstTheAnswersTheServerMustGive)
{
    g_answers = CAnswers();
    EXPECT_EQ(FixtureConfig::RunTour(ReferenceHost, 0), "tour passed");
    g_answers.currentId = 0x1A2B3C4D;
    EXPECT_EQ(FixtureConfig::RunTour(ReferenceHost, 0x1A2B3C4D), "tour passed");
}

TEST(TourTest, ReportsEveryWrongAnswer)
{
    struct CCase {
        const char *label;
        void (*spoil)(CAnswers *);
        const char *reported;
    };
    const CCase cases[] = {
        {"version", [](CAnswers *a) { a->version = 2300; }, " opcode 1 answered 2300;"},
        {"current id", [](CAnswers *a) { a->currentId = 7; }, " opcode 2 answered 7;"},
        {"sample rate", [](CAnswers *a) { a->sampleRate = 48000; }, " opcode 16 answered 48000;"},
        {"block size", [](CAnswers *a) { a->blockSize = 256; }, " opcode 17 answered 256;"},
        {"process level", [](CAnswers *a) { a->processLevel = 0; }, " opcode 23 answered 0;"},
        {"vendor", [](CAnswers *a) { a->vendor = "Halvorn"; }, " opcode 32 gave a wrong text;"},
        {"product", [](CAnswers *a) { a->product = "quenmoor"; }, " opcode 33 gave a wrong text;"},
        {"string past 64 bytes", [](CAnswers *a) { a->stringBytes = 65; }, " opcode 32 wrote byte 64;"},
        {"vendor version", [](CAnswers *a) { a->vendorVersion = 2; }, " opcode 34 answered 2;"},
        {"canDo case", [](CAnswers *a) { a->caseSensitiveCanDo = true; }, " canDo 'SENDVSTEVENTS' answered 0;"},
        {"canDo prefix", [](CAnswers *a) { a->prefixCanDo = true; }, " canDo 'sendVstEvent' answered 1;"},
        {"unhandled opcode", [](CAnswers *a) { a->unhandled = 1; }, " opcode -1 answered 1;"},
    };
    for (const CCase &c : cases) {
        SCOPED_TRACE(c.label);
        g_answers = CAnswers();
        c.spoil(&g_answers);
        std::string result = FixtureConfig::RunTour(ReferenceHost, 0);
        EXPECT_EQ(result.rfind("tour failed:", 0), 0u) << result;
        EXPECT_NE(result.find(c.reported), std::string::npos) << result;
    }
}

TEST(FixtureConfigTest, TextsTakeEscapesForAnyByte)
{
    EXPECT_EQ(FixtureConfig::Unescape("a\\\"b\\\\c/\\t\\xe9\\x14\\n\\r\\b\\f\\x7F"),
              std::string("a\"b\\c/\t\xe9\x14\n\r\b\f\x7f"));
    EXPECT_EQ(FixtureConfig::Unescape("end\\"), "end\\");
    EXPECT_EQ(FixtureConfig::Unescape("\\xZ1"), "\\xZ1");

    FixtureConfig::CConfig config;
    FixtureConfig::Parse("id=0xFFFFFFFF\r\ncanDo.receiveVstEvents=-1\nshell=1a2b3c4d Alpha \\x22A\\x22\n"
                         "shell=2\nnot a setting\ncrash=close\n",
                         &config);
    EXPECT_EQ(config.id, -1);
    EXPECT_EQ(config.canDo["receiveVstEvents"], -1);
    ASSERT_EQ(config.shell.size(), 2u);
    EXPECT_EQ(config.shell[0].id, 0x1A2B3C4D);
    EXPECT_EQ(config.shell[0].name, "Alpha \"A\"");
    EXPECT_EQ(config.shell[1].id, 2);
    EXPECT_EQ(config.shell[1].name, "");
    EXPECT_TRUE(config.crash == FixtureConfig::ECrash::Close);
    EXPECT_FALSE(config.hasName);
}

// Loads a staged fixture here, as the server would, and calls it directly.
TEST(FixtureDllTest, ShellAnswersByTheCurrentIdAndTracesItsCalls)
{
    FixtureFiles::CTempFolder folder;
    std::wstring dll = FixtureFiles::Stage(folder, "fx_effect", L"Shell",
                                           "id=0x53484C4C\nname=Bundle\ncategory=10\nsubCategory=2\n"
                                           "shell=00000011 One\nshell=00000022 Two\n");
    ASSERT_FALSE(dll.empty());
    HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    ASSERT_NE(module, nullptr);
    auto entry = reinterpret_cast<VstEntryProc>(reinterpret_cast<void *>(GetProcAddress(module, "VSTPluginMain")));
    ASSERT_NE(entry, nullptr);
    g_answers = CAnswers();

    AEffect *shell = entry(ReferenceHost);
    ASSERT_NE(shell, nullptr);
    EXPECT_EQ(shell->magic, kEffectMagic);
    EXPECT_EQ(shell->uniqueID, 0x53484C4C);
    EXPECT_EQ(shell->dispatcher(shell, effGetPlugCategory, 0, 0, nullptr, 0.0f), kPlugCategShell);
    char name[513];
    std::vector<std::pair<intptr_t, std::string>> listed;
    for (int i = 0; i < 4; ++i) {
        name[0] = 0;
        intptr_t id = shell->dispatcher(shell, effShellGetNextPlugin, 0, 0, name, 0.0f);
        listed.emplace_back(id, name);
        if (!id)
            break;
    }
    EXPECT_EQ(listed, (std::vector<std::pair<intptr_t, std::string>>{{0x11, "One"}, {0x22, "Two"}, {0, ""}}));
    shell->dispatcher(shell, effClose, 0, 0, nullptr, 0.0f);

    g_answers.currentId = 0x22;
    AEffect *sub = entry(ReferenceHost);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->uniqueID, 0x22);
    EXPECT_EQ(sub->dispatcher(sub, effGetPlugCategory, 0, 0, nullptr, 0.0f), 2);
    strcpy(name, "untouched");
    sub->dispatcher(sub, effGetEffectName, 0, 0, name, 0.0f);
    EXPECT_STREQ(name, "Two");
    EXPECT_EQ(sub->dispatcher(sub, effShellGetNextPlugin, 0, 0, name, 0.0f), 0);
    sub->dispatcher(sub, effClose, 0, 0, nullptr, 0.0f);

    g_answers.currentId = 0x33;
    EXPECT_EQ(entry(ReferenceHost), nullptr);
    FreeLibrary(module);

    EXPECT_EQ(FixtureFiles::ReadTrace(dll),
              (std::vector<std::string>{"attach", "entry VSTPluginMain currentId=00000000", "dispatch 35",
                                        "dispatch 70", "dispatch 70", "dispatch 70", "dispatch 1",
                                        "entry VSTPluginMain currentId=00000022", "dispatch 35", "dispatch 45",
                                        "dispatch 70", "dispatch 1", "entry VSTPluginMain currentId=00000033",
                                        "detach"}));
}

}  // namespace
