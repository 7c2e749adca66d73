// The host's side of the scan server: starts one server process with its two
// pipes, drains everything it writes on a reader thread, and exchanges request
// lines and responses with timeouts, so that a hung or crashed server never
// blocks the host. Every byte the server writes is kept, in order, until a
// read below takes it; nothing is lost when the server ends mid-line.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ScanHost {

using Milliseconds = std::chrono::milliseconds;

// Long enough for a server that starts under Wine on a loaded machine.
const Milliseconds kDefaultTimeout{30000};

// How to start the server.
struct CLaunch {
    std::wstring serverPath;
    // Host window that places the status window; none passes 0.
    HWND referenceWindow = nullptr;
    // Folder for crash dumps; the argument is left out when empty.
    std::wstring dumpFolder;
    // When set, the whole argument text after the program path, used instead
    // of the arguments above. "{in}" and "{out}" stand for the child's ends of
    // the request and reply pipes in lower-case hexadecimal, "{IN}" and "{OUT}"
    // in upper case.
    std::optional<std::wstring> rawArguments;
    // Gives the child the request pipe as standard input and the reply pipe as
    // standard output and error (for a server started without handle
    // arguments); otherwise the child has no standard handles.
    bool standardHandles = false;
};

// One line the server wrote: "level:text". A line with no known level
// ("error", "warn", "info", ">", "ready") has an empty level and the whole line
// as its text. The line feed is not part of the text.
struct CLine {
    std::string level;
    std::string text;
};

// Splits one line (without its line feed) into level and text.
CLine SplitLine(const std::string &line);

// How ReadLine ended.
enum class ERead {
    Line,     // a line was taken
    Closed,   // the output ended and every line has been taken
    Timeout,  // nothing more arrived in time
};

// How ReadUntilReady ended.
enum class EEnd {
    Ready,    // the server wrote "ready:"
    Closed,   // the server closed its end of the reply pipe (it ended)
    Timeout,  // nothing more arrived in time; the server is still running
};

// Everything the server wrote up to the next "ready:" line or the end.
struct CResponse {
    std::string raw;                  // the bytes, "ready:\n" not included
    std::vector<CLine> lines;         // raw split into lines
    std::vector<std::string> report;  // the texts of the ">" lines, in order
    EEnd end = EEnd::Timeout;
};

// UTF-16 to UTF-8 and back; invalid units become U+FFFD.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(const std::wstring &argument);

// One server process. Not copyable; one thread drives it, the reader thread
// only fills the buffer.
class CServerProcess {
public:
    CServerProcess() = default;
    CServerProcess(const CServerProcess &) = delete;
    CServerProcess &operator=(const CServerProcess &) = delete;
    // Closes the request pipe, gives the server a few seconds to end and
    // terminates it otherwise.
    ~CServerProcess();

    // Starts the server. Returns false with the reason in *error when the
    // pipes or the process cannot be created or it was already started. The
    // server ends with the host: it runs in a job that is killed when the
    // host's handle to it closes.
    bool Start(const CLaunch &launch, std::string *error);

    // Writes the request in UTF-8 with a line feed added, or the bytes as they
    // are. Returns false when the request pipe is closed or broken (the server
    // ended). Blocks while the pipe is full and the server is not reading.
    bool Send(std::string_view request);
    bool SendRaw(std::string_view bytes);

    // Takes the next line (without its line feed) into *line; "ready:" is a
    // line like any other here. A last line that the server ended without a
    // line feed is returned as a line too.
    ERead ReadLine(std::string *line, Milliseconds timeout = kDefaultTimeout);

    // Takes everything up to and including the next "ready:" line, or up to
    // the end of the output, waiting at most timeout in all.
    CResponse ReadUntilReady(Milliseconds timeout = kDefaultTimeout);

    // Closes the host's end of the request pipe: the server's next read fails
    // and it shuts down.
    void CloseInput();
    // Stops listening: closes the host's end of the reply pipe, so the
    // server's writes fail from then on. What was read before stays readable.
    void CloseOutput();

    // Waits for the process to end and returns its exit code, or nothing when
    // it is still running after timeout.
    std::optional<DWORD> WaitExit(Milliseconds timeout = kDefaultTimeout);
    // Ends the process at once (exit code 1) and waits for it.
    void Terminate();
    bool IsRunning() const;
    DWORD ProcessId() const { return m_processId; }

private:
    static DWORD WINAPI ReaderThread(void *self);
    void Drain();
    ERead TakeLine(std::string *line, bool *terminated, Milliseconds timeout);
    void StopReader();

    HANDLE m_process = nullptr;
    HANDLE m_job = nullptr;
    DWORD m_processId = 0;
    HANDLE m_input = nullptr;   // host's write end of the request pipe
    HANDLE m_output = nullptr;  // host's read end of the reply pipe; owned by the reader

    HANDLE m_reader = nullptr;  // the thread that drains m_output
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::string m_buffer;         // received, not yet taken
    bool m_closed = false;        // the reader saw the end of the output
    bool m_stopListening = false; // CloseOutput asked the reader to stop
};

}  // namespace ScanHost
