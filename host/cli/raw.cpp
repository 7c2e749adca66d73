// The command line's raw mode, for debugging the protocol: one server, the
// requests given, each sent once the server is ready, every shell module
// followed by a request for each plug-in it contains, and every line the
// server writes ("ready:" included) printed as each answer completes.
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "host/cli/raw.h"
#include "host/report/report.h"
#include "host/server/scanserver.h"
#include "host/text/utf8.h"
#include "protocol/protocol.h"

using namespace ScanHost;

namespace {

// A plug-in may take its time; a server silent for this long is hung.
const std::chrono::milliseconds kLineTimeout{120000};
// How long the server may take to end once its request pipe is closed.
const std::chrono::milliseconds kExitTimeout{30000};

void Print(const std::string &text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Prints lines as the server wrote them.
void PrintLines(const std::vector<CServerLine> &lines)
{
    for (const CServerLine &line : lines)
        Print((line.level.empty() ? line.text : line.level + Protocol::kLevelSeparator + line.text) + "\n");
}

}  // namespace

int RelayRequests(const std::wstring &serverPath, const std::wstring &dumpFolder,
                  const std::vector<std::string> &given)
{
    CServerOptions options;
    options.serverPath = serverPath;
    options.dumpFolder = dumpFolder;
    // Requests wait here until the server is ready for them.
    std::deque<std::string> requests(given.begin(), given.end());

    CScanServer server;
    std::string error;
    if (!server.Start(options, kLineTimeout, &error)) {
        Print("# cannot start the server: " + error + "\n");
        return 3;
    }
    PrintLines(server.Banner());
    Print(Protocol::kReadyLine);

    EExchangeEnd end = EExchangeEnd::Ready;
    while (end == EExchangeEnd::Ready && !requests.empty()) {
        std::string request = requests.front();
        requests.pop_front();
        Print("# request: " + request + "\n");
        CExchange answer = server.Request(request, kLineTimeout);
        PrintLines(answer.lines);
        end = answer.end;
        if (end == EExchangeEnd::Closed)
            Print("# the server ended before it was ready again\n");
        if (end != EExchangeEnd::Ready)
            continue;
        Print(Protocol::kReadyLine);
        CReport parsed;
        if (!ParseReport(answer.report, &parsed, &error)) {
            Print("# the report cannot be read: " + error + "\n");
            continue;
        }
        // A shell module lists the plug-ins inside it. Each is scanned next,
        // by the same path and its id, while the server still holds the
        // module.
        if (request.find(Protocol::kShellIdSeparator) == std::string::npos) {
            for (auto shell = parsed.shells.rbegin(); shell != parsed.shells.rend(); ++shell)
                requests.push_front(request + Protocol::kShellIdSeparator + shell->idText);
        }
    }
    if (end == EExchangeEnd::Silent) {
        Print("# the server is silent; ending it\n");
        server.Terminate();
    }

    // Closing the request pipe ends the server; what it writes while it shuts
    // down is still printed.
    PrintLines(server.CloseRequests(kLineTimeout).lines);
    std::optional<uint32_t> code = server.WaitExit(kExitTimeout);
    if (!code) {
        Print("# the server does not end; ending it\n");
        server.Terminate();
        code = server.WaitExit(kExitTimeout);
    }
    Print("# exit code: " + (code ? std::to_string(*code) : std::string("unknown")) + "\n");
    return code ? static_cast<int>(*code) : 1;
}
