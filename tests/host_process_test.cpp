// The child process launcher: exit codes and ids, a failed start that leaves
// nothing behind, exactly the handles it names and no others (also while
// other children start at the same moment), ending a child, and the job that
// ends a child with everything it started.
#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/process/childprocess.h"
#include "host/text/utf8.h"
#include "support/piped_child.h"

using namespace ScanHost;

namespace {

const Milliseconds kTimeout{30000};

std::wstring ChildPath()
{
    return FromUtf8(TEST_BIN_DIR) + L"/process-child.exe";
}

CChildLaunch Launch(const std::wstring &arguments)
{
    CChildLaunch launch;
    launch.program = ChildPath();
    launch.arguments = arguments;
    return launch;
}

std::wstring Hex(HANDLE handle)
{
    return HexArgument(reinterpret_cast<uintptr_t>(handle));
}

// A handle on the process with that id that sees it end; null when it is
// already gone.
CHandle Watch(uint32_t processId)
{
    return CHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
}

bool Ends(const CHandle &process)
{
    return WaitForSingleObject(process.Get(), static_cast<DWORD>(kTimeout.count())) == WAIT_OBJECT_0;
}

TEST(ChildProcess, GivesItsIdAndExitCode)
{
    CChildProcess child;
    CError error;
    ASSERT_TRUE(child.Start(Launch(L"exit 7"), &error)) << error.Text();
    EXPECT_NE(child.ProcessId(), 0u);
    EXPECT_EQ(child.WaitExit(kTimeout), std::optional<uint32_t>(7));
    EXPECT_FALSE(child.IsRunning());
}

TEST(ChildProcess, AFailedStartLeavesNothingAndMayBeTriedAgain)
{
    CChildProcess child;
    CError error;
    CChildLaunch missing = Launch(L"exit 3");
    missing.program = FromUtf8(TEST_BIN_DIR) + L"/no-such-program.exe";
    ASSERT_FALSE(child.Start(missing, &error));
    EXPECT_EQ(error.step, "CreateProcessW");
    EXPECT_TRUE(error.code == ERROR_FILE_NOT_FOUND || error.code == ERROR_PATH_NOT_FOUND) << error.Text();
    EXPECT_FALSE(child.IsRunning());
    EXPECT_EQ(child.ProcessId(), 0u);

    ASSERT_TRUE(child.Start(Launch(L"sleep"), &error)) << error.Text();
    // One child at a time: a second start is refused and leaves the first.
    EXPECT_FALSE(child.Start(Launch(L"exit 3"), &error));
    EXPECT_EQ(error.code, static_cast<uint32_t>(ERROR_ALREADY_INITIALIZED));
    EXPECT_TRUE(child.IsRunning());
}

// The child sets the events it is given by value: only the one it was told
// to inherit is its own, although both are inheritable in this process.
TEST(ChildProcess, InheritsOnlyTheHandlesItNames)
{
    CHandle named(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CHandle other(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(named && other);
    for (const CHandle *event : {&named, &other})
        ASSERT_TRUE(SetHandleInformation(event->Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));

    CChildLaunch launch = Launch(L"setevents " + Hex(named.Get()) + L" " + Hex(other.Get()));
    launch.inherit = {named.Get()};
    CChildProcess child;
    CError error;
    ASSERT_TRUE(child.Start(launch, &error)) << error.Text();
    EXPECT_EQ(child.WaitExit(kTimeout), std::optional<uint32_t>(1)) << "bit 0: the named event, bit 1: the other";
    EXPECT_EQ(WaitForSingleObject(named.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(other.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // The named handle was inheritable only for the start; one that was not
    // inheritable before is not afterwards either.
    CHandle plain(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CChildProcess second;
    CChildLaunch again = Launch(L"setevents " + Hex(plain.Get()));
    again.inherit = {plain.Get()};
    ASSERT_TRUE(second.Start(again, &error)) << error.Text();
    EXPECT_EQ(second.WaitExit(kTimeout), std::optional<uint32_t>(1));
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(plain.Get(), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
}

// Children that never end are started on one thread while others start echo
// children and end them: a pipe end of an echo child that leaked into any
// other child would keep its output from ever ending.
TEST(ChildProcess, ConcurrentStartsKeepTheirPipesApart)
{
    const int kEchoThreads = 3;
    const int kRounds = 6;
    std::atomic<bool> echoing{true};
    std::vector<std::unique_ptr<CPipedChild>> sleepers;
    std::thread sleeperThread([&] {
        while (echoing && sleepers.size() < 40) {
            auto sleeper = std::make_unique<CPipedChild>();
            std::string error;
            if (sleeper->Start(ChildPath(), L"sleep", false, &error))
                sleepers.push_back(std::move(sleeper));
        }
    });
    std::vector<std::string> failures(kEchoThreads);
    std::vector<std::thread> echoThreads;
    for (int t = 0; t < kEchoThreads; ++t) {
        echoThreads.emplace_back([&, t] {
            for (int round = 0; round < kRounds && failures[t].empty(); ++round) {
                CPipedChild echo;
                std::string error, line;
                if (!echo.Start(ChildPath(), L"echo {in} {out}", false, &error))
                    failures[t] = "start: " + error;
                else if (echo.channel.Write("ping\n", kTimeout) != EWrite::Written)
                    failures[t] = "the request was not taken";
                else if (echo.channel.ReadLine(&line, kTimeout) != ERead::Line || line != "ping")
                    failures[t] = "no echo";
                echo.channel.CloseInput();
                if (failures[t].empty() && echo.channel.ReadLine(&line, kTimeout) != ERead::Closed)
                    failures[t] = "the echo child's output did not end";
            }
        });
    }
    for (std::thread &thread : echoThreads)
        thread.join();
    echoing = false;
    sleeperThread.join();
    for (const std::string &failure : failures)
        EXPECT_EQ(failure, "");
    EXPECT_GT(sleepers.size(), 0u);
}

TEST(ChildProcess, TerminateEndsItWithTheCodeGiven)
{
    CChildProcess child;
    CError error;
    ASSERT_TRUE(child.Start(Launch(L"sleep"), &error)) << error.Text();
    EXPECT_EQ(child.WaitExit(Milliseconds(200)), std::nullopt);
    EXPECT_TRUE(child.IsRunning());
    child.Terminate(5);
    EXPECT_EQ(child.WaitExit(kTimeout), std::optional<uint32_t>(5));
}

// Letting go of a child ends it and the process it started, which this test
// knows only by its id.
TEST(ChildProcess, ItsJobEndsEverythingItStarted)
{
    CHandle child, grandchild;
    {
        CPipedChild spawner;
        std::string error, line;
        ASSERT_TRUE(spawner.Start(ChildPath(), L"spawn {out}", false, &error)) << error;
        ASSERT_EQ(spawner.channel.ReadLine(&line, kTimeout), ERead::Line);
        child = Watch(spawner.process.ProcessId());
        grandchild = Watch(static_cast<uint32_t>(std::stoul(line)));
        ASSERT_TRUE(child && grandchild);
        EXPECT_EQ(WaitForSingleObject(grandchild.Get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    EXPECT_TRUE(Ends(child));
    EXPECT_TRUE(Ends(grandchild));
}

TEST(QuoteArgument, CommandLineToArgvGivesItBack)
{
    const wchar_t *cases[] = {
        L"plain",
        L"",
        L"with space",
        L"C:\\dumps",
        L"C:\\dump folder\\",
        L"trailing\\\\",
        L"quote\"inside",
        L"back\\\"slash quote",
        L"\\\\server\\share\\x y",
        L"tab\there",
        L"caf\u00e9",
    };
    for (const wchar_t *argument : cases) {
        std::wstring commandLine = L"server.exe " + QuoteArgument(argument) + L" next";
        int count = 0;
        LPWSTR *argv = CommandLineToArgvW(commandLine.c_str(), &count);
        ASSERT_NE(argv, nullptr);
        EXPECT_EQ(count, 3) << ToUtf8(commandLine);
        if (count == 3) {
            EXPECT_EQ(std::wstring(argv[1]), argument) << ToUtf8(commandLine);
            EXPECT_EQ(std::wstring(argv[2]), L"next") << ToUtf8(commandLine);
        }
        LocalFree(argv);
    }
}


TEST(HexArgument, DigitsWithoutPrefix)
{
    EXPECT_EQ(HexArgument(0), L"0");
    EXPECT_EQ(HexArgument(0x1A4), L"1a4");
    EXPECT_EQ(HexArgument(0x1A4, true), L"1A4");
    EXPECT_EQ(HexArgument(0xFFFFFFFFu), L"ffffffff");
}

TEST(Error, TextNamesTheStepAndTheCode)
{
    std::string text = CError{"CreateProcessW", ERROR_FILE_NOT_FOUND}.Text();
    EXPECT_EQ(text.rfind("CreateProcessW failed: ", 0), 0u) << text;
    EXPECT_GT(text.size(), std::string("CreateProcessW failed: (error 2)").size()) << "the system's message: " << text;
    EXPECT_EQ(text.substr(text.size() - 9), "(error 2)") << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
}

}  // namespace
