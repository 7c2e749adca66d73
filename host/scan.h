// The host library's one job: the modules in the given files and folders
// scanned into a catalogue. Unchanged modules keep their entries; the others
// are scanned through a pool of servers, and the catalogue file is brought up
// to date after every module, so an interrupted run loses only the modules in
// flight. This is what a host application embeds; quenmoor-scan is a thin
// command line over it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "host/catalogue/catalogue.h"
#include "host/scanner/discovery.h"
#include "host/scanner/result.h"
#include "host/scanner/scanner.h"

namespace ScanHost {

struct CCatalogueScanOptions {
    std::vector<std::wstring> paths;  // files and folders, as the user named them
    std::wstring cataloguePath;
    CScanOptions scan;
    CPlanOptions plan;
};

// Progress, called from the library's threads one call at a time.
struct CCatalogueScanEvents {
    // Something the user should know that does not stop the scan (a
    // catalogue moved aside, a folder that cannot be read).
    std::function<void(const std::string &warning)> warning;
    // The plan: modules found, and how many of them are scanned.
    std::function<void(size_t found, size_t toScan)> planned;
    // A module's scan begins or ends; done counts the modules ended so far.
    std::function<void(size_t done, size_t toScan, const std::string &path)> started;
    std::function<void(size_t done, size_t toScan, const CModuleEntry &entry)> finished;
};

struct CCatalogueScanResult {
    // This run's modules, kept and scanned, in path order.
    std::vector<CModuleEntry> modules;
    std::vector<CDiscoveryProblem> problems;
    size_t scanned = 0;  // modules scanned in this run
    size_t kept = 0;     // unchanged modules whose entries were kept
    size_t dropped = 0;  // entries whose files are gone
    std::string catalogueText;  // the catalogue document as last written
};

// Why a catalogue scan could not run.
enum class EScanFailure {
    None,
    Catalogue,  // the catalogue cannot be opened, locked or written
    Server,     // no scan server can be started
};

// Runs the whole job. Returns None with *result filled, or the failure with
// the reason in *error; after a Server failure the catalogue still holds
// every module scanned before it.
EScanFailure ScanIntoCatalogue(const CCatalogueScanOptions &options, const CCatalogueScanEvents &events,
                               CCatalogueScanResult *result, std::string *error);

}  // namespace ScanHost
