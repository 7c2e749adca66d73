// The server's report writer against the host's report parser: what
// ReportPluginInfo writes for each field, and for shells, parses back to the
// same values in the same field, so that neither side's format can change
// without the other noticing.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/report/report.h"
#include "host/server/scanserver.h"
#include "report/plugininfo.h"
#include "support/capture.h"

using ScanHost::CReport;

namespace {

// The record's report as the host reads it: the texts of its ">" lines.
CReport WriteAndParse(const CPluginInfo &info)
{
    COutputCapture capture;
    ReportPluginInfo(info);
    std::string text = capture.Text();
    std::vector<std::string> report;
    size_t start = 0;
    while (start < text.size()) {
        size_t feed = text.find('\n', start);
        ScanHost::CServerLine line = ScanHost::SplitServerLine(text.substr(start, feed - start));
        EXPECT_EQ(line.level, ">");
        report.push_back(line.text);
        start = feed == std::string::npos ? text.size() : feed + 1;
    }
    CReport parsed;
    std::string error;
    EXPECT_TRUE(ScanHost::ParseReport(report, &parsed, &error)) << error << "\n" << text;
    return parsed;
}

void ExpectSame(const CReport &actual, const CReport &expected)
{
    EXPECT_EQ(actual.idText, expected.idText);
    EXPECT_EQ(actual.id, expected.id);
    EXPECT_EQ(actual.name, expected.name);
    EXPECT_EQ(actual.vendor, expected.vendor);
    EXPECT_EQ(actual.product, expected.product);
    EXPECT_EQ(actual.version, expected.version);
    EXPECT_EQ(actual.error, expected.error);
    EXPECT_EQ(actual.numInputs, expected.numInputs);
    EXPECT_EQ(actual.numOutputs, expected.numOutputs);
    EXPECT_EQ(actual.wantsMidi, expected.wantsMidi);
    EXPECT_EQ(actual.sendsMidi, expected.sendsMidi);
    EXPECT_EQ(actual.platform, expected.platform);
    EXPECT_EQ(actual.audio64, expected.audio64);
    EXPECT_EQ(actual.category, expected.category);
    EXPECT_EQ(actual.synthEdit, expected.synthEdit);
    EXPECT_EQ(actual.hasShells, expected.hasShells);
    ASSERT_EQ(actual.shells.size(), expected.shells.size());
    for (size_t i = 0; i < expected.shells.size(); ++i) {
        EXPECT_EQ(actual.shells[i].idText, expected.shells[i].idText) << "shell " << i;
        EXPECT_EQ(actual.shells[i].id, expected.shells[i].id) << "shell " << i;
        EXPECT_EQ(actual.shells[i].name, expected.shells[i].name) << "shell " << i;
    }
}

// The report of a fresh record, as the parser gives it.
CReport Defaults()
{
    CReport report;
    report.idText = "00000000";
    report.category = -1;
    report.platform = "x86";
    return report;
}

void AddShell(CPluginInfo &info, int id, const wchar_t *name)
{
    CShellInfo *shell = new CShellInfo;
    shell->id = id;
    shell->name = name;
    ASSERT_TRUE(info.shells.Add(shell));
}

// One field changed from a fresh record: the same change, and only that,
// comes back.
struct SFieldCase {
    const char *field;
    std::function<void(CPluginInfo &)> set;
    std::function<void(CReport &)> expect;
};

TEST(ReportRoundTrip, EachFieldComesBackInItsOwnField)
{
    const SFieldCase cases[] = {
        {"id", [](CPluginInfo &i) { i.id = static_cast<int>(0x8000ABCDu); },
         [](CReport &r) { r.idText = "8000ABCD"; r.id = static_cast<int32_t>(0x8000ABCDu); }},
        {"name, escapes", [](CPluginInfo &i) { i.name = L"say \"hi\" \\ a/b \t\n\r\b\f"; },
         [](CReport &r) { r.name = "say \"hi\" \\ a/b \t\n\r\b\f"; }},
        {"name, lone surrogate", [](CPluginInfo &i) { i.name = L"x\xD800y"; },
         [](CReport &r) { r.name = "x\xEF\xBF\xBDy"; }},
        {"vendor", [](CPluginInfo &i) { i.vendor = L"Vend\u00F8r \u20AC"; },
         [](CReport &r) { r.vendor = "Vend\xC3\xB8r \xE2\x82\xAC"; }},
        {"product", [](CPluginInfo &i) { i.product = L"\U0001F3B9 Keys"; },
         [](CReport &r) { r.product = "\xF0\x9F\x8E\xB9 Keys"; }},
        {"version", [](CPluginInfo &i) { i.version = L"1.2.3"; }, [](CReport &r) { r.version = "1.2.3"; }},
        {"error", [](CPluginInfo &i) { i.error = L"Failed to load library, err=126"; },
         [](CReport &r) { r.error = "Failed to load library, err=126"; }},
        {"numInputs", [](CPluginInfo &i) { i.numInputs = 2147483647; },
         [](CReport &r) { r.numInputs = 2147483647; }},
        {"numOutputs", [](CPluginInfo &i) { i.numOutputs = -2147483647 - 1; },
         [](CReport &r) { r.numOutputs = -2147483647 - 1; }},
        {"wantsMidi", [](CPluginInfo &i) { i.wantsMidi = true; }, [](CReport &r) { r.wantsMidi = true; }},
        {"sendsMidi", [](CPluginInfo &i) { i.sendsMidi = true; }, [](CReport &r) { r.sendsMidi = true; }},
        {"audio64", [](CPluginInfo &i) { i.audio64 = true; }, [](CReport &r) { r.audio64 = true; }},
        {"category", [](CPluginInfo &i) { i.category = 11; }, [](CReport &r) { r.category = 11; }},
        {"synthEdit", [](CPluginInfo &i) { i.synthEdit = true; }, [](CReport &r) { r.synthEdit = true; }},
    };
    for (const SFieldCase &c : cases) {
        SCOPED_TRACE(c.field);
        CPluginInfo info;
        c.set(info);
        CReport expected = Defaults();
        c.expect(expected);
        ExpectSame(WriteAndParse(info), expected);
    }
}

TEST(ReportRoundTrip, ShellsComeBackInOrder)
{
    CPluginInfo info;
    info.category = kCategoryShell;
    AddShell(info, 0x1A2B3C4D, L"First \"One\"");
    AddShell(info, -1, L"Caf\u00E9 \\ Two");
    AddShell(info, 0, L"");
    CReport expected = Defaults();
    expected.category = kCategoryShell;
    expected.hasShells = true;
    expected.shells = {{"1A2B3C4D", 0x1A2B3C4D, "First \"One\""},
                       {"FFFFFFFF", -1, "Caf\xC3\xA9 \\ Two"},
                       {"00000000", 0, ""}};
    ExpectSame(WriteAndParse(info), expected);
}

TEST(ReportRoundTrip, AShellWithoutPluginsHasAnEmptyList)
{
    CPluginInfo info;
    info.category = kCategoryShell;
    CReport expected = Defaults();
    expected.category = kCategoryShell;
    expected.hasShells = true;
    ExpectSame(WriteAndParse(info), expected);
}

}  // namespace
