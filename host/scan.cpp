// Paths in, catalogue out.
#include "host/scan.h"

#include <algorithm>

#include "host/text/utf8.h"

namespace ScanHost {

EScanFailure ScanIntoCatalogue(const CCatalogueScanOptions &options, const CCatalogueScanEvents &events,
                               CCatalogueScanResult *result, std::string *error)
{
    auto warn = [&](const std::string &text) {
        if (events.warning)
            events.warning(text);
    };

    CCatalogue catalogue;
    std::string warning;
    if (!catalogue.Open(options.cataloguePath, &warning, error))
        return EScanFailure::Catalogue;
    if (!warning.empty())
        warn(warning);

    CDiscovery discovery = DiscoverModules(options.paths);
    result->problems = discovery.problems;
    for (const CDiscoveryProblem &problem : discovery.problems)
        warn(ToUtf8(problem.path) + ": " + problem.reason);

    std::vector<CDiscoveredModule> found;
    for (const std::wstring &path : discovery.modules)
        found.push_back({path, ReadFingerprint(path)});
    CScanPlan plan = PlanScan(catalogue.Modules(), found, options.plan, FileExists);
    result->kept = plan.kept.size();
    result->dropped = plan.dropped.size();
    if (!plan.dropped.empty() && !catalogue.Remove(plan.dropped, error))
        return EScanFailure::Catalogue;
    if (events.planned)
        events.planned(found.size(), plan.scan.size());

    std::vector<CModuleEntry> modules;
    for (const CDiscoveredModule &module : plan.scan) {
        CModuleEntry entry;
        entry.path = ToUtf8(module.path);
        if (module.fingerprint) {
            entry.size = module.fingerprint->size;
            entry.modified = module.fingerprint->modified;
        }
        modules.push_back(entry);
    }

    // Each finished module goes into the file at once; a write that fails
    // ends the scan, since nothing scanned after it could be kept.
    CScanner scanner(options.scan);
    size_t done = 0;
    std::string writeError;
    CScanCallbacks callbacks;
    callbacks.started = [&](size_t, const std::string &path) {
        if (events.started)
            events.started(done, modules.size(), path);
    };
    callbacks.finished = [&](size_t, const CModuleEntry &entry) {
        ++done;
        if (writeError.empty() && !catalogue.Update(entry, &writeError))
            scanner.Cancel();
        if (events.finished)
            events.finished(done, modules.size(), entry);
    };
    std::string scanError;
    bool scannedAll = scanner.Scan(&modules, callbacks, &scanError);
    if (!writeError.empty()) {
        *error = writeError;
        return EScanFailure::Catalogue;
    }
    if (!scannedAll) {
        *error = scanError;
        return EScanFailure::Server;
    }
    result->scanned = modules.size();

    result->modules = plan.kept;
    result->modules.insert(result->modules.end(), modules.begin(), modules.end());
    std::sort(result->modules.begin(), result->modules.end(), [](const CModuleEntry &a, const CModuleEntry &b) {
        return PathLess(FromUtf8(a.path), FromUtf8(b.path));
    });
    // Written once more at the end, so that a run with nothing to scan still
    // leaves a catalogue behind.
    if (!catalogue.Write(error))
        return EScanFailure::Catalogue;
    result->catalogueText = catalogue.Text();
    return EScanFailure::None;
}

}  // namespace ScanHost
