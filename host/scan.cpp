// Paths in, catalogue out.
#include "host/scan.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/text/utf8.h"

namespace ScanHost {

namespace {

// Hands finished entries to the catalogue on a thread of its own, so that no
// server waits for the disk: entries that arrive while a write is under way go
// out together in the next one. An entry is in the file a write's time after
// its module finished.
class CCatalogueWriter {
public:
    explicit CCatalogueWriter(CCatalogue &catalogue) : m_catalogue(catalogue), m_thread([this] { Run(); }) {}
    ~CCatalogueWriter() { Finish(nullptr); }
    CCatalogueWriter(const CCatalogueWriter &) = delete;
    CCatalogueWriter &operator=(const CCatalogueWriter &) = delete;

    // Returns false once a write has failed; the entry is not taken then.
    bool Put(const CModuleEntry &entry)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_error.empty())
            return false;
        m_pending.push_back(entry);
        m_changed.notify_one();
        return true;
    }

    // Writes what is still pending and stops the thread. Returns false with
    // the reason in *error when a write failed.
    bool Finish(std::string *error)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finishing = true;
            m_changed.notify_one();
        }
        if (m_thread.joinable())
            m_thread.join();
        if (error && !m_error.empty())
            *error = m_error;
        return m_error.empty();
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_finishing || !m_pending.empty(); });
            if (m_pending.empty())
                return;
            std::vector<CModuleEntry> batch;
            batch.swap(m_pending);
            lock.unlock();
            std::string error;
            bool written = m_catalogue.Update(batch, &error);
            lock.lock();
            if (!written) {
                m_error = error;
                return;
            }
        }
    }

    CCatalogue &m_catalogue;
    std::mutex m_mutex;  // guards m_pending, m_finishing and m_error
    std::condition_variable m_changed;
    std::vector<CModuleEntry> m_pending;
    bool m_finishing = false;
    std::string m_error;
    std::thread m_thread;
};

}  // namespace

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

    // The server writes its dumps into a folder that must be there.
    CScanOptions scanOptions = options.scan;
    const std::wstring &dumps = scanOptions.server.dumpFolder;
    if (!dumps.empty()) {
        int made = SHCreateDirectoryExW(nullptr, dumps.c_str(), nullptr);
        if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS && made != ERROR_FILE_EXISTS) {
            warn("the dump folder " + ToUtf8(dumps) + " cannot be created (" + WindowsErrorText(made) +
                 "); crashes are scanned without dumps");
            scanOptions.server.dumpFolder.clear();
        }
    }

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
    CScanner scanner(scanOptions);
    CCatalogueWriter writer(catalogue);
    size_t done = 0;
    CScanCallbacks callbacks;
    callbacks.started = [&](size_t, const std::string &path) {
        if (events.started)
            events.started(done, modules.size(), path);
    };
    callbacks.finished = [&](size_t, const CModuleEntry &entry) {
        ++done;
        if (!writer.Put(entry))
            scanner.Cancel();
        if (events.finished)
            events.finished(done, modules.size(), entry);
    };
    std::string scanError;
    bool scannedAll = scanner.Scan(&modules, callbacks, &scanError);
    if (!writer.Finish(error))
        return EScanFailure::Catalogue;
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
