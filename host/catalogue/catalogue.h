// The catalogue: one JSON file that holds a module entry for every module
// ever scanned, sorted by path, with the file's fingerprint (size and
// last-write time) so that an unchanged module is not scanned again. The file
// on disk is always a whole document: every write replaces it atomically, and
// one client at a time holds it through a lock file beside it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/scanner/result.h"

namespace ScanHost {

// The top level's "format" and the "version" this client reads and writes.
extern const char kCatalogueFormat[];  // "quenmoor-catalogue"
const int kCatalogueVersion = 1;

// A UTC time from a Windows file time (100 ns units since 1601):
// "2026-12-11T14:27:50.1234567Z" with the fraction, "2026-12-11T14:27:50Z"
// without.
std::string FormatUtcTime(uint64_t fileTime, bool fraction);
// The time now, without a fraction (for a module entry's "scanned").
std::string CurrentUtcTime();

// What tells a changed file from an unchanged one.
struct CFingerprint {
    uint64_t size = 0;
    std::string modified;  // last-write time with the fraction
};

// The fingerprint of the file at path, read from its attributes without
// opening it. Nothing when they cannot be read (the file does not exist, say).
std::optional<CFingerprint> ReadFingerprint(const std::wstring &path);

// The catalogue document of modules, indented for people to read, modules in
// path order.
std::string CatalogueText(const std::vector<CModuleEntry> &modules);

// How ParseCatalogue ended.
enum class ECatalogueRead {
    Read,        // *modules holds the entries in path order
    Unreadable,  // not a catalogue: not JSON, truncated, the wrong format or types
    Newer,       // a catalogue of a version this client does not know
};

// Reads a catalogue document. Strict about the types of the keys it knows and
// the outcome names; keys it does not know are ignored. On anything but Read,
// *reason says what is wrong and where, and *modules is left empty.
ECatalogueRead ParseCatalogue(std::string_view text, std::vector<CModuleEntry> *modules, std::string *reason);

// A module found by this run, with its fingerprint taken before the scan;
// no fingerprint when the file's attributes could not be read.
struct CDiscoveredModule {
    std::wstring path;
    std::optional<CFingerprint> fingerprint;
};

struct CPlanOptions {
    bool rescan = false;       // scan every module found, changed or not
    bool retryFailed = false;  // scan unchanged modules again when they failed
};

// What an incremental scan does with the modules it found and the entries it
// had.
struct CScanPlan {
    std::vector<CModuleEntry> kept;       // unchanged: their entries are this run's result
    std::vector<CDiscoveredModule> scan;  // new, changed or to be scanned again
    std::vector<std::string> dropped;     // entries whose file no longer exists
};

// Plans a scan: a found module whose entry has the same path (ignoring letter
// case), size and modified time is kept, whatever its outcome, unless
// options.rescan, or options.retryFailed and the module or one of its plug-ins
// failed; every other found module is scanned. Of the entries for files this
// run did not find, those exists() denies are dropped and the rest are left
// alone. kept and scan are in path order.
CScanPlan PlanScan(const std::vector<CModuleEntry> &entries, const std::vector<CDiscoveredModule> &found,
                   const CPlanOptions &options, const std::function<bool(const std::string &path)> &exists);
// Whether the file at path (UTF-8) exists; true when that cannot be known
// (the path does not say "not found"), so that a file on a drive that cannot
// be read just now keeps its entry.
bool FileExists(const std::string &path);

// An open catalogue: its entries in memory, the file kept up to date with
// them, and the lock that keeps every other client out until Close or the
// end of the process, however it ends. One thread uses a CCatalogue.
class CCatalogue {
public:
    CCatalogue();
    ~CCatalogue();  // as Close()
    CCatalogue(const CCatalogue &) = delete;
    CCatalogue &operator=(const CCatalogue &) = delete;

    // Opens the catalogue at path, creating its folder when there is none:
    // takes the lock "<path>.lock" and reads the file when it exists. A file
    // that is not a readable catalogue is moved aside to
    // "<path>.<UTC time>.bad" and the catalogue starts empty; *warning then
    // says so and where it went (otherwise it is left empty). Returns false
    // with the reason in *error, holding nothing, when another client has the
    // catalogue open, the folder cannot be created or written to, the file
    // cannot be read or moved aside, or it is of a newer version.
    bool Open(const std::wstring &path, std::string *warning, std::string *error);
    // Releases the lock; the file stays as last written.
    void Close();

    const std::wstring &Path() const { return m_path; }
    // The entries in path order.
    std::vector<CModuleEntry> Modules() const;
    // The document of the entries as they were read or last written.
    std::string Text() const;

    // Puts entry in place of the one with the same path (ignoring letter
    // case), or adds it, and writes the file. Returns false with the reason in
    // *error when the file cannot be written; the entry is kept in memory and
    // goes out with the next write.
    bool Update(const CModuleEntry &entry, std::string *error);
    // The same for several entries, with one write.
    bool Update(const std::vector<CModuleEntry> &entries, std::string *error);
    // Removes the entries with these paths (ignoring letter case) and writes
    // the file; false as for Update.
    bool Remove(const std::vector<std::string> &paths, std::string *error);
    // Writes the file with the entries as they are; false as for Update.
    bool Write(std::string *error);

private:
    struct CState;
    std::wstring m_path;
    std::unique_ptr<CState> m_state;
};

}  // namespace ScanHost
