// Starting a child process with exactly the handles it is given and no
// others, in a job of its own, then waiting for it and ending it. The
// CChildProcess owns the process and the job: when it lets go of them (it is
// destroyed or started anew) the job ends the child and every process the
// child started, so a host that dies leaves no child behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/process/error.h"
#include "host/process/handle.h"

namespace ScanHost {

struct CChildLaunch {
    std::wstring program;    // the executable; a relative path is taken from the current folder
    std::wstring arguments;  // the command line after the program's own quoted path
    // The handles the child inherits, and the only ones: the caller's other
    // handles, inheritable or not, stay its own. They keep their values in
    // the child, so the arguments may name them.
    std::vector<void *> inherit;
    // The child's standard handles, inherited as well; a null one leaves the
    // child without it.
    void *standardInput = nullptr;
    void *standardOutput = nullptr;
    void *standardError = nullptr;
};

class CChildProcess {
public:
    CChildProcess() = default;
    CChildProcess(const CChildProcess &) = delete;
    CChildProcess &operator=(const CChildProcess &) = delete;

    // Starts the child. Returns false with the failed step in *error when
    // this object already holds a child or any step fails; nothing is left
    // running or open then, and Start may be tried again.
    bool Start(const CChildLaunch &launch, CError *error);

    // Waits at most timeout for the child to end; its exit code, or nothing
    // while it still runs (or none was started).
    std::optional<uint32_t> WaitExit(std::chrono::milliseconds timeout);
    // Ends the child and every process it started, with exitCode; returns
    // without waiting for them to be gone.
    void Terminate(uint32_t exitCode = 1);
    bool IsRunning() const;
    uint32_t ProcessId() const { return m_processId; }

private:
    CHandle m_job;
    CHandle m_process;
    uint32_t m_processId = 0;
};

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(const std::wstring &argument);
// A value in hexadecimal digits without prefix, as the scan server reads
// handle arguments: HexArgument(0x1A4) is "1a4".
std::wstring HexArgument(uintptr_t value, bool upperCase = false);

}  // namespace ScanHost
