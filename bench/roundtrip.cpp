// Measures the round trip of one request through the scan server (the request
// written, every line of its answer read up to the next "ready:") against the
// same exchange with a process that only echoes the line back over the same
// kind of pipes: once, and as many times as the server answers with lines,
// since every line is flushed on its own. Prints the figures; it checks
// nothing.
//
//   roundtrip [REQUESTS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/clock.h"
#include "tests/support/piped_child.h"

using namespace ScanHost;

namespace {

std::wstring BesideThisProgram(const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1) + name;
}

// Times each of count exchanges of request with a freshly started peer, in
// microseconds, and stores the number of lines of one answer in *lines. Empty
// when the peer could not be started or stopped answering.
std::vector<double> Measure(const std::wstring &program, const std::wstring &arguments, const std::string &request,
                            int count, size_t *lines = nullptr)
{
    const Milliseconds kTimeout{30000};
    CPipedChild peer;
    std::string error;
    std::vector<double> times;
    if (!peer.Start(program, arguments, false, &error)) {
        fprintf(stderr, "cannot start %ls: %s\n", program.c_str(), error.c_str());
        return times;
    }
    if (ReadUntilReady(peer.channel, kTimeout).end != EExchangeEnd::Ready)
        return times;
    const std::string line = request + "\n";
    for (int i = 0; i < count; ++i) {
        double start = Now();
        peer.channel.Write(line, kTimeout);
        CResponse response = ReadUntilReady(peer.channel, kTimeout);
        double end = Now();
        if (response.end != EExchangeEnd::Ready)
            return {};
        times.push_back((end - start) * 1e6);
        if (lines)
            *lines = response.lines.size();
    }
    peer.channel.CloseInput();
    peer.process.WaitExit(kTimeout);
    return times;
}

void Print(const char *what, std::vector<double> times)
{
    if (times.empty()) {
        printf("%-28s  failed\n", what);
        return;
    }
    std::sort(times.begin(), times.end());
    double sum = 0;
    for (double t : times)
        sum += t;
    printf("%-28s  %9.1f  %9.1f  %9.1f  %9.1f\n", what, times.front(), times[times.size() / 2],
           sum / times.size(), times[times.size() * 9 / 10]);
}

}  // namespace

int main(int argc, char **argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 500;
    if (count < 1)
        count = 1;
    // A module that does not exist: the server's whole path through one
    // request (log lines, a failed load, the report) without any plug-in code.
    const std::string request = "C:\\no such folder\\Missing Plugin.dll";

    printf("round trip of one request, %d requests each, microseconds\n", count);
    printf("%-28s  %9s  %9s  %9s  %9s\n", "", "min", "median", "mean", "90%");
    size_t lines = 0;
    std::vector<double> server =
        Measure(BesideThisProgram(L"RavoZazora-x86.exe"), L"{in} {out} 0", request, count, &lines);
    std::wstring echo = BesideThisProgram(L"pipe-echo.exe");
    Print("bare pipe echo, 1 line", Measure(echo, L"{in} {out} 1", request, count));
    std::string label = "bare pipe echo, " + std::to_string(lines) + " lines";
    Print(label.c_str(), Measure(echo, L"{in} {out} " + std::to_wstring(lines), request, count));
    Print("scan server, missing module", server);
    return 0;
}
