// The command line's raw mode, for debugging the protocol: one server, the
// requests given, and every line the server writes printed as it arrives.
// Each shell module is followed by a request for each plug-in it contains.
// Lines of the client's own start with "# "; the rest is the server's output
// as written.
#include <deque>
#include <string>
#include <vector>

#include "host/cli/raw.h"
#include "host/report.h"
#include "host/scanhost.h"

using namespace ScanHost;

namespace {

// A plug-in may take its time; a server silent for this long is hung.
const Milliseconds kLineTimeout{120000};

void Print(const std::string &text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

// Prints the server's lines up to and including the next "ready:", collecting
// the texts of the report lines. Returns how the output ended.
EEnd Relay(CServerProcess &server, std::vector<std::string> *report)
{
    std::string line;
    for (;;) {
        ERead read = server.ReadLine(&line, kLineTimeout);
        if (read == ERead::Closed)
            return EEnd::Closed;
        if (read == ERead::Timeout)
            return EEnd::Timeout;
        Print(line + "\n");
        if (line == "ready:")
            return EEnd::Ready;
        CLine split = SplitLine(line);
        if (split.level == ">")
            report->push_back(split.text);
    }
}

}  // namespace

int RelayRequests(const std::wstring &serverPath, const std::wstring &dumpFolder,
                  const std::vector<std::string> &given)
{
    CLaunch launch;
    launch.serverPath = serverPath;
    launch.dumpFolder = dumpFolder;
    // Requests wait here until the server is ready for them.
    std::deque<std::string> requests(given.begin(), given.end());

    CServerProcess server;
    std::string error;
    if (!server.Start(launch, &error)) {
        Print("# cannot start the server: " + error + "\n");
        return 3;
    }

    std::vector<std::string> report;
    EEnd end = Relay(server, &report);
    while (end == EEnd::Ready && !requests.empty()) {
        std::string request = requests.front();
        requests.pop_front();
        Print("# request: " + request + "\n");
        if (!server.Send(request))
            break;
        report.clear();
        end = Relay(server, &report);
        if (end == EEnd::Closed)
            Print("# the server ended before it was ready again\n");
        CReport parsed;
        if (end != EEnd::Ready)
            continue;
        if (!ParseReport(report, &parsed, &error)) {
            Print("# the report cannot be read: " + error + "\n");
            continue;
        }
        // A shell module lists the plug-ins inside it. Each is scanned next,
        // by the same path and its id, while the server still holds the
        // module.
        if (request.find('>') == std::string::npos) {
            for (auto shell = parsed.shells.rbegin(); shell != parsed.shells.rend(); ++shell)
                requests.push_front(request + ">" + shell->idText);
        }
    }
    if (end == EEnd::Timeout) {
        Print("# the server is silent; ending it\n");
        server.Terminate();
    }

    // Closing the request pipe ends the server; what it writes while it shuts
    // down is still printed.
    server.CloseInput();
    report.clear();
    while (Relay(server, &report) == EEnd::Ready) {
    }
    std::optional<DWORD> code = server.WaitExit();
    if (!code) {
        Print("# the server does not end; ending it\n");
        server.Terminate();
        code = server.WaitExit();
    }
    Print("# exit code: " + (code ? std::to_string(*code) : std::string("unknown")) + "\n");
    return code ? static_cast<int>(*code) : 1;
}
