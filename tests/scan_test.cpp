// Serving requests in-process: the request grammar, the module cache and the
// lines of a scan, with this test program's own file as the module (it
// exports the fake plug-in and carries a version block), and missing files
// for load failures.
#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <string>
#include <vector>

#include "service/scan.h"
#include "support/capture.h"
#include "support/fake_plugin.h"
#include "support/lines.h"

namespace {

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::string Utf8(const std::wstring &text)
{
    char buffer[4 * MAX_PATH];
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, nullptr, nullptr);
    return n > 0 ? std::string(buffer) : std::string();
}

std::string ModuleText(HMODULE module)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(module)));
    return text;
}

const wchar_t kMissing[] = L"C:\\no such folder\\missing plugin.dll";

// The lines before the report object.
std::vector<std::string> LogLines(const std::string &output)
{
    std::vector<std::string> lines;
    for (const std::string &line : SplitLines(output)) {
        if (line.compare(0, 2, ">:") == 0)
            break;
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ReportLines(const std::string &output)
{
    return LinesStartingWith(output, ">:");
}

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetFakePlugin();
        ASSERT_EQ(g_hCachedModule, nullptr);
        // The fake reads back the shell id it is being created for.
        g_fake.onEntry = [](audioMasterCallback host) {
            s_currentId = static_cast<int>(host(nullptr, audioMasterCurrentId, 0, 0, nullptr, 0.0f));
        };
        s_currentId = -1;
    }
    void TearDown() override
    {
        COutputCapture quiet;
        FreeCachedModule();
    }

    // Serves one request and returns everything written for it.
    std::string Serve(const std::wstring &request)
    {
        COutputCapture capture;
        HandleRequest(Simple::CWideString(request.c_str()));
        return capture.Text();
    }

    // Leaves this program's file held in the cache, as after a shell scan.
    void HoldOwnModule()
    {
        g_fake.category = 10;
        g_fake.shells = {{0x1A2B3C4D, "Inside"}};
        Serve(OwnPath());
        ASSERT_NE(g_hCachedModule, nullptr);
        g_fake.category = 1;
    }

    static int s_currentId;
};

int ScanTest::s_currentId;

TEST_F(ScanTest, ScanOfAPluginWritesEveryLineInOrder)
{
    g_fake.vendorVersion = 0;
    std::string output = Serve(OwnPath());
    EXPECT_EQ(LogLines(output), (std::vector<std::string>{
                                    "info:Scanning plugin: '" + Utf8(OwnPath()) + "'\n",
                                    "info:Loading library...\n",
                                    "info:Looking for entry point in module " +
                                        ModuleText(GetModuleHandleW(nullptr)) + "\n",
                                    "info:Found VSTPluginMain()\n",
                                    "info:Calling entry point...\n",
                                    "info:Audio master callback: 2 - audioMasterCurrentId\n",
                                    "info:Dispatching effClose...\n",
                                    "info:Freeing library...\n",
                                    "info:Finished\n",
                                }));
    std::vector<std::string> report = ReportLines(output);
    ASSERT_EQ(report.size(), 16u);
    EXPECT_EQ(report[0], ">:{\n");
    EXPECT_EQ(report[2], ">:  \"name\":      \"Fake Effect\",\n");
    // The plug-in answered 0: the file's product version stands in.
    EXPECT_EQ(report[5], ">:  \"version\":   \"2.1.0.5\",\n");
    EXPECT_EQ(report[6], ">:  \"error\":     \"\",\n");
    EXPECT_EQ(report[15], ">:}\n");
    EXPECT_EQ(s_currentId, 0);
    EXPECT_EQ(g_hCachedModule, nullptr);
    EXPECT_EQ(g_strCachedPath.text, nullptr);
}

TEST_F(ScanTest, ThePluginsOwnVersionWins)
{
    g_fake.vendorVersion = 65535;
    std::string output = Serve(OwnPath());
    EXPECT_EQ(ReportLines(output)[5], ">:  \"version\":   \"6.5.5.3\",\n");
}

TEST_F(ScanTest, AMissingFileReportsTheLoadError)
{
    std::string output = Serve(kMissing);
    EXPECT_EQ(LogLines(output), (std::vector<std::string>{
                                    "info:Scanning plugin: '" + Utf8(kMissing) + "'\n",
                                    "info:Loading library...\n",
                                    "error:Failed to load library, err=126\n",
                                }));
    std::vector<std::string> report = ReportLines(output);
    ASSERT_EQ(report.size(), 16u);
    EXPECT_EQ(report[1], ">:  \"id\":        \"00000000\",\n");
    EXPECT_EQ(report[5], ">:  \"version\":   \"\",\n");
    EXPECT_EQ(report[6], ">:  \"error\":     \"Failed to load library, err=126\",\n");
    EXPECT_EQ(report[13], ">:  \"category\":  -1,\n");
    EXPECT_EQ(g_hCachedModule, nullptr);
}

TEST_F(ScanTest, ANullRequestIsAnErrorAndLeavesTheCacheAlone)
{
    HoldOwnModule();
    HMODULE held = g_hCachedModule;
    COutputCapture capture;
    HandleRequest(Simple::CWideString());
    std::string output = capture.Text();
    EXPECT_EQ(LogLines(output), std::vector<std::string>{"error:Out of memory\n"});
    EXPECT_EQ(ReportLines(output)[6], ">:  \"error\":     \"Out of memory\",\n");
    EXPECT_EQ(g_hCachedModule, held);
    EXPECT_EQ(std::wstring(g_strCachedPath.text), OwnPath());
}

TEST_F(ScanTest, AShellStaysLoadedForItsPluginsWhichReadTheirId)
{
    g_fake.category = 10;
    g_fake.shells = {{0x1A2B3C4D, "Inside"}, {0x11, "Other"}};
    std::string output = Serve(OwnPath());
    std::vector<std::string> lines = LogLines(output);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"info:Keeping shell library loaded for now...\n", "info:Finished\n"}));
    EXPECT_EQ(g_hCachedModule, GetModuleHandleW(nullptr));
    EXPECT_EQ(std::wstring(g_strCachedPath.text), OwnPath());

    // The plug-in inside: same path with ">" and its id.
    ResetFakePlugin();
    g_fake.onEntry = [](audioMasterCallback host) {
        s_currentId = static_cast<int>(host(nullptr, audioMasterCurrentId, 0, 0, nullptr, 0.0f));
    };
    std::wstring request = OwnPath() + L">1A2B3C4D";
    output = Serve(request);
    lines = LogLines(output);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "info:Scanning plugin: '" + Utf8(request) + "'\n");
    EXPECT_EQ(lines[1], "info:Re-using previous library instance...\n");
    EXPECT_EQ(CountLines(output, "info:Loading library...\n"), 0);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"info:Keeping shell library loaded for now...\n", "info:Finished\n"}));
    EXPECT_EQ(s_currentId, 0x1A2B3C4D);
    EXPECT_EQ(g_nCurrentShellId, 0);
    EXPECT_EQ(g_hCachedModule, GetModuleHandleW(nullptr));

    // Any other path frees it first.
    output = Serve(kMissing);
    EXPECT_EQ(LogLines(output), (std::vector<std::string>{
                                    "info:Scanning plugin: '" + Utf8(kMissing) + "'\n",
                                    "info:Freeing cached library...\n",
                                    "info:Freed\n",
                                    "info:Loading library...\n",
                                    "error:Failed to load library, err=126\n",
                                }));
    EXPECT_EQ(g_hCachedModule, nullptr);
    EXPECT_EQ(g_strCachedPath.text, nullptr);
}

TEST_F(ScanTest, TheShellIdIsTheHexadecimalAfterTheFirstSeparator)
{
    struct {
        const wchar_t *suffix;
        int id;
    } cases[] = {
        {L"", 0},
        {L">", 0},
        {L">1a2B", 0x1A2B},
        {L">1A2B3C4Dxyz", 0x1A2B3C4D},
        {L">ghi", 0},
        {L">123456789", 0x23456789},
        {L">FFFFFFFF", -1},
        {L">>5", 0},
        {L">5>6", 5},
    };
    for (const auto &c : cases) {
        std::wstring request = OwnPath() + c.suffix;
        s_currentId = -2;
        std::string output = Serve(request);
        EXPECT_EQ(s_currentId, c.id) << Utf8(request);
        EXPECT_EQ(CountLines(output, "info:Loading library...\n"), 1) << Utf8(request);
        EXPECT_EQ(CountLines(output, "info:Finished\n"), 1) << Utf8(request);
        EXPECT_EQ(g_hCachedModule, nullptr);
    }
}

TEST_F(ScanTest, ReuseComparesPathsExactly)
{
    HoldOwnModule();
    std::wstring other = OwnPath();
    for (wchar_t &c : other)
        c = static_cast<wchar_t>(towupper(c));
    ASSERT_NE(other, OwnPath());
    std::string output = Serve(other);
    std::vector<std::string> lines = LogLines(output);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 4),
              (std::vector<std::string>{"info:Freeing cached library...\n", "info:Freed\n",
                                        "info:Loading library...\n"}));
    EXPECT_EQ(lines.back(), "info:Finished\n");
    EXPECT_EQ(g_hCachedModule, nullptr);
}

TEST_F(ScanTest, AFailedInspectionFreesTheModuleUnlessItWasReused)
{
    g_fake.returnNull = true;
    std::string output = Serve(OwnPath());
    std::vector<std::string> lines = LogLines(output);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"info:Freeing library...\n", "info:Finished\n",
                                        "error:Entry point returned NULL\n"}));
    EXPECT_EQ(g_hCachedModule, nullptr);

    g_fake.returnNull = false;
    HoldOwnModule();
    g_fake.returnNull = true;
    output = Serve(OwnPath() + L">11");
    lines = LogLines(output);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"info:Keeping shell library loaded for now...\n", "info:Finished\n",
                                        "error:Entry point returned NULL\n"}));
    EXPECT_EQ(g_hCachedModule, GetModuleHandleW(nullptr));
}

TEST_F(ScanTest, ShutdownFreesAHeldModule)
{
    {
        COutputCapture capture;
        FreeCachedModule();
        EXPECT_EQ(capture.Text(), "");
    }
    HoldOwnModule();
    COutputCapture capture;
    FreeCachedModule();
    EXPECT_EQ(capture.Text(), "info:Freeing cached library...\ninfo:Freed\n");
    EXPECT_EQ(g_hCachedModule, nullptr);
    EXPECT_EQ(g_strCachedPath.text, nullptr);
}

}  // namespace
