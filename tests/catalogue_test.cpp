// The catalogue: the document's layout and keys, the strict reader, the plan
// of an incremental scan, and the file on disk (atomic replace, the lock held
// by another process, a bad catalogue moved aside, fingerprints).
#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "host/catalogue/catalogue.h"
#include "host/text/utf8.h"
#include "host/scanner/discovery.h"
#include "tests/fixtures/fixture_files.h"

namespace ScanHost {

bool operator==(const CFailure &a, const CFailure &b)
{
    return std::tie(a.stage, a.exitCode, a.dump) == std::tie(b.stage, b.exitCode, b.dump);
}

bool operator==(const CPluginEntry &a, const CPluginEntry &b)
{
    return std::tie(a.id, a.name, a.vendor, a.product, a.version, a.numInputs, a.numOutputs, a.wantsMidi,
                    a.sendsMidi, a.audio64, a.category, a.synthEdit, a.shellId, a.outcome, a.message, a.failure) ==
           std::tie(b.id, b.name, b.vendor, b.product, b.version, b.numInputs, b.numOutputs, b.wantsMidi,
                    b.sendsMidi, b.audio64, b.category, b.synthEdit, b.shellId, b.outcome, b.message, b.failure);
}

bool operator==(const CModuleEntry &a, const CModuleEntry &b)
{
    return std::tie(a.path, a.size, a.modified, a.scanned, a.outcome, a.message, a.failure, a.plugins) ==
           std::tie(b.path, b.size, b.modified, b.scanned, b.outcome, b.message, b.failure, b.plugins);
}

void PrintTo(const CModuleEntry &module, std::ostream *out)
{
    *out << CatalogueText({module});
}

}  // namespace ScanHost

using namespace ScanHost;
using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

namespace {

CFailure Failure(const char *stage, std::optional<uint32_t> exitCode, const char *dump)
{
    CFailure failure;
    failure.stage = stage;
    failure.exitCode = exitCode;
    failure.dump = dump;
    return failure;
}

CModuleEntry Module(const char *path, EOutcome outcome, const char *message, CFailure failure = {})
{
    CModuleEntry module;
    module.path = path;
    module.size = 123456;
    module.modified = "2026-12-11T14:27:50.1234567Z";
    module.scanned = "2026-12-11T14:28:03Z";
    module.outcome = outcome;
    module.message = message;
    module.failure = failure;
    return module;
}

// Every field with a value other than its default somewhere, every outcome,
// texts that need escapes, in no particular order.
std::vector<CModuleEntry> SampleModules()
{
    CModuleEntry plain = Module("C:\\Plug-ins\\Alder Delay.dll", EOutcome::Ok, "1 plug-in");
    CPluginEntry effect;
    effect.id = "416C6472";
    effect.name = "Alder Delay";
    effect.vendor = "Quarry Audio";
    effect.product = "Alder";
    effect.version = "2.1.0.5";
    effect.numInputs = 2;
    effect.numOutputs = 6;
    effect.wantsMidi = true;
    effect.sendsMidi = true;
    effect.audio64 = true;
    effect.category = 2;
    effect.synthEdit = true;
    plain.plugins.push_back(effect);

    CModuleEntry shell =
        Module("C:\\Plug-ins\\B\u00fcndel \"neu\"\\Quarry Bundle.dll", EOutcome::Ok, "3 plug-ins, 1 failed");
    shell.size = 5000000000ull;
    CPluginEntry first;
    first.id = "51420001";
    first.shellId = "51420001";
    first.name = "Bundle \u00c9t\u00e9";
    first.numInputs = INT32_MIN;
    first.numOutputs = INT32_MAX;
    CPluginEntry second;
    second.id = "51420002";
    second.shellId = "51420002";
    second.name = "Bundle Crash";
    second.outcome = EOutcome::Crash;
    second.message = "crashed\tin the entry point\n\"really\" \\ so";
    second.failure = Failure("entry point", 9, "C:\\Dumps\\RavoZazora-x86-1.dmp");
    CPluginEntry third;
    third.id = "5142000a";
    third.shellId = "5142000A";
    third.name = "Bundle Three";
    third.message = "a note without an outcome";
    shell.plugins = {first, second, third};

    return {
        Module("C:\\Plug-ins\\Hang.dll", EOutcome::Hang, "no answer for 30 s", Failure("loading", {}, "")),
        shell,
        Module("C:\\Plug-ins\\Crash.dll", EOutcome::Crash, "crashed", Failure("close", 0xC0000409u, "C:\\d.dmp")),
        Module("C:\\Plug-ins\\Dialog.dll", EOutcome::Dialog, "\"Licence\": Please register", Failure("entry point", {}, "")),
        Module("C:\\Plug-ins\\Exit.dll", EOutcome::Exit, "ended the server", Failure("shell enumeration", 0u, "")),
        plain,
        Module("C:\\Plug-ins\\Missing.dll", EOutcome::LoadError, "err=126: The specified module could not be found."),
        Module("C:\\Plug-ins\\Not.dll", EOutcome::NotAPlugin, "no entry point"),
        Module("C:\\Plug-ins\\Unloading.dll", EOutcome::Crash, "crashed", Failure("unloading", 9u, "")),
    };
}

std::vector<CModuleEntry> InPathOrder(std::vector<CModuleEntry> modules)
{
    std::sort(modules.begin(), modules.end(), [](const CModuleEntry &a, const CModuleEntry &b) {
        return PathLess(FromUtf8(a.path), FromUtf8(b.path));
    });
    return modules;
}

std::vector<std::string> Keys(const OrderedJson &object)
{
    std::vector<std::string> keys;
    for (auto item = object.begin(); item != object.end(); ++item)
        keys.push_back(item.key());
    return keys;
}

bool Exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

// ---------------------------------------------------------------- the document

TEST(CatalogueDocument, EveryFieldComesBackAsItWasWritten)
{
    std::vector<CModuleEntry> modules = SampleModules();
    std::string text = CatalogueText(modules);

    std::vector<CModuleEntry> read;
    std::string reason;
    ASSERT_EQ(ParseCatalogue(text, &read, &reason), ECatalogueRead::Read) << reason;
    EXPECT_EQ(read, InPathOrder(modules));
}

TEST(CatalogueDocument, IsIndentedJsonWithTheReportsKeyNames)
{
    std::string text = CatalogueText(SampleModules());
    OrderedJson document = OrderedJson::parse(text);
    EXPECT_EQ(text, document.dump(2) + "\n");

    EXPECT_EQ(Keys(document), (std::vector<std::string>{"format", "version", "modules"}));
    EXPECT_EQ(document["format"], "quenmoor-catalogue");
    EXPECT_EQ(document["version"], 1);
    std::vector<std::string> paths;
    for (const OrderedJson &module : document["modules"])
        paths.push_back(module["path"]);
    EXPECT_EQ(paths, (std::vector<std::string>{
                         "C:\\Plug-ins\\Alder Delay.dll", "C:\\Plug-ins\\B\u00fcndel \"neu\"\\Quarry Bundle.dll",
                         "C:\\Plug-ins\\Crash.dll", "C:\\Plug-ins\\Dialog.dll", "C:\\Plug-ins\\Exit.dll",
                         "C:\\Plug-ins\\Hang.dll", "C:\\Plug-ins\\Missing.dll", "C:\\Plug-ins\\Not.dll",
                         "C:\\Plug-ins\\Unloading.dll"}));

    const OrderedJson &plain = document["modules"][0];
    EXPECT_EQ(Keys(plain),
              (std::vector<std::string>{"path", "size", "modified", "scanned", "outcome", "message", "plugins"}));
    EXPECT_EQ(Keys(plain["plugins"][0]),
              (std::vector<std::string>{"id", "name", "vendor", "product", "version", "numInputs", "numOutputs",
                                        "wantsMidi", "sendsMidi", "audio64", "category", "synthEdit"}));
    const OrderedJson &shell = document["modules"][1];
    EXPECT_TRUE(shell["size"].is_number_unsigned());
    EXPECT_EQ(shell["size"], 5000000000ull);
    EXPECT_EQ(Keys(shell["plugins"][1]),
              (std::vector<std::string>{"id", "name", "vendor", "product", "version", "numInputs", "numOutputs",
                                        "wantsMidi", "sendsMidi", "audio64", "category", "synthEdit", "shellId",
                                        "outcome", "message", "stage", "exitCode", "dump"}));
    EXPECT_EQ(shell["plugins"][1]["outcome"], "crash");
    const OrderedJson &crash = document["modules"][2];
    EXPECT_EQ(Keys(crash), (std::vector<std::string>{"path", "size", "modified", "scanned", "outcome", "message",
                                                     "stage", "exitCode", "dump"}));
    EXPECT_EQ(crash["exitCode"], 0xC0000409u);
    EXPECT_EQ(document["modules"][7]["outcome"], "not-a-plugin");
}

TEST(CatalogueDocument, EmptyCatalogue)
{
    std::string text = CatalogueText({});
    EXPECT_EQ(text, "{\n  \"format\": \"quenmoor-catalogue\",\n  \"version\": 1,\n  \"modules\": []\n}\n");
    std::vector<CModuleEntry> read;
    std::string reason;
    EXPECT_EQ(ParseCatalogue(text, &read, &reason), ECatalogueRead::Read) << reason;
    EXPECT_TRUE(read.empty());
}

TEST(CatalogueDocument, KeysItDoesNotKnowAreIgnored)
{
    Json document = Json::parse(CatalogueText(SampleModules()));
    document["written by"] = "a later client";
    document["modules"][0]["colour"] = "green";
    document["modules"][1]["plugins"][0]["future"] = {1, 2, 3};

    std::vector<CModuleEntry> read;
    std::string reason;
    ASSERT_EQ(ParseCatalogue(document.dump(), &read, &reason), ECatalogueRead::Read) << reason;
    EXPECT_EQ(read, InPathOrder(SampleModules()));
}

TEST(CatalogueDocument, ReaderRejectsWhatIsNotACatalogueWithTheReason)
{
    const std::string good = CatalogueText(SampleModules());
    // modules[0] is the plain module, modules[1] the shell, modules[2] a crash.
    struct {
        const char *what;
        std::function<void(Json &)> change;  // applied to the good document
        const char *raw;                      // the whole text instead, when set
        ECatalogueRead result;
        const char *reason;  // a part of the reason
    } const cases[] = {
        {"empty file", nullptr, "", ECatalogueRead::Unreadable, "not JSON"},
        {"garbage", nullptr, "\x7f" "ELF\x01\x01", ECatalogueRead::Unreadable, "not JSON"},
        {"a list", nullptr, "[1, 2]", ECatalogueRead::Unreadable, "not a catalogue"},
        {"no format", [](Json &d) { d.erase("format"); }, nullptr, ECatalogueRead::Unreadable, "no \"format\""},
        {"another format", [](Json &d) { d["format"] = "other-catalogue"; }, nullptr, ECatalogueRead::Unreadable,
         "the format is \"other-catalogue\""},
        {"format a number", [](Json &d) { d["format"] = 1; }, nullptr, ECatalogueRead::Unreadable, "the format is 1"},
        {"newer version", [](Json &d) { d["version"] = 2; }, nullptr, ECatalogueRead::Newer, "version 2 is newer"},
        {"version 0", [](Json &d) { d["version"] = 0; }, nullptr, ECatalogueRead::Unreadable, "version: 0"},
        {"version a text", [](Json &d) { d["version"] = "1"; }, nullptr, ECatalogueRead::Unreadable,
         "version: expected a whole number, found string"},
        {"no version", [](Json &d) { d.erase("version"); }, nullptr, ECatalogueRead::Unreadable, "no \"version\""},
        {"no modules", [](Json &d) { d.erase("modules"); }, nullptr, ECatalogueRead::Unreadable, "no \"modules\""},
        {"modules an object", [](Json &d) { d["modules"] = Json::object(); }, nullptr, ECatalogueRead::Unreadable,
         "modules: expected a list, found object"},
        {"module a text", [](Json &d) { d["modules"][0] = "x"; }, nullptr, ECatalogueRead::Unreadable,
         "modules[0]: expected an object, found string"},
        {"no path", [](Json &d) { d["modules"][0].erase("path"); }, nullptr, ECatalogueRead::Unreadable,
         "modules[0]: no \"path\""},
        {"empty path", [](Json &d) { d["modules"][0]["path"] = ""; }, nullptr, ECatalogueRead::Unreadable,
         "modules[0].path: empty"},
        {"path a number", [](Json &d) { d["modules"][0]["path"] = 7; }, nullptr, ECatalogueRead::Unreadable,
         "modules[0].path: expected a text, found number"},
        {"negative size", [](Json &d) { d["modules"][0]["size"] = -1; }, nullptr, ECatalogueRead::Unreadable,
         "modules[0].size: -1 is out of range"},
        {"fractional size", [](Json &d) { d["modules"][0]["size"] = 1.5; }, nullptr, ECatalogueRead::Unreadable,
         "modules[0].size: expected a whole number"},
        {"size a text", [](Json &d) { d["modules"][0]["size"] = "12"; }, nullptr, ECatalogueRead::Unreadable,
         "modules[0].size: expected a whole number, found string"},
        {"no modified", [](Json &d) { d["modules"][0].erase("modified"); }, nullptr, ECatalogueRead::Unreadable,
         "modules[0]: no \"modified\""},
        {"scanned null", [](Json &d) { d["modules"][0]["scanned"] = nullptr; }, nullptr, ECatalogueRead::Unreadable,
         "modules[0].scanned: expected a text, found null"},
        {"unknown outcome", [](Json &d) { d["modules"][0]["outcome"] = "fine"; }, nullptr,
         ECatalogueRead::Unreadable, "modules[0].outcome: \"fine\" is not an outcome"},
        {"no message", [](Json &d) { d["modules"][0].erase("message"); }, nullptr, ECatalogueRead::Unreadable,
         "modules[0]: no \"message\""},
        {"stage a number", [](Json &d) { d["modules"][2]["stage"] = 3; }, nullptr, ECatalogueRead::Unreadable,
         "modules[2].stage: expected a text"},
        {"negative exit code", [](Json &d) { d["modules"][2]["exitCode"] = -1; }, nullptr,
         ECatalogueRead::Unreadable, "modules[2].exitCode: -1 is out of range"},
        {"exit code beyond 32 bits", [](Json &d) { d["modules"][2]["exitCode"] = 4294967296ull; }, nullptr,
         ECatalogueRead::Unreadable, "modules[2].exitCode: 4294967296 is out of range"},
        {"plugins an object", [](Json &d) { d["modules"][0]["plugins"] = Json::object(); }, nullptr,
         ECatalogueRead::Unreadable, "modules[0].plugins: expected a list"},
        {"short id", [](Json &d) { d["modules"][0]["plugins"][0]["id"] = "416C647"; }, nullptr,
         ECatalogueRead::Unreadable, "modules[0].plugins[0].id: \"416C647\" is not eight hexadecimal digits"},
        {"id a number", [](Json &d) { d["modules"][0]["plugins"][0]["id"] = 1097622642; }, nullptr,
         ECatalogueRead::Unreadable, "modules[0].plugins[0].id: expected a text"},
        {"no vendor", [](Json &d) { d["modules"][0]["plugins"][0].erase("vendor"); }, nullptr,
         ECatalogueRead::Unreadable, "modules[0].plugins[0]: no \"vendor\""},
        {"inputs beyond 32 bits", [](Json &d) { d["modules"][0]["plugins"][0]["numInputs"] = 2147483648ll; },
         nullptr, ECatalogueRead::Unreadable, "modules[0].plugins[0].numInputs: 2147483648 is out of range"},
        {"outputs below 32 bits", [](Json &d) { d["modules"][0]["plugins"][0]["numOutputs"] = -2147483649ll; },
         nullptr, ECatalogueRead::Unreadable, "modules[0].plugins[0].numOutputs: -2147483649 is out of range"},
        {"midi a number", [](Json &d) { d["modules"][0]["plugins"][0]["wantsMidi"] = 1; }, nullptr,
         ECatalogueRead::Unreadable, "modules[0].plugins[0].wantsMidi: expected true or false, found number"},
        {"category a text", [](Json &d) { d["modules"][0]["plugins"][0]["category"] = "2"; }, nullptr,
         ECatalogueRead::Unreadable, "modules[0].plugins[0].category: expected a whole number"},
        {"shell id not hexadecimal", [](Json &d) { d["modules"][1]["plugins"][0]["shellId"] = "5142000G"; },
         nullptr, ECatalogueRead::Unreadable, "modules[1].plugins[0].shellId: \"5142000G\""},
        {"plug-in outcome unknown", [](Json &d) { d["modules"][1]["plugins"][1]["outcome"] = "Crash"; }, nullptr,
         ECatalogueRead::Unreadable, "modules[1].plugins[1].outcome: \"Crash\" is not an outcome"},
        {"plug-in dump a list", [](Json &d) { d["modules"][1]["plugins"][1]["dump"] = Json::array(); }, nullptr,
         ECatalogueRead::Unreadable, "modules[1].plugins[1].dump: expected a text, found array"},
        {"one path twice", [](Json &d) { d["modules"][2]["path"] = "c:\\plug-ins\\ALDER DELAY.DLL"; }, nullptr,
         ECatalogueRead::Unreadable, "two entries for"},
    };
    for (const auto &c : cases) {
        std::string text;
        if (c.raw) {
            text = c.raw;
        } else {
            Json document = Json::parse(good);
            c.change(document);
            text = document.dump(2);
        }
        std::vector<CModuleEntry> read = {CModuleEntry()};
        std::string reason;
        EXPECT_EQ(ParseCatalogue(text, &read, &reason), c.result) << c.what;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.what << ": " << reason;
        EXPECT_TRUE(read.empty()) << c.what;
    }

    // Cut anywhere, the document is not JSON.
    for (size_t length : {good.size() / 3, good.size() / 2, good.size() - 2}) {
        std::vector<CModuleEntry> read;
        std::string reason;
        EXPECT_EQ(ParseCatalogue(good.substr(0, length), &read, &reason), ECatalogueRead::Unreadable) << length;
        EXPECT_NE(reason.find("not JSON"), std::string::npos) << reason;
    }
}

// ---------------------------------------------------------------- the plan

TEST(ScanPlan, KeepsUnchangedModulesAndScansTheRest)
{
    const char *const t1 = "2026-12-11T14:27:50.1234567Z";
    const char *const t2 = "2026-12-11T14:27:50.1234568Z";
    struct COld {
        const char *path;
        uint64_t size;
        const char *modified;
        EOutcome outcome;
        std::optional<EOutcome> pluginOutcome;
    };
    struct CFound {
        const char *path;
        uint64_t size;
        const char *modified;  // no fingerprint when null
    };
    using Paths = std::vector<std::string>;
    struct {
        const char *what;
        std::vector<COld> entries;
        std::vector<CFound> found;
        CPlanOptions options;
        Paths existing;  // files that exist besides those found
        Paths kept, scan, dropped;
    } const cases[] = {
        {"new modules are scanned, in path order", {}, {{"C:\\b.dll", 1, t1}, {"C:\\A.dll", 1, t1}}, {}, {}, {},
         {"C:\\A.dll", "C:\\b.dll"}, {}},
        {"unchanged modules are kept whatever their outcome",
         {{"C:\\a.dll", 1, t1, EOutcome::Ok, {}}, {"C:\\b.dll", 2, t1, EOutcome::Crash, {}},
          {"C:\\c.dll", 3, t1, EOutcome::Hang, {}}},
         {{"C:\\a.dll", 1, t1}, {"C:\\b.dll", 2, t1}, {"C:\\c.dll", 3, t1}}, {}, {},
         {"C:\\a.dll", "C:\\b.dll", "C:\\c.dll"}, {}, {}},
        {"a changed size or time is scanned",
         {{"C:\\a.dll", 1, t1, EOutcome::Ok, {}}, {"C:\\b.dll", 2, t1, EOutcome::Ok, {}}},
         {{"C:\\a.dll", 5, t1}, {"C:\\b.dll", 2, t2}}, {}, {}, {}, {"C:\\a.dll", "C:\\b.dll"}, {}},
        {"a module without a fingerprint is scanned", {{"C:\\a.dll", 1, t1, EOutcome::Ok, {}}},
         {{"C:\\a.dll", 1, nullptr}}, {}, {}, {}, {"C:\\a.dll"}, {}},
        {"rescan scans everything",
         {{"C:\\a.dll", 1, t1, EOutcome::Ok, {}}, {"C:\\b.dll", 2, t1, EOutcome::Crash, {}}},
         {{"C:\\a.dll", 1, t1}, {"C:\\b.dll", 2, t1}}, {true, false}, {}, {}, {"C:\\a.dll", "C:\\b.dll"}, {}},
        {"retry-failed scans unchanged failures, a failed plug-in of a shell too",
         {{"C:\\a.dll", 1, t1, EOutcome::Ok, {}},
          {"C:\\b.dll", 1, t1, EOutcome::Crash, {}},
          {"C:\\c.dll", 1, t1, EOutcome::NotAPlugin, {}},
          {"C:\\d.dll", 1, t1, EOutcome::LoadError, {}},
          {"C:\\e.dll", 1, t1, EOutcome::Ok, EOutcome::Hang},
          {"C:\\f.dll", 1, t1, EOutcome::Ok, EOutcome::NotAPlugin},
          {"C:\\g.dll", 1, t1, EOutcome::Dialog, {}},
          {"C:\\h.dll", 1, t1, EOutcome::Exit, {}}},
         {{"C:\\a.dll", 1, t1}, {"C:\\b.dll", 1, t1}, {"C:\\c.dll", 1, t1}, {"C:\\d.dll", 1, t1},
          {"C:\\e.dll", 1, t1}, {"C:\\f.dll", 1, t1}, {"C:\\g.dll", 1, t1}, {"C:\\h.dll", 1, t1}},
         {false, true}, {}, {"C:\\a.dll", "C:\\c.dll", "C:\\f.dll"},
         {"C:\\b.dll", "C:\\d.dll", "C:\\e.dll", "C:\\g.dll", "C:\\h.dll"}, {}},
        {"a path found in other letter case is the same module", {{"C:\\Plug-ins\\A.dll", 1, t1, EOutcome::Ok, {}}},
         {{"c:\\plug-ins\\a.DLL", 1, t1}}, {}, {}, {"C:\\Plug-ins\\A.dll"}, {}, {}},
        {"a path found twice is planned once", {}, {{"C:\\a.dll", 1, t1}, {"C:\\A.DLL", 1, t1}}, {}, {}, {},
         {"C:\\A.DLL"}, {}},
        {"entries this run did not find are dropped only when their file is gone",
         {{"C:\\a.dll", 1, t1, EOutcome::Ok, {}}, {"D:\\kept.dll", 1, t1, EOutcome::Ok, {}},
          {"C:\\gone.dll", 1, t1, EOutcome::Crash, {}}},
         {{"C:\\a.dll", 1, t1}}, {}, {"D:\\kept.dll"}, {"C:\\a.dll"}, {}, {"C:\\gone.dll"}},
    };
    for (const auto &c : cases) {
        std::vector<CModuleEntry> entries;
        for (const COld &old : c.entries) {
            CModuleEntry entry = Module(old.path, old.outcome, "");
            entry.size = old.size;
            entry.modified = old.modified;
            if (old.pluginOutcome) {
                CPluginEntry plugin;
                plugin.id = "00000001";
                plugin.outcome = old.pluginOutcome;
                entry.plugins.push_back(plugin);
            }
            entries.push_back(entry);
        }
        std::vector<CDiscoveredModule> found;
        for (const CFound &module : c.found) {
            CDiscoveredModule discovered{FromUtf8(module.path), std::nullopt};
            if (module.modified)
                discovered.fingerprint = CFingerprint{module.size, module.modified};
            found.push_back(discovered);
        }
        std::vector<std::string> asked;
        CScanPlan plan = PlanScan(entries, found, c.options, [&](const std::string &path) {
            asked.push_back(path);
            return std::find(c.existing.begin(), c.existing.end(), path) != c.existing.end();
        });

        Paths kept, scan;
        for (const CModuleEntry &entry : plan.kept)
            kept.push_back(entry.path);
        for (const CDiscoveredModule &module : plan.scan)
            scan.push_back(ToUtf8(module.path));
        EXPECT_EQ(kept, c.kept) << c.what;
        EXPECT_EQ(scan, c.scan) << c.what;
        EXPECT_EQ(plan.dropped, c.dropped) << c.what;
        // Only entries this run did not find are looked for on disk.
        for (const std::string &path : asked)
            EXPECT_TRUE(std::none_of(c.found.begin(), c.found.end(),
                                     [&](const CFound &module) { return PathsEqual(FromUtf8(module.path),
                                                                                   FromUtf8(path)); }))
                << c.what << ": " << path;
    }
}

TEST(ScanPlan, KeptEntriesAreWhole)
{
    CModuleEntry entry = SampleModules()[1];
    CScanPlan plan = PlanScan({entry}, {{FromUtf8(entry.path), CFingerprint{entry.size, entry.modified}}}, {},
                              [](const std::string &) { return true; });
    ASSERT_EQ(plan.kept.size(), 1u);
    EXPECT_EQ(plan.kept[0], entry);
}

TEST(ScanPlan, FileExistsSaysNotFoundOnlyForMissingFiles)
{
    FixtureFiles::CTempFolder temp;
    ASSERT_TRUE(FixtureFiles::WriteFileBytes(temp / L"here.dll", "x"));
    EXPECT_TRUE(FileExists(ToUtf8(temp / L"here.dll")));
    EXPECT_FALSE(FileExists(ToUtf8(temp / L"gone.dll")));
    EXPECT_FALSE(FileExists(ToUtf8(temp / L"no folder\\gone.dll")));
}

// ---------------------------------------------------------------- times and fingerprints

TEST(CatalogueTimes, FileTimesAreUtcWithTheirFraction)
{
    struct {
        uint64_t fileTime;
        const char *withFraction, *without;
    } const cases[] = {
        {0, "1601-01-01T00:00:00.0000000Z", "1601-01-01T00:00:00Z"},
        {134414728700000000ull + 1234567, "2026-12-11T14:27:50.1234567Z", "2026-12-11T14:27:50Z"},
        {125963423990000000ull + 9999999, "2000-02-29T23:59:59.9999999Z", "2000-02-29T23:59:59Z"},
        {116444736000000000ull + 1, "1970-01-01T00:00:00.0000001Z", "1970-01-01T00:00:00Z"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(FormatUtcTime(c.fileTime, true), c.withFraction);
        EXPECT_EQ(FormatUtcTime(c.fileTime, false), c.without);
    }
    std::string now = CurrentUtcTime();
    EXPECT_EQ(now.size(), 20u) << now;
    EXPECT_EQ(now.back(), 'Z') << now;
}

TEST(CatalogueTimes, FingerprintIsSizeAndLastWriteTimeEvenOfAFileHeldOpen)
{
    FixtureFiles::CTempFolder temp;
    const std::wstring path = temp / L"m\u00f6dule.dll";
    ASSERT_TRUE(FixtureFiles::WriteFileBytes(path, std::string(1234, 'x')));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    uint64_t when = 134414728700000000ull + 1234567;
    FILETIME time = {static_cast<DWORD>(when), static_cast<DWORD>(when >> 32)};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &time));

    // Held open with no sharing, the file's attributes can still be read.
    std::optional<CFingerprint> fingerprint = ReadFingerprint(path);
    CloseHandle(file);
    ASSERT_TRUE(fingerprint);
    EXPECT_EQ(fingerprint->size, 1234u);
    EXPECT_EQ(fingerprint->modified, "2026-12-11T14:27:50.1234567Z");
    EXPECT_FALSE(ReadFingerprint(temp / L"gone.dll"));
}

// ---------------------------------------------------------------- the file

namespace {

// A catalogue_helper process with its standard output on a pipe.
class CHelper {
public:
    ~CHelper()
    {
        if (m_process.hProcess) {
            TerminateProcess(m_process.hProcess, 1);
            WaitForSingleObject(m_process.hProcess, 10000);
            CloseHandle(m_process.hProcess);
            CloseHandle(m_process.hThread);
        }
        if (m_output)
            CloseHandle(m_output);
    }

    bool Start(const wchar_t *mode, const std::wstring &catalogue)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE write = nullptr;
        if (!CreatePipe(&m_output, &write, &inherit, 0))
            return false;
        SetHandleInformation(m_output, HANDLE_FLAG_INHERIT, 0);
        std::wstring program = FixtureFiles::WindowsPath(TEST_BIN_DIR "/catalogue_helper.exe");
        std::wstring commandLine = L"\"" + program + L"\" " + mode + L" \"" + catalogue + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write;
        startup.hStdError = write;
        bool started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &m_process);
        CloseHandle(write);
        return started;
    }

    // The next line the helper wrote; false when its output ended first.
    bool ReadLine(std::string *line)
    {
        line->clear();
        for (;;) {
            size_t feed = m_buffer.find('\n');
            if (feed != std::string::npos) {
                *line = m_buffer.substr(0, feed);
                m_buffer.erase(0, feed + 1);
                return true;
            }
            char chunk[4096];
            DWORD got = 0;
            if (!ReadFile(m_output, chunk, sizeof chunk, &got, nullptr) || got == 0)
                return false;
            m_buffer.append(chunk, got);
        }
    }

    // Ends the helper at once, as a user or the system might, and waits.
    void Kill()
    {
        TerminateProcess(m_process.hProcess, 1);
        WaitForSingleObject(m_process.hProcess, INFINITE);
    }

    DWORD ExitCode()
    {
        WaitForSingleObject(m_process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(m_process.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION m_process = {};
    HANDLE m_output = nullptr;
    std::string m_buffer;
};

class CatalogueFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(temp.path.empty()); }

    // The catalogue file's entries as a fresh reader sees them.
    std::vector<CModuleEntry> OnDisk(const std::wstring &path)
    {
        std::string bytes, reason;
        std::vector<CModuleEntry> modules;
        EXPECT_TRUE(FixtureFiles::ReadFileBytes(path, &bytes));
        EXPECT_EQ(ParseCatalogue(bytes, &modules, &reason), ECatalogueRead::Read) << reason;
        return modules;
    }

    FixtureFiles::CTempFolder temp;
    std::string warning, error;
};

}  // namespace

TEST_F(CatalogueFile, EveryUpdateIsInTheFileAndOpensAgain)
{
    const std::wstring path = temp / L"new folder\\inner\\catalogue.json";
    std::vector<CModuleEntry> modules = SampleModules();
    {
        CCatalogue catalogue;
        ASSERT_TRUE(catalogue.Open(path, &warning, &error)) << error;
        EXPECT_EQ(warning, "");
        EXPECT_EQ(catalogue.Path(), path);
        EXPECT_TRUE(catalogue.Modules().empty());
        for (size_t i = 0; i < modules.size(); ++i) {
            ASSERT_TRUE(catalogue.Update(modules[i], &error)) << error;
            std::vector<CModuleEntry> expected(modules.begin(), modules.begin() + i + 1);
            EXPECT_EQ(OnDisk(path), InPathOrder(expected)) << "after update " << i;
        }
        std::string bytes;
        ASSERT_TRUE(FixtureFiles::ReadFileBytes(path, &bytes));
        EXPECT_EQ(catalogue.Text(), bytes);
        EXPECT_EQ(bytes, CatalogueText(modules));

        // A path in other letter case replaces its entry.
        CModuleEntry again = modules[0];
        again.path = "c:\\plug-ins\\HANG.DLL";
        again.outcome = EOutcome::Ok;
        ASSERT_TRUE(catalogue.Update(again, &error)) << error;
        std::vector<CModuleEntry> expected = modules;
        expected[0] = again;
        EXPECT_EQ(OnDisk(path), InPathOrder(expected));
        EXPECT_EQ(catalogue.Modules(), InPathOrder(expected));

        ASSERT_TRUE(catalogue.Remove({"C:\\PLUG-INS\\crash.dll", "C:\\Plug-ins\\not there.dll"}, &error)) << error;
        expected.erase(expected.begin() + 2);
        EXPECT_EQ(OnDisk(path), InPathOrder(expected));
        modules = expected;
    }
    EXPECT_FALSE(Exists(path + L".lock"));
    EXPECT_FALSE(Exists(path + L".tmp"));

    CCatalogue reopened;
    ASSERT_TRUE(reopened.Open(path, &warning, &error)) << error;
    EXPECT_EQ(warning, "");
    EXPECT_EQ(reopened.Modules(), InPathOrder(modules));
}

TEST_F(CatalogueFile, AClientKilledAtAnyMomentLeavesAWholeCatalogueWithEveryFinishedEntry)
{
    const std::wstring path = temp / L"catalogue.json";
    std::mt19937 random(20261211);
    size_t finished = 0;
    for (int round = 0; round < 8; ++round) {
        CHelper writer;
        ASSERT_TRUE(writer.Start(L"write", path));
        size_t lines = std::uniform_int_distribution<size_t>(1, 40)(random);
        std::string line;
        for (size_t i = 0; i < lines; ++i) {
            ASSERT_TRUE(writer.ReadLine(&line)) << "round " << round;
            ASSERT_EQ(line, std::to_string(finished + 1)) << "round " << round;
            finished = std::stoul(line);
        }
        writer.Kill();
        // The writer went on while the lines above were read: take the rest
        // it reported before it died.
        while (writer.ReadLine(&line))
            finished = std::stoul(line);
        // The update after the last one reported may or may not be in; the
        // file is whole and holds every reported one.
        std::vector<CModuleEntry> modules = OnDisk(path);
        ASSERT_GE(modules.size(), finished) << "round " << round;
        ASSERT_LE(modules.size(), finished + 1) << "round " << round;
        finished = modules.size();
        EXPECT_FALSE(Exists(path + L".lock")) << "round " << round;
    }
}

TEST_F(CatalogueFile, ASecondClientIsRefusedAtOnceUntilTheFirstEndsHoweverItEnds)
{
    const std::wstring path = temp / L"catalogue.json";
    CHelper holder;
    ASSERT_TRUE(holder.Start(L"hold", path));
    std::string line;
    ASSERT_TRUE(holder.ReadLine(&line));
    ASSERT_EQ(line, "held");

    CCatalogue second;
    EXPECT_FALSE(second.Open(path, &warning, &error));
    EXPECT_EQ(error, "the catalogue \"" + ToUtf8(path) + "\" is in use by another scan (it holds \"" +
                         ToUtf8(path) + ".lock\")");

    holder.Kill();
    ASSERT_TRUE(second.Open(path, &warning, &error)) << error;

    // And the other way round: this client holds it, another process is refused.
    CHelper third;
    ASSERT_TRUE(third.Start(L"hold", path));
    ASSERT_TRUE(third.ReadLine(&line));
    EXPECT_NE(line.find("is in use by another scan"), std::string::npos) << line;
    EXPECT_EQ(third.ExitCode(), 1u);
}

TEST_F(CatalogueFile, ALockFileLeftBehindBlocksNothing)
{
    const std::wstring path = temp / L"catalogue.json";
    ASSERT_TRUE(FixtureFiles::WriteFileBytes(path + L".lock", "left by a machine that lost power"));
    CCatalogue catalogue;
    EXPECT_TRUE(catalogue.Open(path, &warning, &error)) << error;
    catalogue.Close();
    EXPECT_FALSE(Exists(path + L".lock"));
}

TEST_F(CatalogueFile, AnUnreadableCatalogueIsMovedAsideAndANewOneStarted)
{
    const std::wstring path = temp / L"catalogue.json";
    const std::string good = CatalogueText(SampleModules());
    struct {
        const char *what;
        std::string bytes;
    } const cases[] = {
        {"truncated", good.substr(0, good.size() - 40)},
        {"garbage", std::string("\0\x01\x02garbage", 10)},
        {"wrong format", "{\"format\": \"other\", \"version\": 1, \"modules\": []}"},
        {"empty", ""},
    };
    std::vector<std::wstring> asideNames;
    for (const auto &c : cases) {
        ASSERT_TRUE(FixtureFiles::WriteFileBytes(path, c.bytes));
        CCatalogue catalogue;
        ASSERT_TRUE(catalogue.Open(path, &warning, &error)) << c.what << ": " << error;
        EXPECT_TRUE(catalogue.Modules().empty()) << c.what;
        EXPECT_FALSE(Exists(path)) << c.what;

        std::vector<std::wstring> names = FixtureFiles::ListFiles(temp.path);
        std::wstring aside;
        for (const std::wstring &name : names)
            if (name.size() > 4 && name.compare(name.size() - 4, 4, L".bad") == 0 &&
                std::find(asideNames.begin(), asideNames.end(), name) == asideNames.end())
                aside = name;
        ASSERT_FALSE(aside.empty()) << c.what;
        asideNames.push_back(aside);
        // "catalogue.json.2026-12-11T14-27-50Z.bad", or with "-2" before ".bad"
        // when that name is taken.
        EXPECT_EQ(aside.compare(0, 15, L"catalogue.json."), 0) << ToUtf8(aside);
        EXPECT_EQ(aside[15 + 4], L'-') << ToUtf8(aside);
        EXPECT_EQ(aside[15 + 13], L'-') << ToUtf8(aside);
        EXPECT_EQ(aside[15 + 19], L'Z') << ToUtf8(aside);
        std::string kept;
        ASSERT_TRUE(FixtureFiles::ReadFileBytes(temp / aside, &kept));
        EXPECT_EQ(kept, c.bytes) << c.what;
        EXPECT_NE(warning.find("could not be read"), std::string::npos) << warning;
        EXPECT_NE(warning.find("moved to \"" + ToUtf8(temp / aside) + "\""), std::string::npos) << warning;

        ASSERT_TRUE(catalogue.Update(SampleModules()[0], &error)) << error;
        EXPECT_EQ(OnDisk(path).size(), 1u) << c.what;
    }
}

TEST_F(CatalogueFile, ANewerCatalogueIsRefusedAndLeftAlone)
{
    const std::wstring path = temp / L"catalogue.json";
    const std::string newer = "{\"format\": \"quenmoor-catalogue\", \"version\": 2, \"modules\": {}}";
    ASSERT_TRUE(FixtureFiles::WriteFileBytes(path, newer));
    CCatalogue catalogue;
    EXPECT_FALSE(catalogue.Open(path, &warning, &error));
    EXPECT_NE(error.find("was written by a newer client: catalogue version 2"), std::string::npos) << error;
    std::string bytes;
    ASSERT_TRUE(FixtureFiles::ReadFileBytes(path, &bytes));
    EXPECT_EQ(bytes, newer);
    EXPECT_EQ(FixtureFiles::ListFiles(temp.path), std::vector<std::wstring>{L"catalogue.json"});
}

TEST_F(CatalogueFile, APlaceThatCannotHoldACatalogueIsAnError)
{
    ASSERT_TRUE(FixtureFiles::WriteFileBytes(temp / L"a file", "x"));
    ASSERT_TRUE(CreateDirectoryW((temp / L"a folder").c_str(), nullptr));
    struct {
        std::wstring path;
        const char *error;
    } const cases[] = {
        {temp / L"a file\\catalogue.json", "cannot be created"},
        {temp / L"a file\\deeper\\catalogue.json", "cannot be created"},
        {temp / L"a folder", "cannot be read"},
    };
    for (const auto &c : cases) {
        CCatalogue catalogue;
        EXPECT_FALSE(catalogue.Open(c.path, &warning, &error)) << ToUtf8(c.path);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    EXPECT_FALSE(Exists(temp / L"a folder.lock"));
}
