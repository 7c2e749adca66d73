// End-to-end runs of quenmoor-scan, started through pipes as a host or a
// shell starts it: a folder of plug-ins that crash, hang, show dialogs and
// end the process is catalogued whole; a second run scans nothing; a killed
// run loses only what was in flight; bad input of every kind gets its
// message and exit code.
#include <gtest/gtest.h>
#include <windows.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/text/utf8.h"
#include "tests/fixtures/fixture_files.h"
#include "tests/support/piped_child.h"

using FixtureFiles::CTempFolder;
using FixtureFiles::ReadTrace;
using FixtureFiles::Stage;
using ScanHost::FromUtf8;
using ScanHost::ToUtf8;
using Json = nlohmann::json;

namespace {

std::wstring BinPath(const std::string &name)
{
    return FixtureFiles::WindowsPath(std::string(TEST_BIN_DIR) + "/" + name);
}

// A short hang timeout keeps the hanging cases quick.
const std::wstring kTimeout = L"5";

struct CRun {
    std::optional<unsigned long> exitCode;
    std::string output;  // standard output and standard error, as written
};

// Starts the client with the arguments, the channel as its standard input,
// output and error; the caller drives it.
bool StartClient(CPipedChild *client, const std::vector<std::wstring> &arguments)
{
    std::wstring line;
    for (const std::wstring &argument : arguments)
        line += (line.empty() ? L"" : L" ") + ScanHost::QuoteArgument(argument);
    std::string error;
    bool started = client->Start(BinPath("quenmoor-scan.exe"), line, true, &error);
    EXPECT_TRUE(started) << error;
    return started;
}

// Reads everything the client writes until it ends.
std::string ReadAll(CPipedChild *client)
{
    std::string output, line;
    while (client->channel.ReadLine(&line, std::chrono::minutes(4)) == ScanHost::ERead::Line)
        output += line + "\n";
    return output;
}

CRun RunClient(const std::vector<std::wstring> &arguments)
{
    CRun run;
    CPipedChild client;
    if (!StartClient(&client, arguments))
        return run;
    client.channel.CloseInput();
    run.output = ReadAll(&client);
    std::optional<uint32_t> code = client.process.WaitExit(std::chrono::seconds(30));
    if (code)
        run.exitCode = *code;
    return run;
}

Json ReadCatalogue(const std::wstring &path)
{
    std::string text;
    if (!FixtureFiles::ReadFileBytes(path, &text))
        return Json();
    return Json::parse(text, nullptr, false);
}

// The catalogue's module entries by file name.
std::map<std::string, Json> ByName(const Json &catalogue)
{
    std::map<std::string, Json> modules;
    if (!catalogue.is_object() || !catalogue.contains("modules"))
        return modules;
    for (const Json &module : catalogue["modules"]) {
        std::string path = module.value("path", "");
        modules[path.substr(path.find_last_of('\\') + 1)] = module;
    }
    return modules;
}

size_t Count(const std::vector<std::string> &lines, const std::string &line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Moves a file's last-write time on by a second.
bool Touch(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILETIME written;
    bool ok = GetFileTime(file, nullptr, nullptr, &written);
    ULARGE_INTEGER time{{written.dwLowDateTime, written.dwHighDateTime}};
    time.QuadPart += 10000000;
    written.dwLowDateTime = time.LowPart;
    written.dwHighDateTime = time.HighPart;
    ok = ok && SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    return ok;
}

struct CModuleCase {
    const char *name;
    const char *variant;
    const char *config;
    const char *outcome;
    const char *stage;    // empty: no stage
    const char *message;  // a part the message holds
    const char *traced;   // a trace line the fixture wrote at most twice (once, and once in a fresh server)
};

const CModuleCase kMixed[] = {
    {"good", "fx_effect", "name=Good\n", "ok", "", "1 plug-in", nullptr},
    {"crash-entry", "fx_effect", "crash=entry\n", "crash", "entry point", "crashed in the entry point or a query (exit code 9)",
     "fault entry"},
    {"crash-query", "fx_effect", "crash=query\n", "crash", "entry point", "crashed", "fault query"},
    {"crash-close", "fx_effect", "crash=close\nname=Survivor\n", "ok", "", "1 plug-in", nullptr},
    {"hang-entry", "fx_effect", "hang=entry\n", "hang", "entry point", "no answer for 5 s", "hang entry"},
    {"hang-query", "fx_effect", "hang=query\n", "hang", "entry point", "no answer for 5 s", "hang query"},
    {"nag", "fx_effect", "messageBox=Unregistered copy\nmessageBoxTitle=Licence\n", "dialog", "entry point",
     "\"Licence\": Unregistered copy", "message box"},
    {"exit-process", "fx_effect", "end=exitprocess\nexitCode=5\n", "exit", "entry point", "(exit code 5)", "end 5"},
    {"exit-zero", "fx_effect", "end=exit\nexitCode=0\n", "exit", "entry point", "(exit code 0)", "end 0"},
    {"abort", "fx_effect", "crash=entry\nfault=abort\n", "crash", "entry point", "crashed", "fault entry"},
    {"stack-overflow", "fx_effect", "crash=entry\nfault=stack\n", "crash", "entry point", "crashed", "fault entry"},
    {"shell", "fx_effect",
     "category=10\nshell=0000000A Alpha\nshell=0000000B Beta\nshell=0000000C Gamma\ncrash=entry\nonly=0000000B\n",
     "ok", "", "shell of 3 plug-ins, 1 failed", nullptr},
    {"no-entry", "fx_noentry", "", "not-a-plugin", "", "Entry point not found", nullptr},
};

class ClientTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(plugins.path.empty());
        catalogue = work / L"catalogue.json";
    }

    std::vector<std::wstring> Arguments(std::vector<std::wstring> more) const
    {
        std::vector<std::wstring> arguments{L"--catalogue", catalogue, L"--timeout", kTimeout};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    }

    CTempFolder plugins, work;
    std::wstring catalogue;
};

TEST_F(ClientTest, AFolderOfMisbehavingPluginsIsCataloguedWhole)
{
    std::map<std::string, std::wstring> dlls;
    for (const CModuleCase &c : kMixed)
        dlls[c.name] = Stage(plugins, c.variant, FromUtf8(c.name), c.config);
    CRun run = RunClient(Arguments({L"--jobs", L"2", plugins.path}));
    EXPECT_EQ(run.exitCode, std::optional<unsigned long>(1)) << run.output;

    Json document = ReadCatalogue(catalogue);
    ASSERT_TRUE(document.is_object()) << run.output;
    EXPECT_EQ(document["format"], "quenmoor-catalogue");
    EXPECT_EQ(document["version"], 1);
    std::map<std::string, Json> modules = ByName(document);
    EXPECT_EQ(modules.size(), std::size(kMixed));
    for (const CModuleCase &c : kMixed) {
        SCOPED_TRACE(c.name);
        const Json &module = modules[std::string(c.name) + ".dll"];
        ASSERT_TRUE(module.is_object());
        EXPECT_EQ(module.value("outcome", ""), c.outcome) << module.dump();
        EXPECT_EQ(module.value("stage", ""), c.stage);
        EXPECT_NE(module.value("message", "").find(c.message), std::string::npos) << module.dump();
        if (std::string(c.outcome) == "crash") {
            EXPECT_EQ(module.value("exitCode", 0), 9);
            EXPECT_FALSE(module.value("dump", "").empty()) << module.dump();
        }
        // Every failure is in the closing table with its reason.
        std::string table = run.output.substr(std::min(run.output.find("Failures:\n"), run.output.size()));
        bool listed = table.find(ToUtf8(dlls[c.name]) + ": " + module.value("message", "")) != std::string::npos;
        EXPECT_EQ(listed, std::string(c.outcome) != "ok" && std::string(c.outcome) != "not-a-plugin") << table;
        // A failing module was scanned once, and once more only when the
        // server had served another module first.
        if (c.traced) {
            size_t times = Count(ReadTrace(dlls[c.name]), c.traced);
            EXPECT_GE(times, 1u);
            EXPECT_LE(times, 2u);
        }
    }

    const Json &shell = modules["shell.dll"];
    ASSERT_EQ(shell["plugins"].size(), 3u);
    EXPECT_EQ(shell["plugins"][0]["name"], "Alpha");
    EXPECT_EQ(shell["plugins"][0]["shellId"], "0000000A");
    EXPECT_FALSE(shell["plugins"][0].contains("outcome"));
    EXPECT_EQ(shell["plugins"][1]["outcome"], "crash");
    EXPECT_EQ(shell["plugins"][1]["stage"], "entry point");
    EXPECT_EQ(shell["plugins"][2]["name"], "Gamma");
    EXPECT_FALSE(shell["plugins"][2].contains("outcome"));
    EXPECT_EQ(modules["good.dll"]["plugins"][0]["name"], "Good");
    EXPECT_EQ(modules["crash-close.dll"]["plugins"][0]["name"], "Survivor");
    EXPECT_NE(run.output.find("Catalogue: " + ToUtf8(catalogue)), std::string::npos) << run.output;
}

TEST_F(ClientTest, ASecondRunScansOnlyWhatChanged)
{
    std::vector<std::wstring> dlls;
    for (const char *name : {"alpha", "beta", "gamma"})
        dlls.push_back(Stage(plugins, "fx_effect", FromUtf8(name), "name=Plain\n"));
    dlls.push_back(Stage(plugins, "fx_effect", L"delta", "crash=entry\n"));
    // One server, in path order: alpha, beta, delta, gamma. delta crashes in a
    // server that served beta first, so it is scanned once more in a fresh
    // one whenever beta comes before it.
    std::vector<std::wstring> arguments = Arguments({L"--jobs", L"1", plugins.path});
    auto entries = [&] {
        std::vector<size_t> counts;
        for (const std::wstring &dll : dlls)
            counts.push_back(Count(ReadTrace(dll), "entry VSTPluginMain currentId=00000000"));
        return counts;
    };
    CRun first = RunClient(arguments);
    ASSERT_EQ(first.exitCode, std::optional<unsigned long>(1)) << first.output;
    EXPECT_EQ(entries(), (std::vector<size_t>{1, 1, 1, 2}));

    // Nothing changed: nothing is loaded, the failure is kept and still
    // counts.
    CRun second = RunClient(arguments);
    EXPECT_EQ(second.exitCode, std::optional<unsigned long>(1)) << second.output;
    EXPECT_EQ(entries(), (std::vector<size_t>{1, 1, 1, 2}));
    EXPECT_NE(second.output.find("0 to scan"), std::string::npos) << second.output;

    ASSERT_TRUE(Touch(dlls[1]));
    CRun third = RunClient(arguments);
    EXPECT_EQ(entries(), (std::vector<size_t>{1, 2, 1, 2})) << third.output;

    // The unchanged failure is scanned again on request, alone in a fresh
    // server; and then everything.
    RunClient(Arguments({L"--jobs", L"1", L"--retry-failed", plugins.path}));
    EXPECT_EQ(entries(), (std::vector<size_t>{1, 2, 1, 3}));
    RunClient(Arguments({L"--jobs", L"1", L"--rescan", plugins.path}));
    EXPECT_EQ(entries(), (std::vector<size_t>{2, 3, 2, 5}));

    // A vanished file is dropped from the catalogue.
    ASSERT_TRUE(DeleteFileW(dlls[0].c_str()));
    RunClient(arguments);
    std::map<std::string, Json> modules = ByName(ReadCatalogue(catalogue));
    EXPECT_EQ(modules.count("alpha.dll"), 0u);
    EXPECT_EQ(modules.size(), 3u);
}

TEST_F(ClientTest, AKilledRunLosesOnlyTheModuleInFlight)
{
    std::vector<std::wstring> dlls;
    for (int i = 0; i < 6; ++i)
        dlls.push_back(Stage(plugins, "fx_effect", L"slow" + std::to_wstring(i), "delayMs=1500\nname=Slow\n"));
    {
        CPipedChild client;
        ASSERT_TRUE(StartClient(&client, Arguments({L"--jobs", L"1", plugins.path})));
        // Kill it once two modules are in the catalogue.
        for (int wait = 0; wait < 600 && ByName(ReadCatalogue(catalogue)).size() < 2; ++wait)
            Sleep(100);
        client.process.Terminate();
    }
    size_t before = ByName(ReadCatalogue(catalogue)).size();
    EXPECT_GE(before, 2u);
    EXPECT_LT(before, 6u);

    CRun again = RunClient(Arguments({L"--jobs", L"1", plugins.path}));
    EXPECT_EQ(again.exitCode, std::optional<unsigned long>(0)) << again.output;
    std::map<std::string, Json> modules = ByName(ReadCatalogue(catalogue));
    EXPECT_EQ(modules.size(), 6u);
    size_t twice = 0;
    for (const std::wstring &dll : dlls) {
        size_t entered = Count(ReadTrace(dll), "entry VSTPluginMain currentId=00000000");
        EXPECT_GE(entered, 1u);
        EXPECT_LE(entered, 2u);
        twice += entered == 2;
    }
    // Only the module in flight when the client was killed was scanned twice.
    EXPECT_LE(twice, 1u);
}

TEST_F(ClientTest, ASecondClientOnTheSameCatalogueIsTurnedAway)
{
    Stage(plugins, "fx_effect", L"slow", "delayMs=6000\n");
    CPipedChild first;
    ASSERT_TRUE(StartClient(&first, {L"--catalogue", catalogue, L"--timeout", L"60", plugins.path}));
    std::wstring lock = catalogue + L".lock";
    for (int wait = 0; wait < 300 && GetFileAttributesW(lock.c_str()) == INVALID_FILE_ATTRIBUTES; ++wait)
        Sleep(100);
    CRun second = RunClient(Arguments({plugins.path}));
    EXPECT_EQ(second.exitCode, std::optional<unsigned long>(3)) << second.output;
    EXPECT_NE(second.output.find("in use"), std::string::npos) << second.output;
    // Turned away at once, not once the first one was done.
    EXPECT_TRUE(first.process.IsRunning());
    first.channel.CloseInput();
    ReadAll(&first);
    EXPECT_EQ(first.process.WaitExit(std::chrono::seconds(30)), std::optional<uint32_t>(0));
}

TEST_F(ClientTest, AnUnreadableCatalogueIsMovedAsideAndANewOneBuilt)
{
    Stage(plugins, "fx_effect", L"plain", "name=Plain\n");
    for (const char *bad : {"{\"format\": \"quenmoor-catalogue\", \"version\": 1, \"modu", "garbage\x01\x02"}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(FixtureFiles::WriteFileBytes(catalogue, bad));
        CRun run = RunClient(Arguments({plugins.path}));
        EXPECT_EQ(run.exitCode, std::optional<unsigned long>(0)) << run.output;
        EXPECT_NE(run.output.find("warning: "), std::string::npos) << run.output;
        EXPECT_EQ(ByName(ReadCatalogue(catalogue)).size(), 1u);
        // The old file is kept under a name the warning gives.
        size_t at = run.output.find(ToUtf8(catalogue) + ".");
        ASSERT_NE(at, std::string::npos) << run.output;
        std::string aside = run.output.substr(at, run.output.find_first_of("\" \n)", at + catalogue.size()) - at);
        while (!aside.empty() && (aside.back() == '.' || aside.back() == ','))
            aside.pop_back();
        std::string kept;
        EXPECT_TRUE(FixtureFiles::ReadFileBytes(FromUtf8(aside), &kept)) << aside;
        EXPECT_EQ(kept, bad);
        DeleteFileW(FromUtf8(aside).c_str());
    }
}

struct CUsageCase {
    const char *label;
    std::vector<std::wstring> arguments;  // {plugins} and {work} stand for the folders
    unsigned long exitCode;
    const char *says;
};

class ClientUsageTest : public ClientTest, public testing::WithParamInterface<CUsageCase> {};

TEST_P(ClientUsageTest, GetsItsMessageAndExitCode)
{
    const CUsageCase &c = GetParam();
    Stage(plugins, "fx_effect", L"plain", "name=Plain\n");
    std::vector<std::wstring> arguments;
    for (std::wstring argument : c.arguments) {
        if (argument == L"{plugins}")
            argument = plugins.path;
        else if (argument == L"{work}")
            argument = work.path;
        else if (argument == L"{catalogue}")
            argument = catalogue;
        else if (argument.compare(0, 6, L"{work}") == 0)
            argument = work.path + argument.substr(6);
        arguments.push_back(argument);
    }
    // A file where the catalogue's folder would be: nothing can be written.
    FixtureFiles::WriteFileBytes(work / L"not-a-folder", "x");
    CRun run = RunClient(arguments);
    EXPECT_EQ(run.exitCode, std::optional<unsigned long>(c.exitCode)) << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Usage, ClientUsageTest,
    testing::Values(
        CUsageCase{"NoPath", {L"--catalogue", L"{catalogue}"}, 2, "name at least one"},
        CUsageCase{"UnknownOption", {L"--frobnicate", L"{plugins}"}, 2, "--frobnicate"},
        CUsageCase{"NoJobs", {L"--jobs", L"0", L"{plugins}"}, 2, "--jobs"},
        CUsageCase{"NegativeTimeout", {L"--timeout", L"-1", L"{plugins}"}, 2, "--timeout"},
        CUsageCase{"PathThatDoesNotExist", {L"--catalogue", L"{catalogue}", L"{work}\\no-such-folder"}, 2,
                   "no such file or folder"},
        CUsageCase{"MissingServer", {L"--catalogue", L"{catalogue}", L"--server", L"{work}\\none.exe", L"{plugins}"},
                   3, "the scan server is missing"},
        CUsageCase{"CatalogueCannotBeWritten",
                   {L"--catalogue", L"{work}\\not-a-folder\\catalogue.json", L"{plugins}"}, 3, "catalogue"},
        CUsageCase{"FolderWithoutModules", {L"--catalogue", L"{catalogue}", L"{work}"}, 0, "0 modules"},
        CUsageCase{"Help", {L"--help"}, 0, "--modules-per-server"}),
    [](const testing::TestParamInfo<CUsageCase> &info) { return info.param.label; });

TEST_F(ClientTest, NamesBeyondAsciiAndTheCatalogueOnStandardOutput)
{
    std::wstring folder = plugins / L"Bibliothèque Ünicode";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring dll = folder + L"\\Réverbération 日本.dll";
    ASSERT_TRUE(CopyFileW(FixtureFiles::FixtureDll("fx_effect").c_str(), dll.c_str(), FALSE));
    // Another letter case of the extension is a module too.
    ASSERT_TRUE(CopyFileW(FixtureFiles::FixtureDll("fx_effect").c_str(), (folder + L"\\Upper.DLL").c_str(), FALSE));
    CRun run = RunClient(Arguments({L"--json", plugins.path}));
    EXPECT_EQ(run.exitCode, std::optional<unsigned long>(0)) << run.output;
    size_t begin = run.output.find("\n{");
    ASSERT_NE(begin, std::string::npos) << run.output;
    Json printed = Json::parse(run.output.substr(begin + 1), nullptr, false);
    ASSERT_TRUE(printed.is_object()) << run.output;
    EXPECT_EQ(printed, ReadCatalogue(catalogue));
    std::map<std::string, Json> modules = ByName(printed);
    ASSERT_EQ(modules.size(), 2u);
    EXPECT_EQ(modules["Réverbération 日本.dll"]["path"], ToUtf8(dll));
    EXPECT_EQ(modules["Réverbération 日本.dll"]["outcome"], "ok");
    EXPECT_EQ(modules["Upper.DLL"]["outcome"], "ok");
}

}  // namespace
