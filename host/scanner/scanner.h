// The scanner: scans modules through a pool of scan servers and gives back
// one entry per module, whatever the plug-ins do. A crash, hang, dialog or
// exit costs only the module in flight: its server is ended and a fresh one
// takes the next module. A failure in a server that had served other modules
// first is tried once more in a fresh server, so that damage one plug-in
// leaves behind is never recorded against the next.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "host/scanner/result.h"
#include "host/server/scanserver.h"

namespace ScanHost {

struct CScanOptions {
    CServerOptions server;
    // Silence from a server that counts as a hang.
    std::chrono::milliseconds timeout{30000};
    // How long a new server may take to become ready.
    std::chrono::milliseconds startLimit{30000};
    // Servers side by side; 0 means one per processor.
    unsigned jobs = 0;
    // Modules one server scans before a fresh one replaces it; 0 means no limit.
    unsigned modulesPerServer = 200;
};

// Progress, called from the scanner's worker threads one call at a time.
struct CScanCallbacks {
    // A module's scan begins (index into the list given to Scan).
    std::function<void(size_t index, const std::string &path)> started;
    // A module's scan ended with this entry.
    std::function<void(size_t index, const CModuleEntry &entry)> finished;
};

class CScanner {
public:
    explicit CScanner(CScanOptions options);

    // Scans every module in the list (each entry's path, size and modified
    // are filled in; the rest is overwritten in place). Returns false with
    // the reason in *error when a server cannot be started, or true after
    // Cancel; modules not scanned by then keep an empty scanned time.
    bool Scan(std::vector<CModuleEntry> *modules, const CScanCallbacks &callbacks, std::string *error);

    // Asks a running Scan to stop soon: no further module is started; the
    // modules in flight finish. Safe from any thread.
    void Cancel() { m_cancelled = true; }

private:
    CScanOptions m_options;
    std::atomic<bool> m_cancelled{false};
};

// The stage named by the last line of a server's output that names one:
// "loading", "entry point", "shell enumeration", "close", "unloading"; empty
// when none does.
std::string StageOf(const std::vector<CServerLine> &lines);

// Whether an exit code is one no orderly end gives: the server's crash exit
// code, an NTSTATUS error code such as 0xC0000409, or the warning code of an
// exception such as a breakpoint (0x80000003).
bool IsCrashExitCode(uint32_t code);

}  // namespace ScanHost
