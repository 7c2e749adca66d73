// The host's report reader against report texts as the server writes them:
// every key, the escapes of text values, shells blocks, and malformed reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/report/report.h"
#include "host/server/scanserver.h"
#include "support/expected.h"

using namespace ScanHost;

namespace {

// The texts of the ">" lines of a report as it appears on the wire.
std::vector<std::string> ReportLines(const std::string &wire)
{
    std::vector<std::string> texts;
    size_t start = 0;
    while (start < wire.size()) {
        size_t feed = wire.find('\n', start);
        CServerLine line = SplitServerLine(wire.substr(start, feed - start));
        EXPECT_EQ(line.level, ">") << "not a report line: " << line.text;
        texts.push_back(line.text);
        start = feed == std::string::npos ? wire.size() : feed + 1;
    }
    return texts;
}

CReport Parse(const std::string &wire)
{
    CReport report;
    std::string error;
    EXPECT_TRUE(ParseReport(ReportLines(wire), &report, &error)) << error;
    return report;
}

// A scan that failed to load its module: every default.
const char kFailedLoad[] =
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
    ">:}\n";

// An instrument with every key set away from its default.
const char kInstrument[] =
    ">:{\n"
    ">:  \"id\":        \"FFFFFFFE\",\n"
    ">:  \"name\":      \"Caf\\u00e9 \\\"Q\\\" A\\/B\",\n"
    ">:  \"vendor\":    \"Back\\\\slash\\tTab\",\n"
    ">:  \"product\":   \"Product\",\n"
    ">:  \"version\":   \"1.2.3\",\n"
    ">:  \"error\":     \"\",\n"
    ">:  \"numInputs\": 2,\n"
    ">:  \"numOutputs\":16,\n"
    ">:  \"wantsMidi\":  true,\n"
    ">:  \"sendsMidi\": true,\n"
    ">:  \"platform\":  \"x86\",\n"
    ">:  \"audio64\":   true,\n"
    ">:  \"category\":  2,\n"
    ">:  \"synthEdit\": true,\n"
    ">:}\n";

// The report of a shell module; the shells block goes between "synthEdit" and
// the closing brace.
std::string ShellReport(const std::string &entries)
{
    std::string wire = kFailedLoad;
    wire.replace(wire.find("Failed to load library, err=126"), 31, "");
    wire.replace(wire.find("-1,"), 2, "10");
    wire.insert(wire.rfind(">:}"), ">:  \"shells\": {\n" + entries + ">:  },\n");
    return wire;
}

// kFailedLoad with the line holding key replaced by replacement (which may
// be several lines or none).
std::string WithLine(const std::string &key, const std::string &replacement)
{
    std::string wire = kFailedLoad;
    size_t at = key.empty() ? 0 : wire.find("\"" + key + "\":");
    at = wire.rfind('\n', at) == std::string::npos ? 0 : wire.rfind('\n', at) + 1;
    size_t end = wire.find('\n', at) + 1;
    wire.replace(at, end - at, replacement);
    return wire;
}

}  // namespace

TEST(ReportParse, FailedLoadGivesEveryDefault)
{
    CReport report = Parse(kFailedLoad);
    EXPECT_EQ(report.error, "Failed to load library, err=126");
    ExpectDefaultReport(report);
}

TEST(ReportParse, InstrumentGivesEveryKey)
{
    CReport report = Parse(kInstrument);
    EXPECT_EQ(report.idText, "FFFFFFFE");
    EXPECT_EQ(report.id, -2);
    EXPECT_EQ(report.name, "Caf\xc3\xa9 \"Q\" A/B");
    EXPECT_EQ(report.vendor, "Back\\slash\tTab");
    EXPECT_EQ(report.product, "Product");
    EXPECT_EQ(report.version, "1.2.3");
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.numInputs, 2);
    EXPECT_EQ(report.numOutputs, 16);
    EXPECT_TRUE(report.wantsMidi);
    EXPECT_TRUE(report.sendsMidi);
    EXPECT_EQ(report.platform, "x86");
    EXPECT_TRUE(report.audio64);
    EXPECT_EQ(report.category, 2);
    EXPECT_TRUE(report.synthEdit);
    EXPECT_FALSE(report.hasShells);
}

TEST(ReportParse, IdsKeepTheirTextAndReadAsThirtyTwoBits)
{
    const struct {
        const char *text;
        int32_t id;
    } cases[] = {
        {"00000000", 0},
        {"FFFFFFFF", -1},
        {"7FFFFFFF", 0x7FFFFFFF},
        {"80000000", INT32_MIN},
        {"1A2B3C4D", 0x1A2B3C4D},
        {"1a2b3c4d", 0x1A2B3C4D},
    };
    for (const auto &c : cases) {
        CReport report = Parse(WithLine("id", std::string(">:  \"id\": \"") + c.text + "\",\n"));
        EXPECT_EQ(report.idText, c.text);
        EXPECT_EQ(report.id, c.id) << c.text;
    }
}

TEST(ReportParse, IntegersCoverTheThirtyTwoBitRange)
{
    CReport report = Parse(WithLine("numInputs", ">:  \"numInputs\": -2147483648,\n"));
    EXPECT_EQ(report.numInputs, INT32_MIN);
    report = Parse(WithLine("numOutputs", ">:  \"numOutputs\":2147483647,\n"));
    EXPECT_EQ(report.numOutputs, INT32_MAX);
    report = Parse(WithLine("category", ">:  \"category\":  0,\n"));
    EXPECT_EQ(report.category, 0);
}

TEST(ReportParse, EscapesDecodeToUtf8)
{
    const struct {
        const char *escaped;
        std::string decoded;
    } cases[] = {
        {"\\u00e9", "\xc3\xa9"},
        {"\\u00E9", "\xc3\xa9"},
        {"\\/", "/"},
        {"\\\"", "\""},
        {"\\\\", "\\"},
        {"\\t", "\t"},
        {"\\b\\f\\n\\r", "\b\f\n\r"},
        {"\\u0014", "\x14"},
        {"\\u007f", "\x7f"},
        {"\\u0000", std::string(1, '\0')},
        {"\\u20ac", "\xe2\x82\xac"},
        {"\\ud83c\\udfb9", "\xf0\x9f\x8e\xb9"},  // U+1F3B9, a pair made one
        {"\\ud800", "\xef\xbf\xbd"},             // a high surrogate alone
        {"\\udc00x", "\xef\xbf\xbdx"},           // a low surrogate alone
        {"\\ud800\\u0041", "\xef\xbf\xbd" "A"},  // a high one before no low one
        {"\\ud800\\ud83c\\udfb9", "\xef\xbf\xbd\xf0\x9f\x8e\xb9"},
        {"\\ud800\\ue000", "\xef\xbf\xbd\xee\x80\x80"},  // nor before one above them
        {"C:\\\\Plug-ins\\\\x.dll", "C:\\Plug-ins\\x.dll"},
        {"raw \xc3\xa9 byte", "raw \xc3\xa9 byte"},
    };
    for (const auto &c : cases) {
        CReport report =
            Parse(WithLine("name", std::string(">:  \"name\": \"") + c.escaped + "\",\n"));
        EXPECT_EQ(report.name, c.decoded) << c.escaped;
    }
}

TEST(ReportParse, ShellsBlockListsEntriesInOrder)
{
    CReport report = Parse(ShellReport(">:        \"1A2B3C4D\": \"First \\u00e9\",\n"
                                       ">:        \"FFFFFFFF\": \"Second\",\n"
                                       ">:        \"00000001\": \"\",\n"));
    EXPECT_EQ(report.category, 10);
    EXPECT_TRUE(report.hasShells);
    ASSERT_EQ(report.shells.size(), 3u);
    EXPECT_EQ(report.shells[0].idText, "1A2B3C4D");
    EXPECT_EQ(report.shells[0].id, 0x1A2B3C4D);
    EXPECT_EQ(report.shells[0].name, "First \xc3\xa9");
    EXPECT_EQ(report.shells[1].idText, "FFFFFFFF");
    EXPECT_EQ(report.shells[1].id, -1);
    EXPECT_EQ(report.shells[1].name, "Second");
    EXPECT_EQ(report.shells[2].id, 1);
    EXPECT_EQ(report.shells[2].name, "");
}

TEST(ReportParse, EmptyShellsBlockIsStillPresent)
{
    CReport report = Parse(ShellReport(""));
    EXPECT_TRUE(report.hasShells);
    EXPECT_TRUE(report.shells.empty());
}

TEST(ReportParse, LastMemberMayGoWithoutItsComma)
{
    CReport report = Parse(WithLine("synthEdit", ">:  \"synthEdit\": true\n"));
    EXPECT_TRUE(report.synthEdit);
    report = Parse(ShellReport(">:        \"00000002\": \"Only\"\n"));
    ASSERT_EQ(report.shells.size(), 1u);
    EXPECT_EQ(report.shells[0].name, "Only");
}

TEST(ReportParse, MalformedReportsAreRejectedWithTheReason)
{
    const struct {
        const char *what;
        std::string wire;
        const char *reason;  // part of the error text
    } cases[] = {
        {"no opening brace", WithLine("", ""), "expected '{' opening the report"},
        {"no closing brace", std::string(kFailedLoad, sizeof kFailedLoad - 5),
         "expected a key or '}'"},
        {"text after the report", std::string(kFailedLoad) + ">:{\n", "text after"},
        {"a key missing", WithLine("vendor", ""), "no \"vendor\" key"},
        {"the shells of a report without others", ">:{\n>:  \"shells\": {},\n>:}\n",
         "no \"id\" key"},
        {"a key twice", WithLine("name", ">:  \"name\": \"a\",\n>:  \"name\": \"b\",\n"),
         "appears twice"},
        {"an unknown key", WithLine("name", ">:  \"name\": \"\",\n>:  \"colour\": \"red\",\n"),
         "unknown key \"colour\""},
        {"a key without quotation marks", WithLine("name", ">:  name: \"\",\n"),
         "expected a key"},
        {"no comma between members", WithLine("name", ">:  \"name\": \"\"\n"),
         "expected ',' or '}'"},
        {"two commas", WithLine("name", ">:  \"name\": \"\",,\n"), "expected a key"},
        {"no colon", WithLine("name", ">:  \"name\" \"\",\n"), "expected ':'"},
        {"an empty member", WithLine("name", ">:  ,\n"), "expected a key"},
        {"an id too short", WithLine("id", ">:  \"id\": \"1234\",\n"), "eight hexadecimal"},
        {"an id too long", WithLine("id", ">:  \"id\": \"000000001\",\n"), "eight hexadecimal"},
        {"an id with a letter beyond f", WithLine("id", ">:  \"id\": \"0000000G\",\n"),
         "eight hexadecimal"},
        {"an id as a number", WithLine("id", ">:  \"id\": 12345678,\n"), "an id in quotation"},
        {"a text without its end", WithLine("name", ">:  \"name\": \"abc,\n"),
         "runs past the end of its line"},
        {"a backslash ending a line", WithLine("name", ">:  \"name\": \"abc\\\n"),
         "unknown escape"},
        {"a tab byte inside a text", WithLine("name", ">:  \"name\": \"a\tb\",\n"),
         "control character"},
        {"an unknown escape", WithLine("name", ">:  \"name\": \"a\\xb\",\n"), "unknown escape"},
        {"a short \\u escape", WithLine("name", ">:  \"name\": \"\\u12\",\n"),
         "four hexadecimal"},
        {"a \\u escape with a letter beyond f", WithLine("name", ">:  \"name\": \"\\u12g4\",\n"),
         "four hexadecimal"},
        {"a bad escape after a high surrogate",
         WithLine("name", ">:  \"name\": \"\\ud800\\u12\",\n"), "four hexadecimal"},
        {"a text as a number", WithLine("numInputs", ">:  \"numInputs\": \"2\",\n"),
         "expected an integer"},
        {"a fraction", WithLine("numInputs", ">:  \"numInputs\": 1.5,\n"), "not a fraction"},
        {"a leading zero", WithLine("numInputs", ">:  \"numInputs\": 01,\n"), "leading zero"},
        {"a plus sign", WithLine("numInputs", ">:  \"numInputs\": +1,\n"), "expected an integer"},
        {"a minus alone", WithLine("numInputs", ">:  \"numInputs\": -,\n"), "expected an integer"},
        {"an integer above 32 bits",
         WithLine("numOutputs", ">:  \"numOutputs\":2147483648,\n"), "32-bit range"},
        {"an integer below 32 bits", WithLine("category", ">:  \"category\": -2147483649,\n"),
         "32-bit range"},
        {"a very long integer", WithLine("category", ">:  \"category\": 99999999999999999999,\n"),
         "32-bit range"},
        {"a boolean in capitals", WithLine("wantsMidi", ">:  \"wantsMidi\": True,\n"),
         "true or false"},
        {"a boolean as a number", WithLine("audio64", ">:  \"audio64\": 1,\n"), "true or false"},
        {"a boolean in quotation marks", WithLine("synthEdit", ">:  \"synthEdit\": \"false\",\n"),
         "true or false"},
        {"shells as a number", WithLine("synthEdit", ">:  \"synthEdit\": false,\n>:  \"shells\": 3,\n"),
         "'{' opening the shells"},
        {"a shell id not of eight digits", ShellReport(">:        \"1A2B\": \"x\",\n"),
         "eight hexadecimal"},
        {"a shell name as a number", ShellReport(">:        \"1A2B3C4D\": 5,\n"),
         "the shell's name"},
        {"a shell without its name", ShellReport(">:        \"1A2B3C4D\",\n"), "expected ':'"},
        {"shells without a closing brace",
         WithLine("synthEdit", ">:  \"synthEdit\": false,\n>:  \"shells\": {\n"),
         "expected ',' or '}'"},
    };
    for (const auto &c : cases) {
        CReport report;
        report.name = "untouched";
        std::string error;
        EXPECT_FALSE(ParseReport(ReportLines(c.wire), &report, &error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos)
            << c.what << ": the error is \"" << error << "\"";
        EXPECT_NE(error.find("report line "), std::string::npos) << c.what;
        EXPECT_EQ(report.name, "untouched") << c.what << ": a rejected report changed the record";
    }
}

TEST(ReportParse, NoLinesOrALineFeedInsideALineAreRejected)
{
    CReport report;
    std::string error;
    EXPECT_FALSE(ParseReport({}, &report, &error));
    EXPECT_NE(error.find("expected '{'"), std::string::npos) << error;

    std::vector<std::string> lines = ReportLines(kFailedLoad);
    lines[2] = "  \"name\": \"a\nb\",";
    error.clear();
    EXPECT_FALSE(ParseReport(lines, &report, &error));
    EXPECT_NE(error.find("line feed"), std::string::npos) << error;
}

TEST(ReportParse, ErrorNamesTheLineAndColumn)
{
    CReport report;
    std::string error;
    EXPECT_FALSE(ParseReport(ReportLines(WithLine("numInputs", ">:  \"numInputs\": x,\n")),
                             &report, &error));
    EXPECT_EQ(error, "report line 8, column 16: expected an integer");
}
