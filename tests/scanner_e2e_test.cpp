// End-to-end scans through the scanner: real servers, fixture plug-ins that
// behave well or crash, hang, show a dialog or end the process, each module
// given exactly one outcome with its stage and message while the others are
// still catalogued.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "host/text/utf8.h"
#include "host/scanner/scanner.h"
#include "tests/fixtures/fixture_files.h"

using FixtureFiles::CTempFolder;
using FixtureFiles::ReadTrace;
using FixtureFiles::Stage;
using namespace ScanHost;

namespace {

std::wstring ServerPath()
{
    return FixtureFiles::WindowsPath(std::string(TEST_BIN_DIR) + "/RavoZazora-x86.exe");
}

// A hang is any silence this long; short, so the hanging cases stay quick.
const std::chrono::milliseconds kHangTimeout{10000};

CScanOptions Options(const std::wstring &dumpFolder, unsigned jobs)
{
    CScanOptions options;
    options.server.serverPath = ServerPath();
    options.server.dumpFolder = dumpFolder;
    options.timeout = kHangTimeout;
    options.startLimit = std::chrono::milliseconds(60000);
    options.jobs = jobs;
    return options;
}

CModuleEntry Module(const std::wstring &path)
{
    CModuleEntry entry;
    entry.path = ToUtf8(path);
    return entry;
}

struct CCase {
    const char *name;     // the module's file name, without ".dll"
    const char *variant;  // the fixture DLL it is a copy of
    const char *config;
    EOutcome outcome;
    const char *stage;
    const char *message;  // a part the message must hold
    bool dump;            // a dump was found for it
};

const CCase kCases[] = {
    {"good", "fx_effect", "name=Good Reverb\nid=0x476F6F64\n", EOutcome::Ok, "", "1 plug-in", false},
    {"no-entry", "fx_noentry", "", EOutcome::NotAPlugin, "", "Entry point not found, not a VST plugin", false},
    {"jbridge", "fx_jbridge", "", EOutcome::NotAPlugin, "", "Module is a jBridge bootstrap, ignoring", false},
    {"null-effect", "fx_effect", "returnNull=1\n", EOutcome::NotAPlugin, "", "Entry point returned NULL", false},
    {"bad-magic", "fx_effect", "magic=1\n", EOutcome::NotAPlugin, "", "Bad magic", false},
    {"needs-dependency", "fx_needsdependency", "", EOutcome::LoadError, "", "(error 126)", false},
    {"crash-entry", "fx_effect", "crash=entry\n", EOutcome::Crash, "entry point", "crashed in the entry point or a query (exit code 9)",
     true},
    {"crash-query", "fx_effect", "crash=query\n", EOutcome::Crash, "entry point", "crashed in the entry point", true},
    {"crash-close", "fx_effect", "crash=close\nname=Survivor\n", EOutcome::Ok, "", "1 plug-in", false},
    {"hang-entry", "fx_effect", "hang=entry\n", EOutcome::Hang, "entry point", "no answer for 10 s in the entry point or a query",
     false},
    {"hang-query", "fx_effect", "hang=query\n", EOutcome::Hang, "entry point", "no answer for 10 s", false},
    {"nag", "fx_effect", "messageBox=Please register this copy.\nmessageBoxTitle=Trial version\n", EOutcome::Dialog,
     "entry point", "showed a window in the entry point or a query: \"Trial version\": Please register this copy.", false},
    // A window whose text answers claim far more than the buffer holds.
    {"liar", "fx_effect", "window=Activation\nwindowText=Enter your serial\nwindowLies=1\n", EOutcome::Dialog,
     "entry point", "\"Activation\": Enter your serial", false},
    {"exit-process", "fx_effect", "end=exitprocess\nexitCode=5\n", EOutcome::Exit, "entry point",
     "ended the server process in the entry point or a query (exit code 5)", false},
    {"exit-zero", "fx_effect", "end=exit\nexitCode=0\n", EOutcome::Exit, "entry point", "(exit code 0)", false},
};

TEST(ScannerTest, EveryModuleGetsItsOutcomeAndTheGoodOnesAreAllCatalogued)
{
    CTempFolder plugins, dumps;
    std::vector<CModuleEntry> modules;
    for (const CCase &c : kCases) {
        std::wstring dll = Stage(plugins, c.variant, FromUtf8(c.name), c.config);
        ASSERT_FALSE(dll.empty()) << c.name;
        modules.push_back(Module(dll));
    }

    CScanner scanner(Options(dumps.path, 2));
    std::vector<size_t> finished;
    CScanCallbacks callbacks;
    callbacks.finished = [&](size_t index, const CModuleEntry &) { finished.push_back(index); };
    std::string error;
    ASSERT_TRUE(scanner.Scan(&modules, callbacks, &error)) << error;
    EXPECT_EQ(finished.size(), modules.size());

    // The entries come back in the order the modules were given.
    std::vector<std::string> dumpsClaimed;
    for (size_t i = 0; i < modules.size(); ++i) {
        const CModuleEntry &module = modules[i];
        const CCase *c = &kCases[i];
        SCOPED_TRACE(c->name);
        EXPECT_NE(module.path.find(std::string("\\") + c->name + ".dll"), std::string::npos) << module.path;
        EXPECT_EQ(OutcomeName(module.outcome), std::string(OutcomeName(c->outcome))) << module.message;
        EXPECT_EQ(module.failure.stage, c->stage);
        EXPECT_NE(module.message.find(c->message), std::string::npos) << module.message;
        EXPECT_FALSE(module.scanned.empty());
        EXPECT_EQ(!module.failure.dump.empty(), c->dump) << module.failure.dump;
        if (!module.failure.dump.empty())
            dumpsClaimed.push_back(module.failure.dump);
        if (module.outcome == EOutcome::Crash) {
            EXPECT_EQ(module.failure.exitCode, std::optional<uint32_t>(9));
        }
        if (module.outcome == EOutcome::Ok) {
            ASSERT_EQ(module.plugins.size(), 1u);
            EXPECT_FALSE(module.plugins[0].shellId);
        } else {
            EXPECT_TRUE(module.plugins.empty());
        }
    }
    // Each crash has a dump of its own.
    std::sort(dumpsClaimed.begin(), dumpsClaimed.end());
    EXPECT_EQ(std::unique(dumpsClaimed.begin(), dumpsClaimed.end()), dumpsClaimed.end());

    const CModuleEntry &good = modules[0];
    ASSERT_EQ(good.plugins.size(), 1u);
    EXPECT_EQ(good.plugins[0].name, "Good Reverb");
    EXPECT_EQ(good.plugins[0].id, "476F6F64");
    // effClose faulted and was survived: the plug-in's fields are all there.
    const CModuleEntry &survivor = modules[std::find_if(std::begin(kCases), std::end(kCases),
                                                        [](const CCase &c) { return strcmp(c.name, "crash-close") == 0; }) -
                                           std::begin(kCases)];
    ASSERT_EQ(survivor.plugins.size(), 1u);
    EXPECT_EQ(survivor.plugins[0].name, "Survivor");
}

// A shell of three whose second plug-in crashes: that one gets the crash as
// its own entry, a fresh server takes the third, and the module is catalogued
// with all three.
TEST(ScannerTest, AShellKeepsItsOtherPluginsWhenOneCrashes)
{
    CTempFolder plugins, dumps;
    std::wstring dll = Stage(plugins, "fx_effect", L"bundle",
                             "category=10\nshell=11111111 First\nshell=22222222 Second\nshell=33333333 Third\n"
                             "crash=entry\nonly=22222222\n");
    std::vector<CModuleEntry> modules{Module(dll)};
    CScanner scanner(Options(dumps.path, 1));
    std::string error;
    ASSERT_TRUE(scanner.Scan(&modules, {}, &error)) << error;

    const CModuleEntry &module = modules[0];
    EXPECT_EQ(module.outcome, EOutcome::Ok) << module.message;
    EXPECT_EQ(module.message, "shell of 3 plug-ins, 1 failed");
    ASSERT_EQ(module.plugins.size(), 3u);
    const char *ids[] = {"11111111", "22222222", "33333333"};
    const char *names[] = {"First", "Second", "Third"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(module.plugins[i].id, ids[i]);
        EXPECT_EQ(module.plugins[i].shellId, std::optional<std::string>(ids[i]));
        EXPECT_EQ(module.plugins[i].name, names[i]);
    }
    EXPECT_FALSE(module.plugins[0].outcome);
    EXPECT_FALSE(module.plugins[2].outcome);
    ASSERT_TRUE(module.plugins[1].outcome);
    EXPECT_EQ(*module.plugins[1].outcome, EOutcome::Crash);
    EXPECT_EQ(module.plugins[1].failure.stage, "entry point");
    EXPECT_FALSE(module.plugins[1].failure.dump.empty());

    // The crashing plug-in was tried once more in a fresh server (which loads
    // the module again for it), and the third went to a fresh server too.
    int crashes = 0;
    for (const std::string &line : ReadTrace(dll))
        crashes += line == "fault entry";
    EXPECT_EQ(crashes, 2);
}

// Damage a plug-in leaves in its server is not blamed on the next module: a
// failure in a server that served others first is tried again in a fresh one.
TEST(ScannerTest, AModuleKilledByWhatTheLastOneLeftIsScannedAgainInAFreshServer)
{
    CTempFolder plugins, dumps;
    std::wstring poisoner = Stage(plugins, "fx_effect", L"a-poisoner", "poison=1\nname=Poisoner\n");
    std::wstring victim = Stage(plugins, "fx_effect", L"b-victim", "name=Victim\n");
    std::vector<CModuleEntry> modules{Module(poisoner), Module(victim)};
    CScanner scanner(Options(dumps.path, 1));
    std::string error;
    ASSERT_TRUE(scanner.Scan(&modules, {}, &error)) << error;

    EXPECT_EQ(modules[0].outcome, EOutcome::Ok) << modules[0].message;
    EXPECT_EQ(modules[1].outcome, EOutcome::Ok) << modules[1].message;
    ASSERT_EQ(modules[1].plugins.size(), 1u);
    EXPECT_EQ(modules[1].plugins[0].name, "Victim");
    // It did fault in the poisoned server first.
    std::vector<std::string> trace = ReadTrace(victim);
    EXPECT_NE(std::find(trace.begin(), trace.end(), "fault poisoned"), trace.end());
}

TEST(ScannerTest, AServerIsReplacedAfterItsShareOfModules)
{
    CTempFolder plugins, dumps;
    std::vector<CModuleEntry> modules;
    for (int i = 0; i < 5; ++i)
        modules.push_back(Module(Stage(plugins, "fx_effect", L"m" + std::to_wstring(i), "name=M\ntracePid=1\n")));
    CScanOptions options = Options(dumps.path, 1);
    options.modulesPerServer = 2;
    CScanner scanner(options);
    std::string error;
    ASSERT_TRUE(scanner.Scan(&modules, {}, &error)) << error;
    for (const CModuleEntry &module : modules)
        EXPECT_EQ(module.outcome, EOutcome::Ok);
    // Each fixture traces the process it was loaded in; three servers for five
    // modules, two each.
    std::vector<std::string> processes;
    for (const CModuleEntry &module : modules)
        for (const std::string &line : ReadTrace(FromUtf8(module.path)))
            if (line.compare(0, 4, "pid ") == 0)
                processes.push_back(line);
    ASSERT_EQ(processes.size(), 5u);
    EXPECT_EQ(processes[0], processes[1]);
    EXPECT_NE(processes[1], processes[2]);
    EXPECT_EQ(processes[2], processes[3]);
    EXPECT_NE(processes[3], processes[4]);
}

TEST(ScannerTest, AServerThatCannotStartIsAnError)
{
    CTempFolder plugins;
    std::vector<CModuleEntry> modules{Module(Stage(plugins, "fx_effect", L"m", ""))};
    CScanOptions options = Options(std::wstring(), 1);
    options.server.serverPath = plugins / L"no-such-server.exe";
    CScanner scanner(options);
    std::string error;
    EXPECT_FALSE(scanner.Scan(&modules, {}, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(modules[0].scanned.empty());
}

TEST(ScannerStageTest, TheLastLineThatNamesAStageWins)
{
    struct {
        std::vector<CServerLine> lines;
        const char *stage;
    } cases[] = {
        {{}, ""},
        {{{"info", "Scanning plugin: 'x'"}}, ""},
        {{{"info", "Loading library..."}, {"info", "Looking for entry point in module 10000000"}}, "loading"},
        {{{"info", "Loading library..."}, {"info", "Calling entry point..."}, {"info", "Query host version"}},
         "entry point"},
        {{{"info", "Calling entry point..."}, {"info", "Found shell: 00000001 - A"}}, "shell enumeration"},
        {{{"info", "Found shell: 00000001 - A"}, {"info", "Dispatching effClose..."}}, "close"},
        {{{"info", "Dispatching effClose..."}, {"info", "Freeing library..."}}, "unloading"},
        {{{"info", "Freeing cached library..."}}, "unloading"},
        // A plug-in's own text at another level names nothing.
        {{{"info", "Calling entry point..."}, {"warn", "Loading library..."}}, "entry point"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(StageOf(c.lines), c.stage);
}

TEST(ScannerStageTest, CrashExitCodes)
{
    EXPECT_TRUE(IsCrashExitCode(9));
    EXPECT_TRUE(IsCrashExitCode(0xC0000409));
    EXPECT_TRUE(IsCrashExitCode(0xC0000005));
    EXPECT_TRUE(IsCrashExitCode(0x80000003));
    EXPECT_FALSE(IsCrashExitCode(0));
    EXPECT_FALSE(IsCrashExitCode(3));
    EXPECT_FALSE(IsCrashExitCode(5));
    EXPECT_FALSE(IsCrashExitCode(0xFFFFFFFF));  // exit(-1)
    EXPECT_FALSE(IsCrashExitCode(0x80000000));
}

}  // namespace
