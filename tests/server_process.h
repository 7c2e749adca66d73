// The real server started as a host starts it, with pipes on both channels,
// for end-to-end tests. It inherits this test program's display: a test run
// without DISPLAY starts a server without one.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class ServerProcess {
public:
    enum Mode {
        kServing,  // the pipes' handles on the command line, as a host starts it
        kIdle,     // no arguments: the pipes become standard input and output
    };

    // Starts build/bin/RavoZazora-x86.exe; reference is its 3rd argument.
    // Failures are reported to the running test.
    ServerProcess(Mode mode, HWND reference);
    // Closes the request channel and ends the server if it hasn't ended.
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    DWORD pid() const { return pid_; }

    // Reads output until it ends with marker, the server ends or 20 seconds
    // pass; returns everything read.
    std::string ReadUntil(const std::string &marker);
    // Everything the server writes within the given time.
    std::string ReadFor(DWORD milliseconds);
    // Writes bytes to the request channel.
    void Send(const std::string &bytes);
    // Closes the request channel and waits for the server to end; its exit
    // code, or STILL_ACTIVE when it doesn't end within 20 seconds.
    DWORD Finish();
    // Ends the server from outside.
    void Kill();

    // The server's status windows, found by class and title.
    std::vector<HWND> StatusWindows() const;

private:
    // Reads what has arrived; false once the server has ended.
    bool ReadAvailable(std::string &text);

    HANDLE request_ = nullptr;
    HANDLE output_ = nullptr;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// The bytes the server's request handler writes for request, taken in this
// process through the same code the server runs.
std::string AnswerInProcess(const wchar_t *request);
