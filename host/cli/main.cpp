// quenmoor-scan: scans the plug-in modules in the files and folders given
// into a catalogue, whatever the plug-ins do, and says why each failure
// failed. A thin command line over the host library (host/scan.h): options,
// progress, the closing table and the exit code.
#include <windows.h>

#include <shlobj.h>

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/cli/raw.h"
#include "host/scan.h"
#include "host/text/utf8.h"

using namespace ScanHost;

namespace {

// The exit codes.
const int kExitAllScanned = 0;  // every module ok or not a plug-in
const int kExitSomeFailed = 1;  // the catalogue is complete, but some modules failed
const int kExitUsage = 2;       // bad usage
const int kExitCannotRun = 3;   // no server, or the catalogue cannot be written

// Where the client writes: standard output, or standard error for all but
// the catalogue when the catalogue itself goes to standard output.
class COutput {
public:
    explicit COutput(DWORD which) : m_handle(GetStdHandle(which))
    {
        DWORD mode;
        m_terminal = GetFileType(m_handle) == FILE_TYPE_CHAR && GetConsoleMode(m_handle, &mode);
    }

    void Print(const std::string &text)
    {
        DWORD written;
        if (m_handle && m_handle != INVALID_HANDLE_VALUE)
            WriteFile(m_handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

    // Replaces the progress line on a terminal.
    void Progress(const std::string &text)
    {
        std::string line = text;
        size_t width = Width();
        if (line.size() >= width)
            line = line.substr(0, width - 4) + "...";
        Print("\r" + line + std::string(m_shown > line.size() ? m_shown - line.size() : 0, ' ') + "\r" + line);
        m_shown = line.size();
    }

    // Clears the progress line before other text is printed.
    void ClearProgress()
    {
        if (m_shown) {
            Print("\r" + std::string(m_shown, ' ') + "\r");
            m_shown = 0;
        }
    }

    bool Terminal() const { return m_terminal; }

private:
    size_t Width() const
    {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(m_handle, &info) && info.dwSize.X > 20)
            return static_cast<size_t>(info.dwSize.X) - 1;
        return 79;
    }

    HANDLE m_handle;
    bool m_terminal = false;
    size_t m_shown = 0;
};

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring folder(path, length);
    size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
}

std::wstring FolderOf(const std::wstring &path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

// The catalogue of the user's own: %LOCALAPPDATA%\Quenmoor\catalogue.json.
std::wstring DefaultCatalogue()
{
    wchar_t *folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder)) && folder)
        path = std::wstring(folder) + L"\\Quenmoor\\catalogue.json";
    CoTaskMemFree(folder);
    return path.empty() ? L"quenmoor-catalogue.json" : path;
}

bool FileExistsW(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// "1 module", "2 modules".
std::string Count(size_t count, const std::string &noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string Pad(const std::string &text, size_t width)
{
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// One line of the closing table for a failed module or plug-in.
std::string FailureLine(const std::string &outcome, const std::string &what, const std::string &message,
                        const CFailure &failure)
{
    std::string line = "  " + Pad(outcome, 14) + what + ": " + message;
    if (!failure.dump.empty())
        line += "; dump " + failure.dump;
    return line + "\n";
}

// The closing table: what was found, and every failure with its reason.
// Returns whether anything failed.
bool PrintSummary(COutput &out, const CCatalogueScanResult &result, double seconds)
{
    std::map<std::string, size_t> counts;
    size_t plugins = 0;
    std::string failures;
    for (const CModuleEntry &module : result.modules) {
        ++counts[OutcomeName(module.outcome)];
        if (IsFailure(module.outcome))
            failures += FailureLine(OutcomeName(module.outcome), module.path, module.message, module.failure);
        for (const CPluginEntry &plugin : module.plugins) {
            if (!plugin.outcome) {
                ++plugins;
                continue;
            }
            if (IsFailure(*plugin.outcome))
                failures += FailureLine(OutcomeName(*plugin.outcome),
                                        module.path + ">" + plugin.id + " (" + plugin.name + ")", plugin.message,
                                        plugin.failure);
        }
    }
    char time[32];
    snprintf(time, sizeof time, "%.1f s", seconds);
    out.Print("\n" + Count(result.modules.size(), "module") + ", " + Count(plugins, "plug-in") + " (" +
              std::to_string(result.scanned) + " scanned in " + time + ", " + std::to_string(result.kept) +
              " unchanged)\n");
    static const EOutcome kOrder[] = {EOutcome::Ok,    EOutcome::NotAPlugin, EOutcome::LoadError, EOutcome::Crash,
                                      EOutcome::Hang,  EOutcome::Dialog,     EOutcome::Exit};
    for (EOutcome outcome : kOrder) {
        auto count = counts.find(OutcomeName(outcome));
        if (count != counts.end())
            out.Print("  " + Pad(OutcomeName(outcome), 14) + std::to_string(count->second) + "\n");
    }
    if (!failures.empty())
        out.Print("Failures:\n" + failures);
    return !failures.empty();
}

std::vector<std::string> Utf8Arguments(int argc, wchar_t **argv)
{
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(ToUtf8(argv[i]));
    return arguments;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    SetConsoleOutputCP(CP_UTF8);
    CLI::App app{"Scans the VST 2 plug-in modules in the given files and folders into a catalogue, whatever the "
                 "plug-ins do, and says why each failure failed.",
                 "quenmoor-scan"};
    std::vector<std::string> paths;
    std::string catalogue, dumpFolder, server;
    double timeout = 30;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    unsigned modulesPerServer = 200;
    bool rescan = false, retryFailed = false, json = false, raw = false;
    app.add_option("PATH", paths, "plug-in files and folders (folders are searched with their subfolders)");
    app.add_option("--catalogue", catalogue, "the catalogue file (default: %LOCALAPPDATA%\\Quenmoor\\catalogue.json)");
    app.add_option("--timeout", timeout, "seconds of silence from a server that count as a hang")
        ->check(CLI::Range(0.1, 86400.0))
        ->capture_default_str();
    app.add_option("--dump-folder", dumpFolder, "folder for crash dumps (default: \"dumps\" beside the catalogue)");
    app.add_option("--server", server, "the scan server (default: RavoZazora-x86.exe beside this program)");
    app.add_option("--jobs", jobs, "servers scanning side by side (default: one per processor)")
        ->check(CLI::Range(1u, 64u));
    app.add_option("--modules-per-server", modulesPerServer, "modules one server scans before a fresh one takes over")
        ->check(CLI::Range(1u, 1000000u))
        ->capture_default_str();
    app.add_flag("--rescan", rescan, "scan every module, changed or not");
    app.add_flag("--retry-failed", retryFailed, "scan unchanged modules again when they failed");
    app.add_flag("--json", json, "print the catalogue on standard output");
    app.add_flag("--raw", raw, "relay one server's lines for the requests given (PATH... are requests)");

    std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    std::reverse(arguments.begin(), arguments.end());
    COutput out(STD_OUTPUT_HANDLE);
    COutput err(STD_ERROR_HANDLE);
    try {
        app.parse(arguments);
    } catch (const CLI::CallForHelp &) {
        out.Print(app.help());
        return kExitAllScanned;
    } catch (const CLI::ParseError &e) {
        err.Print("quenmoor-scan: " + std::string(e.what()) + "\nRun with --help for the options.\n");
        return kExitUsage;
    }

    std::wstring serverPath = server.empty() ? ProgramFolder() + L"\\RavoZazora-x86.exe" : FromUtf8(server);
    if (raw) {
        if (paths.empty()) {
            err.Print("quenmoor-scan: --raw needs at least one request\n");
            return kExitUsage;
        }
        return RelayRequests(serverPath, FromUtf8(dumpFolder), paths);
    }
    if (paths.empty()) {
        err.Print("quenmoor-scan: name at least one plug-in file or folder\nRun with --help for the options.\n");
        return kExitUsage;
    }
    for (const std::string &path : paths) {
        if (!PathExists(FromUtf8(path))) {
            err.Print("quenmoor-scan: no such file or folder: " + path + "\n");
            return kExitUsage;
        }
    }
    if (!FileExistsW(serverPath)) {
        err.Print("quenmoor-scan: the scan server is missing: " + ToUtf8(serverPath) + "\n");
        return kExitCannotRun;
    }

    CCatalogueScanOptions options;
    for (const std::string &path : paths)
        options.paths.push_back(FromUtf8(path));
    options.cataloguePath = FullPath(catalogue.empty() ? DefaultCatalogue() : FromUtf8(catalogue));
    options.scan.server.serverPath = serverPath;
    options.scan.server.dumpFolder = dumpFolder.empty() ? FolderOf(options.cataloguePath) + L"\\dumps"
                                                        : FullPath(FromUtf8(dumpFolder));
    options.scan.timeout = std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
    options.scan.jobs = jobs;
    options.scan.modulesPerServer = modulesPerServer;
    options.plan.rescan = rescan;
    options.plan.retryFailed = retryFailed;

    // With --json the catalogue has standard output to itself.
    COutput &talk = json ? err : out;
    CCatalogueScanEvents events;
    events.warning = [&](const std::string &text) {
        talk.ClearProgress();
        talk.Print("warning: " + text + "\n");
    };
    events.planned = [&](size_t found, size_t toScan) {
        talk.Print(Count(found, "module") + " found, " + std::to_string(toScan) + " to scan\n");
    };
    events.started = [&](size_t done, size_t total, const std::string &path) {
        if (talk.Terminal())
            talk.Progress("[" + std::to_string(done) + "/" + std::to_string(total) + "] " + path);
    };
    events.finished = [&](size_t done, size_t total, const CModuleEntry &entry) {
        std::string line = "[" + std::to_string(done) + "/" + std::to_string(total) + "] " +
                           OutcomeName(entry.outcome) + " " + entry.path + ": " + entry.message;
        if (talk.Terminal()) {
            talk.ClearProgress();
            if (IsFailure(entry.outcome))
                talk.Print(line + "\n");
            talk.Progress("[" + std::to_string(done) + "/" + std::to_string(total) + "] " + entry.path);
        } else {
            talk.Print(line + "\n");
        }
    };

    auto begin = std::chrono::steady_clock::now();
    CCatalogueScanResult result;
    std::string error;
    EScanFailure failure = ScanIntoCatalogue(options, events, &result, &error);
    talk.ClearProgress();
    if (failure != EScanFailure::None) {
        err.Print("quenmoor-scan: " + error + "\n");
        return kExitCannotRun;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    bool failed = PrintSummary(talk, result, seconds);
    talk.Print("Catalogue: " + ToUtf8(options.cataloguePath) + "\n");
    if (json)
        out.Print(result.catalogueText);
    return failed ? kExitSomeFailed : kExitAllScanned;
}
