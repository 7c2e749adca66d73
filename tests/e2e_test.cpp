// The real server executable driven through its pipes as a host drives it:
// the handshake, one report for every request whatever the bytes of the line,
// overlong lines, the command-line arguments, a host that stops listening,
// and the orderly end when the request pipe closes.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "host/report/report.h"
#include "host/text/utf8.h"
#include "support/expected.h"
#include "support/piped_child.h"

using namespace ScanHost;

namespace {

// Generous: a server starting under Wine on a loaded machine is slow.
const Milliseconds kTimeout{60000};
// How long a server that should stay silent is watched.
const Milliseconds kSilence{2000};

const char kBanner[] = "info:Quenmoor Plugin Scan Server (x86)\n";
const size_t kLongestRequest = Protocol::kMaxRequestBytes;

std::wstring BinPath(const wchar_t *program)
{
    return FromUtf8(TEST_BIN_DIR) + L"/" + program;
}

// How many report objects a response holds.
int CountReports(const CResponse &response)
{
    int count = 0;
    for (const CServerLine &line : response.lines)
        count += line.level == ">" && line.text == "{";
    return count;
}

std::string Describe(const CResponse &response)
{
    const char *ends[] = {"ready", "closed", "silent"};
    return "response ending in " + std::string(ends[static_cast<int>(response.end)]) + ":\n" +
           response.raw;
}

class ServerTest : public ::testing::Test {
protected:
    // Starts the server with its pipe handles (or the given arguments).
    void Start(const wchar_t *arguments = L"{in} {out} 0", bool standardHandles = false)
    {
        std::string error;
        ASSERT_TRUE(server.Start(BinPath(L"RavoZazora-x86.exe"), arguments, standardHandles, &error)) << error;
    }

    // Starts the server and takes the banner and the first "ready:".
    void StartServing(const wchar_t *arguments = L"{in} {out} 0", bool standardHandles = false)
    {
        ASSERT_NO_FATAL_FAILURE(Start(arguments, standardHandles));
        CResponse banner = ReadUntilReady(server.channel, kTimeout);
        ASSERT_EQ(banner.end, EExchangeEnd::Ready) << Describe(banner);
        EXPECT_EQ(banner.raw, kBanner);
    }

    bool SendRaw(std::string_view bytes) { return server.channel.Write(bytes, kTimeout) == EWrite::Written; }
    bool Send(const std::string &request) { return SendRaw(request + "\n"); }

    // Takes the response to one request and checks that it is one served
    // request: one error line, then one well-formed report holding that error,
    // then "ready:". (Every request in these tests names no loadable module.)
    CReport ExpectServed(const std::string &what)
    {
        CResponse response = ReadUntilReady(server.channel, kTimeout);
        CReport report;
        EXPECT_EQ(response.end, EExchangeEnd::Ready) << what << "\n" << Describe(response);
        EXPECT_EQ(CountReports(response), 1) << what << "\n" << Describe(response);
        std::string error;
        EXPECT_TRUE(ParseReport(response.report, &report, &error))
            << what << ": " << error << "\n" << Describe(response);

        std::vector<std::string> errors;
        for (const CServerLine &line : response.lines)
            if (line.level == "error")
                errors.push_back(line.text);
        EXPECT_EQ(errors.size(), 1u) << what << "\n" << Describe(response);
        if (errors.size() == 1) {
            EXPECT_EQ(report.error, errors[0]) << what;
            EXPECT_FALSE(errors[0].empty()) << what;
        }
        if (!response.lines.empty()) {
            EXPECT_EQ(response.lines.back().level, ">") << what;
            EXPECT_EQ(response.lines.back().text, "}") << what;
        }
        return report;
    }

    CReport Request(const std::string &request)
    {
        EXPECT_TRUE(Send(request));
        return ExpectServed(request);
    }

    // Closes the request pipe and checks the orderly end: nothing more is
    // answered (no report, no "ready:") and the exit code is 0.
    void Finish()
    {
        server.channel.CloseInput();
        CResponse rest = ReadUntilReady(server.channel, kTimeout);
        EXPECT_EQ(rest.end, EExchangeEnd::Closed) << Describe(rest);
        EXPECT_EQ(CountReports(rest), 0) << Describe(rest);
        EXPECT_EQ(server.process.WaitExit(kTimeout), std::optional<uint32_t>(0));
    }

    CPipedChild server;
};

}  // namespace

using Handshake = ServerTest;

TEST_F(Handshake, BannerThenReadyThenOrderlyEnd)
{
    ASSERT_NO_FATAL_FAILURE(StartServing());
    Finish();
}

TEST_F(Handshake, RequestGetsErrorLineReportAndReady)
{
    ASSERT_NO_FATAL_FAILURE(StartServing());
    CReport report = Request("C:\\no\\such\\plugin.dll");
    ExpectDefaultReport(report);
    Finish();
}

TEST_F(Handshake, EveryRequestGetsOneReport)
{
    ASSERT_NO_FATAL_FAILURE(StartServing());
    for (int i = 0; i < 20 && !HasFailure(); ++i)
        Request("C:\\no\\such\\plugin" + std::to_string(i) + ".dll");
    Finish();
}

TEST_F(Handshake, RequestsWrittenAtOnceAreAllServedInTurn)
{
    ASSERT_NO_FATAL_FAILURE(StartServing());
    std::string requests;
    for (int i = 0; i < 50; ++i)
        requests += "C:\\no\\such\\plugin" + std::to_string(i) + ".dll\n";
    ASSERT_TRUE(SendRaw(requests));
    // A server that lost a request would leave the rest waiting: stop there.
    for (int i = 0; i < 50 && !HasFailure(); ++i)
        ExpectServed("request " + std::to_string(i));
    Finish();
}

// The request is the line as written, decoded from UTF-8: nothing trimmed, a
// carriage return kept (the log line shows it by its control picture, so it
// cannot break the line), invalid UTF-8 replaced, and the text ending at a NUL.
TEST_F(Handshake, TheRequestIsTheLineAsWritten)
{
    const struct {
        std::string line;
        std::string logged;
    } cases[] = {
        {" C:\\no\\x.dll \n", " C:\\no\\x.dll "},
        {"C:\\no\\x.dll\r\n", "C:\\no\\x.dll\xE2\x90\x8D"},
        {"C:\\no\\caf\xC3\xA9 \xF0\x9F\x8E\xB5.dll\n", "C:\\no\\caf\xC3\xA9 \xF0\x9F\x8E\xB5.dll"},
        {"C:\\no\\\xFF.dll\n", "C:\\no\\\xEF\xBF\xBD.dll"},
        {std::string("C:\\no\\a\0b.dll\n", 14), "C:\\no\\a"},
    };
    ASSERT_NO_FATAL_FAILURE(StartServing());
    for (const auto &c : cases) {
        ASSERT_TRUE(SendRaw(c.line));
        CResponse response = ReadUntilReady(server.channel, kTimeout);
        ASSERT_EQ(response.end, EExchangeEnd::Ready) << Describe(response);
        ASSERT_FALSE(response.lines.empty()) << Describe(response);
        EXPECT_EQ(response.lines[0].level, "info");
        EXPECT_EQ(response.lines[0].text, "Scanning plugin: '" + c.logged + "'");
        EXPECT_EQ(CountReports(response), 1) << Describe(response);
    }
    Finish();
}

// Whatever bytes a line holds, each line gets one report and the server stays
// in step: a request sent after them is answered next, and nothing is left
// over when the input closes.
struct SLineCase {
    const char *name;
    std::string bytes;
    int reports;
    bool closeInput;  // close the request pipe right after the bytes
};

void PrintTo(const SLineCase &c, std::ostream *out)
{
    *out << c.name;
}

class LineBytes : public ServerTest, public ::testing::WithParamInterface<SLineCase> {};

TEST_P(LineBytes, EachLineGetsOneReport)
{
    const SLineCase &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartServing());
    ASSERT_TRUE(SendRaw(c.bytes));
    if (c.closeInput)
        server.channel.CloseInput();
    for (int i = 0; i < c.reports && !HasFailure(); ++i)
        ExpectServed("line " + std::to_string(i));
    if (!c.closeInput)
        Request("C:\\no\\such\\probe.dll");
    Finish();
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, LineBytes,
    ::testing::Values(
        SLineCase{"EmptyLine", "\n", 1, false},
        SLineCase{"EmptyLines", "\n\n\n", 3, false},
        SLineCase{"CarriageReturnBeforeLineFeed", "C:\\no\\x.dll\r\n", 1, false},
        SLineCase{"CarriageReturnsOnly", "\r\n\r\r\n", 2, false},
        SLineCase{"InvalidUtf8", "C:\\\xff\xfe\x80\xc0\xaf.dll\n", 1, false},
        SLineCase{"TruncatedUtf8", "C:\\caf\xc3\n", 1, false},
        SLineCase{"NulInside", std::string("C:\\a\0b.dll\n", 11), 1, false},
        SLineCase{"NulOnly", std::string("\0\n", 2), 1, false},
        SLineCase{"TwoLinesInOneWrite", "C:\\a.dll\nC:\\b.dll\n", 2, false},
        SLineCase{"LastLineWithoutLineFeed", "C:\\no\\last.dll", 1, true},
        SLineCase{"LinesThenOneWithoutLineFeed", "C:\\a.dll\n\nC:\\b.dll", 3, true},
        SLineCase{"NothingBeforeTheEnd", "", 0, true}),
    [](const ::testing::TestParamInfo<SLineCase> &info) { return info.param.name; });

using SplitWrites = ServerTest;

// A line of more than 1023 bytes arriving in pieces is one request, served
// once its line feed has come; a UTF-8 sequence cut between two writes is put
// together again. (Shorter input without a line feed is served at once when
// nothing more follows it.)
TEST_F(SplitWrites, LongLineInPiecesIsOneRequest)
{
    ASSERT_NO_FATAL_FAILURE(StartServing());
    const std::string pieces[] = {"C:\\no\\" + std::string(1100, 'a') + "su", "ch\\caf\xc3", "\xa9.dll"};
    for (const std::string &piece : pieces) {
        ASSERT_TRUE(SendRaw(piece));
        // The pause is the point: the piece is alone in the pipe.
        CResponse early = ReadUntilReady(server.channel, Milliseconds(300));
        EXPECT_EQ(early.end, EExchangeEnd::Silent) << "answered before its line feed: " << piece;
        EXPECT_EQ(early.raw, "");
    }
    ASSERT_TRUE(SendRaw("\n"));
    ExpectServed("the joined line");
    Finish();
}

// Lines of up to 64 KiB are served; a longer one gets one report whose error
// is "Request too long", is skipped up to its line feed, and the line after it
// is served next. The line feed comes in the same write as the line, or in a
// later one, after the server has read all of the line it could.
struct SLengthCase {
    size_t length;
    bool tooLong;
    bool feedLater;
};

void PrintTo(const SLengthCase &c, std::ostream *out)
{
    *out << c.length << " bytes" << (c.feedLater ? ", line feed later" : "");
}

class LongLines : public ServerTest, public ::testing::WithParamInterface<SLengthCase> {};

TEST_P(LongLines, ServedUpTo64KiBRejectedBeyond)
{
    const SLengthCase &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartServing());
    std::string line = "C:\\" + std::string(c.length - 3, 'a');
    std::string rest = "\nC:\\no\\such\\probe.dll\n";
    if (c.feedLater) {
        ASSERT_TRUE(SendRaw(line));
        Sleep(300);
        ASSERT_TRUE(SendRaw(rest));
    } else {
        ASSERT_TRUE(SendRaw(line + rest));
    }
    CReport report = ExpectServed("a line of " + std::to_string(c.length) + " bytes");
    if (c.tooLong)
        EXPECT_EQ(report.error, "Request too long");
    else
        EXPECT_NE(report.error, "Request too long");
    CReport probe = ExpectServed("the line after it");
    EXPECT_NE(probe.error, "Request too long");
    Finish();
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, LongLines,
    ::testing::Values(SLengthCase{1023, false, false}, SLengthCase{1024, false, false},
                      SLengthCase{4097, false, false}, SLengthCase{kLongestRequest, false, false},
                      SLengthCase{kLongestRequest, false, true},
                      SLengthCase{kLongestRequest + 1, true, false},
                      SLengthCase{kLongestRequest + 1, true, true},
                      SLengthCase{kLongestRequest + 4000, true, false},
                      SLengthCase{3 * kLongestRequest + 7, true, false},
                      SLengthCase{3 * kLongestRequest + 7, true, true}),
    [](const ::testing::TestParamInfo<SLengthCase> &info) {
        return std::to_string(info.param.length) + (info.param.feedLater ? "_FeedLater" : "");
    });

// Arguments that name the pipes, however they are spelt, start the request
// loop; the server answers on the pipe its 2nd argument names.
struct SArgumentCase {
    const char *name;
    const wchar_t *arguments;
    bool standardHandles;
};

void PrintTo(const SArgumentCase &c, std::ostream *out)
{
    *out << c.name;
}

class ServingArguments : public ServerTest,
                         public ::testing::WithParamInterface<SArgumentCase> {};

TEST_P(ServingArguments, ServeRequests)
{
    ASSERT_NO_FATAL_FAILURE(StartServing(GetParam().arguments, GetParam().standardHandles));
    Request("C:\\no\\such\\plugin.dll");
    Finish();
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ServingArguments,
    ::testing::Values(SArgumentCase{"TwoHandles", L"{in} {out}", false},
                      SArgumentCase{"UpperCaseDigits", L"{IN} {OUT} 0", false},
                      SArgumentCase{"EmptyDumpFolder", L"{in} {out} 0 \"\"", false},
                      SArgumentCase{"DumpFolder", L"{in} {out} 0 C:\\dumps", false},
                      SArgumentCase{"DigitsThenOtherCharacters", L"{in}zz {out}.x 0", false},
                      // Without a 2nd argument the answers go to standard output.
                      SArgumentCase{"InputHandleOnly", L"{in}", true},
                      SArgumentCase{"OutputHandleZero", L"{in} 0", true}),
    [](const ::testing::TestParamInfo<SArgumentCase> &info) { return info.param.name; });

// Without a non-zero input handle the server serves nothing: it writes its
// banner to standard output (or the output handle it was given) and waits in
// its message loop until it is ended from outside.
class IdleArguments : public ServerTest,
                      public ::testing::WithParamInterface<SArgumentCase> {};

TEST_P(IdleArguments, BannerButNoReady)
{
    ASSERT_NO_FATAL_FAILURE(Start(GetParam().arguments, true));
    std::string line;
    ASSERT_EQ(server.channel.ReadLine(&line, kTimeout), ERead::Line);
    EXPECT_EQ(line + "\n", kBanner);
    ERead next = server.channel.ReadLine(&line, kSilence);
    EXPECT_EQ(next, ERead::Timeout) << "unexpected line: " << line;
    // A request changes nothing: nobody reads it.
    EXPECT_TRUE(Send("C:\\no\\such\\plugin.dll"));
    next = server.channel.ReadLine(&line, kSilence);
    EXPECT_EQ(next, ERead::Timeout) << "unexpected line: " << line;
    EXPECT_TRUE(server.process.IsRunning());
    server.process.Terminate();
    EXPECT_EQ(server.process.WaitExit(kTimeout), std::optional<uint32_t>(1));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, IdleArguments,
    ::testing::Values(SArgumentCase{"None", L"", true}, SArgumentCase{"InputZero", L"0", true},
                      SArgumentCase{"InputZeroWithOutput", L"0 {out}", true},
                      SArgumentCase{"NotHexadecimal", L"zz yy", true},
                      SArgumentCase{"HexadecimalPrefix", L"0x{in} 0x{out}", true},
                      SArgumentCase{"Signed", L"-{in} -{out}", true}),
    [](const ::testing::TestParamInfo<SArgumentCase> &info) { return info.param.name; });

using HostStopsListening = ServerTest;

// A host that closes its end of the reply pipe: every write of the server
// fails from then on, yet it goes on reading requests and ends normally.
TEST_F(HostStopsListening, ServerStillEndsNormally)
{
    ASSERT_NO_FATAL_FAILURE(StartServing());
    server.channel.CloseOutput();
    EXPECT_TRUE(Send("C:\\no\\such\\plugin.dll"));
    EXPECT_TRUE(SendRaw("\n\r\n" + std::string(kLongestRequest + 10, 'a') + "\n"));
    EXPECT_TRUE(Send("C:\\no\\such\\last.dll"));
    server.channel.CloseInput();
    EXPECT_EQ(server.process.WaitExit(kTimeout), std::optional<uint32_t>(0));
}

TEST_F(HostStopsListening, BeforeTheBanner)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    server.channel.CloseOutput();
    EXPECT_TRUE(Send("C:\\no\\such\\plugin.dll"));
    server.channel.CloseInput();
    EXPECT_EQ(server.process.WaitExit(kTimeout), std::optional<uint32_t>(0));
}

// The command line's raw mode: the server's lines as they came, its own lines
// starting with "# ", and the server's exit code as its own.
TEST(CommandLineHost, PrintsEverythingAndTheExitCode)
{
    CPipedChild scan;
    std::string error;
    ASSERT_TRUE(scan.Start(BinPath(L"quenmoor-scan.exe"),
                           L"--raw --server " + QuoteArgument(BinPath(L"RavoZazora-x86.exe")) +
                               L" C:\\no\\such\\a.dll \"C:\\no such\\b.dll\"",
                           true, &error))
        << error;
    CResponse all = ReadUntilReady(scan.channel, kTimeout);  // "ready:" first comes from the server
    ASSERT_EQ(all.end, EExchangeEnd::Ready) << Describe(all);
    EXPECT_EQ(all.raw, kBanner);

    std::vector<std::string> lines;
    std::string line;
    while (scan.channel.ReadLine(&line, kTimeout) == ERead::Line)
        lines.push_back(line);
    std::vector<std::string> ours;
    int reports = 0, readies = 0;
    for (const std::string &l : lines) {
        if (l.compare(0, 2, "# ") == 0)
            ours.push_back(l);
        reports += l == ">:{";
        readies += l == "ready:";
    }
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(readies, 2);
    std::vector<std::string> expected = {"# request: C:\\no\\such\\a.dll",
                                         "# request: C:\\no such\\b.dll", "# exit code: 0"};
    EXPECT_EQ(ours, expected);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "# exit code: 0");
    EXPECT_EQ(scan.process.WaitExit(kTimeout), std::optional<uint32_t>(0));
}
