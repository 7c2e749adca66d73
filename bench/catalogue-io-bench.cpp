// Measures the catalogue's share of a scan of 500 modules: the catalogue
// written through after every module (a first scan that adds each entry, a
// rescan that replaces each), against the document made from scratch each
// time; and the work of an unchanged second run outside the servers:
// discovery of 500 module files, their fingerprints, reading the catalogue
// and the plan. Prints the figures; it checks nothing.
//
//   catalogue-io-bench [MODULES]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/clock.h"
#include "host/catalogue/catalogue.h"
#include "host/text/utf8.h"
#include "host/scanner/discovery.h"
#include "tests/fixtures/fixture_files.h"

using namespace ScanHost;

namespace {

// A module as a scan records it: one plug-in, every twentieth a shell of ten.
CModuleEntry Entry(const std::wstring &path, size_t number)
{
    CModuleEntry entry;
    entry.path = ToUtf8(path);
    entry.modified = "2026-12-11T14:27:50.1234567Z";
    entry.scanned = CurrentUtcTime();
    size_t plugins = number % 20 == 0 ? 10 : 1;
    entry.message = std::to_string(plugins) + " plug-in" + (plugins == 1 ? "" : "s");
    for (size_t i = 0; i < plugins; ++i) {
        char id[16];
        snprintf(id, sizeof id, "%04X%04X", static_cast<unsigned>(number), static_cast<unsigned>(i));
        CPluginEntry plugin;
        plugin.id = id;
        if (plugins > 1)
            plugin.shellId = id;
        plugin.name = "Fixture Effect " + std::to_string(number);
        plugin.vendor = "Quarry Audio";
        plugin.product = "Fixture";
        plugin.version = "2.1.0.5";
        plugin.numInputs = 2;
        plugin.numOutputs = 2;
        plugin.category = 1;
        entry.plugins.push_back(plugin);
    }
    return entry;
}

struct CTimes {
    std::vector<double> seconds;

    double Total() const
    {
        double total = 0;
        for (double s : seconds)
            total += s;
        return total;
    }
    double Quantile(double q) const
    {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * sorted.size()))];
    }
    void Print(const char *what) const
    {
        printf("| %-44s | %8.1f | %7.2f | %7.2f | %7.2f |\n", what, Total() * 1000, Quantile(0.5) * 1000,
               Quantile(0.9) * 1000, Quantile(1.0) * 1000);
    }
};

bool Fail(const std::string &error)
{
    fprintf(stderr, "catalogue-io-bench: %s\n", error.c_str());
    return false;
}

bool Run(size_t count)
{
    FixtureFiles::CTempFolder temp;
    if (temp.path.empty())
        return Fail("no temporary folder");
    const std::wstring modules = temp / L"modules";
    CreateDirectoryW(modules.c_str(), nullptr);
    std::vector<CModuleEntry> entries;
    for (size_t i = 0; i < count; ++i) {
        std::wstring path = modules + L"\\module-" + std::to_wstring(i) + L".dll";
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return Fail("cannot create " + ToUtf8(path));
        CloseHandle(file);
        CModuleEntry entry = Entry(path, i);
        if (std::optional<CFingerprint> fingerprint = ReadFingerprint(path)) {
            entry.size = fingerprint->size;
            entry.modified = fingerprint->modified;
        }
        entries.push_back(entry);
    }
    const std::wstring path = temp / L"catalogue.json";
    std::string warning, error;

    printf("Writing the catalogue after every module, %u modules, ms:\n\n", static_cast<unsigned>(count));
    printf("| %-44s | %8s | %7s | %7s | %7s |\n", "", "total", "median", "90%", "max");
    printf("|%s|---------:|--------:|--------:|--------:|\n", std::string(46, '-').c_str());
    {
        CCatalogue catalogue;
        if (!catalogue.Open(path, &warning, &error))
            return Fail(error);
        CTimes first, again;
        for (const CModuleEntry &entry : entries) {
            double start = Now();
            if (!catalogue.Update(entry, &error))
                return Fail(error);
            first.seconds.push_back(Now() - start);
        }
        for (const CModuleEntry &entry : entries) {
            double start = Now();
            if (!catalogue.Update(entry, &error))
                return Fail(error);
            again.seconds.push_back(Now() - start);
        }
        first.Print("first scan: each update adds an entry");
        again.Print("rescan: each update replaces an entry");
        printf("\nThe document is %u bytes with every entry in.\n\n",
               static_cast<unsigned>(catalogue.Text().size()));
    }
    {
        // What each update would cost if it made the whole document anew.
        CTimes scratch;
        for (size_t i = 0; i < count; ++i) {
            double start = Now();
            std::string text = CatalogueText(entries);
            scratch.seconds.push_back(Now() - start);
        }
        printf("| %-44s | %8s | %7s | %7s | %7s |\n", "", "total", "median", "90%", "max");
        printf("|%s|---------:|--------:|--------:|--------:|\n", std::string(46, '-').c_str());
        scratch.Print("the whole document made from scratch");
    }

    printf("\nAn unchanged second run outside the servers, ms:\n\n");
    double start = Now();
    CDiscovery found = DiscoverModules({modules});
    double discovered = Now();
    std::vector<CDiscoveredModule> withFingerprints;
    for (const std::wstring &module : found.modules)
        withFingerprints.push_back({module, ReadFingerprint(module)});
    double fingerprinted = Now();
    CCatalogue catalogue;
    if (!catalogue.Open(path, &warning, &error))
        return Fail(error);
    double opened = Now();
    CScanPlan plan = PlanScan(catalogue.Modules(), withFingerprints, CPlanOptions(), FileExists);
    double planned = Now();
    printf("| discovery | fingerprints | reading the catalogue | plan | total |\n");
    printf("|----------:|-------------:|----------------------:|-----:|------:|\n");
    printf("| %9.1f | %12.1f | %21.1f | %4.1f | %5.1f |\n", (discovered - start) * 1000,
           (fingerprinted - discovered) * 1000, (opened - fingerprinted) * 1000, (planned - opened) * 1000,
           (planned - start) * 1000);
    printf("\n%u modules found, %u to scan.\n",
           static_cast<unsigned>(found.modules.size()), static_cast<unsigned>(plan.scan.size()));
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    size_t count = argc > 1 ? strtoul(argv[1], nullptr, 10) : 500;
    return Run(count) ? 0 : 1;
}
