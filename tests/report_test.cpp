// The output lines and the report object, byte for byte as the host reads
// them.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "report/plugininfo.h"
#include "service/log.h"
#include "split_writes.h"
#include "support/capture.h"

namespace {

TEST(OutputLines, LevelWritersTagEachLine)
{
    struct {
        void (*writer)(const wchar_t *, ...);
        const char *expected;
    } cases[] = {
        {LogInfo, "info:Freed\n"},
        {LogWarn, "warn:Freed\n"},
        {LogError, "error:Freed\n"},
        {LogResult, ">:Freed\n"},
    };
    for (const auto &c : cases) {
        COutputCapture capture;
        c.writer(L"Freed\n");
        EXPECT_EQ(capture.Text(), c.expected);
    }
}

TEST(OutputLines, MessagesAreFormattedAndNothingIsAdded)
{
    COutputCapture capture;
    LogResult(L"{\n");
    LogInfo(L"Found shell: %.8X - %S\n", 0x1A2B, "Bass");
    LogWrite("info", L"%s", L"no line feed");
    EXPECT_EQ(capture.Text(), ">:{\ninfo:Found shell: 00001A2B - Bass\ninfo:no line feed");
}

TEST(OutputLines, TextIsUtf8)
{
    COutputCapture capture;
    // An accented path, and a character outside the basic plane (a surrogate
    // pair in UTF-16).
    LogInfo(L"Scanning plugin: '%s'\n", L"C:\\Plug-ins\\R\u00e9verb \U0001F3B5.dll");
    EXPECT_EQ(capture.Text(), "info:Scanning plugin: 'C:\\Plug-ins\\R\xC3\xA9verb \xF0\x9F\x8E\xB5.dll'\n");
}

TEST(OutputLines, LineBreaksInsideAMessageCannotStartALine)
{
    // A plug-in's text must not forge a handshake or a report line.
    COutputCapture capture;
    LogInfo(L"Query host can do: '%S'\n", "x\nready:\n>:{\r\n");
    EXPECT_EQ(capture.Text(), "info:Query host can do: 'x\xE2\x90\x8Aready:\xE2\x90\x8A>:{\xE2\x90\x8D\xE2\x90\x8A'\n");
}

// Every write goes out in two pieces here: only the writers' own lock keeps
// each line whole.
TEST(OutputLines, LinesFromManyThreadsNeverInterleave)
{
    COutputCapture capture;
    CSplitWrites split(g_hOutput);
    const int kThreads = 8;
    const int kLines = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                LogInfo(L"thread %i line %i of a message long enough to be written in pieces\n", t, i);
        });
    }
    for (auto &thread : threads)
        thread.join();

    std::string text = capture.Text();
    std::vector<int> next(kThreads, 0);
    size_t start = 0;
    int lines = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(start, end - start);
        int t = -1;
        int i = -1;
        ASSERT_EQ(sscanf(line.c_str(), "info:thread %d line %d of", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(i, next[t]++) << "lines of one thread out of order";
        EXPECT_EQ(line, "info:thread " + std::to_string(t) + " line " + std::to_string(i) +
                            " of a message long enough to be written in pieces");
        start = end + 1;
        ++lines;
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

TEST(JsonEscape, EachUnitAsTheReaderExpects)
{
    struct {
        const wchar_t *input;
        const wchar_t *expected;
    } cases[] = {
        {L"Plain Name 1.0", L"Plain Name 1.0"},
        {L"say \"hi\"", L"say \\\"hi\\\""},
        {L"C:\\x", L"C:\\\\x"},
        {L"a/b", L"a\\/b"},
        {L"\b\f\n\r\t", L"\\b\\f\\n\\r\\t"},
        {L"R\u00e9verb", L"R\\u00e9verb"},
        {L"\u0014", L"\\u0014"},
        {L"\u007f~ ", L"\\u007f~ "},
        {L"\U0001F3B5", L"\\ud83c\\udfb5"},
        {L"\uFFFD", L"\\ufffd"},
    };
    for (const auto &c : cases) {
        Simple::CWideString escaped = JsonEscape(Simple::CWideString(c.input));
        ASSERT_NE(escaped.text, nullptr);
        EXPECT_STREQ(escaped.text, c.expected) << "input: " << testing::PrintToString(std::wstring(c.input));
    }
}

TEST(JsonEscape, NullAndEmptyGiveAnEmptyText)
{
    Simple::CWideString null;
    Simple::CWideString empty(L"");
    for (const Simple::CWideString *input : {&null, &empty}) {
        Simple::CWideString escaped = JsonEscape(*input);
        ASSERT_NE(escaped.text, nullptr);
        EXPECT_STREQ(escaped.text, L"");
    }
}

std::string Report(const CPluginInfo &info)
{
    COutputCapture capture;
    ReportPluginInfo(info);
    return capture.Text();
}

TEST(Report, DefaultsOfAFailedScan)
{
    CPluginInfo info;
    info.error = L"Failed to load library, err=126";
    EXPECT_EQ(Report(info),
              ">:{\n"
              ">:  \"id\":        \"00000000\",\n"
              ">:  \"name\":      \"\",\n"
              ">:  \"vendor\":    \"\",\n"
              ">:  \"product\":   \"\",\n"
              ">:  \"version\":   \"\",\n"
              ">:  \"error\":     \"Failed to load library, err=126\",\n"
              ">:  \"numInputs\": 0,\n"
              ">:  \"numOutputs\":0,\n"
              ">:  \"wantsMidi\":  false,\n"
              ">:  \"sendsMidi\": false,\n"
              ">:  \"platform\":  \"x86\",\n"
              ">:  \"audio64\":   false,\n"
              ">:  \"category\":  -1,\n"
              ">:  \"synthEdit\": false,\n"
              ">:}\n");
}

TEST(Report, EveryFieldOfAPlugin)
{
    CPluginInfo info;
    info.id = -1;
    info.name = L"Tape \"Echo\"";
    info.vendor = L"Acme/Labs";
    info.product = L"\u00c9cho";
    info.version = L"1.2.3.4";
    info.error = L"";
    info.numInputs = 2;
    info.numOutputs = 16;
    info.wantsMidi = true;
    info.sendsMidi = false;
    info.audio64 = true;
    info.synthEdit = true;
    info.category = 2;
    EXPECT_EQ(Report(info),
              ">:{\n"
              ">:  \"id\":        \"FFFFFFFF\",\n"
              ">:  \"name\":      \"Tape \\\"Echo\\\"\",\n"
              ">:  \"vendor\":    \"Acme\\/Labs\",\n"
              ">:  \"product\":   \"\\u00c9cho\",\n"
              ">:  \"version\":   \"1.2.3.4\",\n"
              ">:  \"error\":     \"\",\n"
              ">:  \"numInputs\": 2,\n"
              ">:  \"numOutputs\":16,\n"
              ">:  \"wantsMidi\":  true,\n"
              ">:  \"sendsMidi\": false,\n"
              ">:  \"platform\":  \"x86\",\n"
              ">:  \"audio64\":   true,\n"
              ">:  \"category\":  2,\n"
              ">:  \"synthEdit\": true,\n"
              ">:}\n");
}

const char kShellHead[] =
    ">:{\n"
    ">:  \"id\":        \"5368656C\",\n"
    ">:  \"name\":      \"Bundle\",\n"
    ">:  \"vendor\":    \"\",\n"
    ">:  \"product\":   \"\",\n"
    ">:  \"version\":   \"\",\n"
    ">:  \"error\":     \"\",\n"
    ">:  \"numInputs\": 0,\n"
    ">:  \"numOutputs\":2,\n"
    ">:  \"wantsMidi\":  false,\n"
    ">:  \"sendsMidi\": false,\n"
    ">:  \"platform\":  \"x86\",\n"
    ">:  \"audio64\":   false,\n"
    ">:  \"category\":  10,\n"
    ">:  \"synthEdit\": false,\n";

void FillShell(CPluginInfo &info)
{
    info.id = 0x5368656C;
    info.name = L"Bundle";
    info.numOutputs = 2;
    info.category = kCategoryShell;
}

TEST(Report, ShellListsItsEntriesInOrder)
{
    CPluginInfo info;
    FillShell(info);
    const struct {
        int id;
        const wchar_t *name;
    } entries[] = {{0x1A2B3C4D, L"Bass \\ Synth"}, {7, L"Drums"}};
    for (const auto &entry : entries) {
        CShellInfo *shell = new CShellInfo;
        shell->id = entry.id;
        shell->name = entry.name;
        ASSERT_TRUE(info.shells.Add(shell));
    }
    EXPECT_EQ(Report(info), std::string(kShellHead) +
                                ">:  \"shells\": {\n"
                                ">:        \"1A2B3C4D\": \"Bass \\\\ Synth\",\n"
                                ">:        \"00000007\": \"Drums\",\n"
                                ">:  },\n"
                                ">:}\n");
}

TEST(Report, EmptyShellStillWritesItsBlock)
{
    CPluginInfo info;
    FillShell(info);
    EXPECT_EQ(Report(info), std::string(kShellHead) +
                                ">:  \"shells\": {\n"
                                ">:  },\n"
                                ">:}\n");
}

TEST(Report, EntriesOfANonShellAreNotListed)
{
    CPluginInfo info;
    FillShell(info);
    info.category = 1;
    CShellInfo *shell = new CShellInfo;
    shell->id = 3;
    ASSERT_TRUE(info.shells.Add(shell));
    EXPECT_EQ(Report(info).find("shells"), std::string::npos);
}

}  // namespace
