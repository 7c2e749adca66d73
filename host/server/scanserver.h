// One running scan server as the scanner sees it: started with its pipes, fed
// one request at a time, its answer read up to the next "ready:" with a
// deadline on silence, and ended without ever blocking the caller for long.
// One thread drives a CScanServer; the object owns the process and its pipes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/process/error.h"

namespace ScanHost {

// How to start a server.
struct CServerOptions {
    std::wstring serverPath;
    // Folder for crash dumps; none when empty.
    std::wstring dumpFolder;
    // Host window the status window is placed by (an HWND's value); 0 for none.
    uintptr_t referenceWindow = 0;
};

// One line the server wrote, split at its first colon when the part before
// it is a known level ("error", "warn", "info", ">", "ready"); otherwise the
// level is empty and the text is the whole line. No line feed.
struct CServerLine {
    std::string level;
    std::string text;
};

// Splits one line (without its line feed) as above.
CServerLine SplitServerLine(std::string_view line);

// How an exchange ended.
enum class EExchangeEnd {
    Ready,   // the server wrote "ready:" and waits for the next request
    Closed,  // the server's output ended: the process is ending or has ended
    Silent,  // the server wrote nothing for the silence limit; it still runs
};

// What one request brought back.
struct CExchange {
    std::vector<CServerLine> lines;   // every line up to the end, "ready:" not included
    std::vector<std::string> report;  // the texts of the ">" lines, in order
    EExchangeEnd end = EExchangeEnd::Silent;
};

class CScanServer {
public:
    CScanServer();
    ~CScanServer();  // as Stop()
    CScanServer(const CScanServer &) = delete;
    CScanServer &operator=(const CScanServer &) = delete;

    // Starts the server and reads its banner up to the first "ready:",
    // waiting at most startLimit. Returns false with the reason in *error
    // when it cannot be started or does not become ready; nothing is left
    // running then.
    bool Start(const CServerOptions &options, std::chrono::milliseconds startLimit, std::string *error);
    // The same with the failed step and its Windows error code: ERROR_TIMEOUT
    // when the server did not become ready in time, ERROR_BROKEN_PIPE when it
    // ended before that.
    bool Start(const CServerOptions &options, std::chrono::milliseconds startLimit, CError *error);
    // The lines the server wrote before its first "ready:" (its banner).
    const std::vector<CServerLine> &Banner() const;

    // Sends one request (UTF-8, without its line feed) and reads the answer.
    // silence is the longest wait for the next line, and for the server to
    // take the request.
    CExchange Request(std::string_view request, std::chrono::milliseconds silence);
    // Goes on reading the answer of an exchange that ended Silent, into it.
    void ReadOn(CExchange *exchange, std::chrono::milliseconds silence);
    // Writes bytes as they are, no line feed added, for a host that frames its
    // requests itself; read the answer with ReadOn. Returns false when the
    // server has ended or does not take them within limit.
    bool Write(std::string_view bytes, std::chrono::milliseconds limit);

    // Closes the request pipe, so that the server ends in order, and reads
    // every line it writes until its output ends (Closed) or it is silent for
    // silence (Silent). Then WaitExit gives the exit code.
    CExchange CloseRequests(std::chrono::milliseconds silence);

    // After an exchange ended Closed: waits at most limit for the process to
    // end and gives its exit code; nothing when it still runs.
    std::optional<uint32_t> WaitExit(std::chrono::milliseconds limit);

    // Ends the process at once (and every process it started); returns
    // without waiting for it to be gone.
    void Terminate();
    // Asks the server to end (closes its request pipe) and returns at once;
    // a server that does not end by itself within kStopGrace is ended in the
    // background. Start may be called again right away.
    void Stop();
    static constexpr std::chrono::milliseconds kStopGrace{2000};

    bool IsRunning() const;
    uint32_t ProcessId() const;

private:
    struct CState;
    std::unique_ptr<CState> m_state;
};

}  // namespace ScanHost
