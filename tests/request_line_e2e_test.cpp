// End-to-end request lines as hosts write them: the path and its line feed in
// one write, the path alone, or the path and then its line feed in a second
// write. Each is one request with one report, and the request written after
// it is the next one served: a line feed that follows a request served
// without it makes no empty request. Input without a line feed is served
// alone only up to 1023 bytes; longer input waits for its line feed.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e_server.h"
#include "tests/fixtures/fixture_files.h"

using E2E::CScan;
using E2E::CServer;
using E2E::Utf8;
using FixtureFiles::CTempFolder;
using FixtureFiles::Stage;

namespace {

// How long a server that should not answer yet is watched.
const ScanHost::Milliseconds kSilence{1500};

enum class EWait { No, ForAnswer };

struct CWriteCase {
    const char *label;
    std::vector<std::string> tails;  // written after the path, one write each
    EWait wait;                      // before the tails: wait for the path's answer
};

void PrintTo(const CWriteCase &c, std::ostream *out)
{
    *out << c.label;
}

const CWriteCase kWriteCases[] = {
    {"PathAndLineFeedInOneWrite", {"\n"}, EWait::No},
    // A host that leaves out the line feed waits for the answer: whatever it
    // wrote before then is one request.
    {"PathAlone", {}, EWait::ForAnswer},
    {"LineFeedInASecondWriteAtOnce", {"", "\n"}, EWait::No},
    {"LineFeedInASecondWriteAfterTheAnswer", {"", "\n"}, EWait::ForAnswer},
};

class RequestWrites : public testing::TestWithParam<CWriteCase> {};

// The request is the path of a plug-in, the next one that of another: each
// response names its own plug-in, and after the second nothing more comes.
TEST_P(RequestWrites, OneReportAndTheNextRequestIsServedNext)
{
    const CWriteCase &c = GetParam();
    CTempFolder folder;
    std::wstring first = Stage(folder, "fx_effect", L"First", "trace=0\nname=First\n");
    std::wstring second = Stage(folder, "fx_effect", L"Second", "trace=0\nname=Second\n");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    CServer server;
    ASSERT_TRUE(server.Start());

    // The first tail goes with the path; "" makes the path a write of its own.
    std::vector<std::string> writes{Utf8(first)};
    size_t tail = 0;
    if (!c.tails.empty())
        writes[0] += c.tails[tail++];
    std::vector<CScan> responses;
    for (const std::string &bytes : writes)
        ASSERT_TRUE(server.SendRaw(bytes));
    if (c.wait == EWait::ForAnswer)
        responses.push_back(server.Response());
    for (; tail < c.tails.size(); ++tail)
        ASSERT_TRUE(server.SendRaw(c.tails[tail]));
    ASSERT_TRUE(server.Send(Utf8(second)));
    while (responses.size() < 2)
        responses.push_back(server.Response());

    const char *names[] = {"First", "Second"};
    const std::wstring *paths[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(names[i]);
        const CScan &scan = responses[i];
        ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
        ASSERT_FALSE(scan.lines.empty());
        EXPECT_EQ(scan.lines[0], "info:Scanning plugin: '" + Utf8(*paths[i]) + "'");
        EXPECT_EQ(scan.reportLines.front(), ">:{");
        EXPECT_EQ(std::count(scan.reportLines.begin(), scan.reportLines.end(), ">:{"), 1);
        ASSERT_TRUE(scan.parsed) << scan.parseError;
        EXPECT_EQ(scan.report.name, names[i]);
        EXPECT_EQ(scan.report.error, "");
    }
    std::optional<unsigned long> exitCode;
    EXPECT_EQ(server.Shutdown(&exitCode), std::vector<std::string>{});
    EXPECT_EQ(exitCode, std::optional<unsigned long>(0));
}

INSTANTIATE_TEST_SUITE_P(E2E, RequestWrites, testing::ValuesIn(kWriteCases),
                         [](const testing::TestParamInfo<CWriteCase> &info) { return std::string(info.param.label); });

// Up to 1023 bytes without a line feed are answered at once; from 1024 bytes
// the server waits for the line feed, and then serves the line once.
TEST(UnendedRequest, ServedAloneUpTo1023Bytes)
{
    for (size_t length : {1023u, 1024u, 1500u}) {
        SCOPED_TRACE(length);
        CServer server;
        ASSERT_TRUE(server.Start());
        std::string request = "C:\\" + std::string(length - 3, 'a');
        ASSERT_TRUE(server.SendRaw(request));
        bool waits = length > 1023;
        CScan scan = server.Response(waits ? kSilence : E2E::kTimeout);
        if (waits) {
            EXPECT_EQ(scan.end, ScanHost::EEnd::Timeout);
            EXPECT_EQ(scan.lines, std::vector<std::string>{});
            ASSERT_TRUE(server.SendRaw("\n"));
            scan = server.Response();
        }
        ASSERT_EQ(scan.end, ScanHost::EEnd::Ready);
        ASSERT_FALSE(scan.lines.empty());
        EXPECT_EQ(scan.lines[0], "info:Scanning plugin: '" + request + "'");
        EXPECT_EQ(std::count(scan.reportLines.begin(), scan.reportLines.end(), ">:{"), 1);
        std::optional<unsigned long> exitCode;
        EXPECT_EQ(server.Shutdown(&exitCode), std::vector<std::string>{});
        EXPECT_EQ(exitCode, std::optional<unsigned long>(0));
    }
}

}  // namespace
