// Scanning modules through a pool of servers.
#include "host/scanner/scanner.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>

#include "host/catalogue/catalogue.h"
#include "host/report/report.h"
#include "host/text/utf8.h"
#include "protocol/protocol.h"
#include "host/scanner/dumps.h"
#include "host/scanner/windows.h"

namespace ScanHost {

namespace {

// How long a server whose output closed may take to end.
const std::chrono::milliseconds kExitLimit{5000};

// Lines that say where the server is, the stage each one starts, and that
// stage in words for messages.
struct CStageLine {
    const char *text;
    bool prefix;
    const char *stage;
    const char *phrase;
};
const CStageLine kStageLines[] = {
    {"Freeing cached library...", false, "unloading", " while unloading"},
    {"Loading library...", false, "loading", " while loading"},
    {"Calling entry point...", false, "entry point", " in the entry point or a query"},
    {"Found shell:", true, "shell enumeration", " during shell enumeration"},
    {"Dispatching effClose...", false, "close", " in effClose"},
    {"Freeing library...", false, "unloading", " while unloading"},
};

std::string StagePhrase(const std::string &stage)
{
    for (const CStageLine &known : kStageLines)
        if (stage == known.stage)
            return known.phrase;
    return std::string();
}

std::string ExitCodeText(uint32_t code)
{
    if (code < 0x10000)
        return std::to_string(code);
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
    return hex;
}

enum class EAttempt { Answered, Crash, Hang, Dialog, Exit };

// What one request came to.
struct CAttempt {
    EAttempt kind = EAttempt::Answered;
    CReport report;
    bool reportRead = false;
    std::string reportError;
    std::string window;  // the dialog's description
    CFailure failure;
};

EOutcome OutcomeOf(EAttempt kind)
{
    switch (kind) {
    case EAttempt::Crash: return EOutcome::Crash;
    case EAttempt::Hang: return EOutcome::Hang;
    case EAttempt::Dialog: return EOutcome::Dialog;
    case EAttempt::Exit: return EOutcome::Exit;
    case EAttempt::Answered: break;
    }
    return EOutcome::Ok;
}

// The message of a failed attempt.
std::string FailureMessage(const CAttempt &attempt, std::chrono::milliseconds timeout)
{
    std::string where = StagePhrase(attempt.failure.stage);
    std::string code = attempt.failure.exitCode ? " (exit code " + ExitCodeText(*attempt.failure.exitCode) + ")"
                                                : std::string();
    switch (attempt.kind) {
    case EAttempt::Crash:
        return "crashed" + where + code;
    case EAttempt::Hang:
        return "no answer for " + std::to_string(timeout.count() / 1000) + " s" + where;
    case EAttempt::Dialog:
        return "showed a window" + where + ": " + attempt.window;
    case EAttempt::Exit:
        return "ended the server process" + where + code;
    case EAttempt::Answered:
        break;
    }
    return std::string();
}

CPluginEntry PluginFromReport(const CReport &report)
{
    CPluginEntry plugin;
    plugin.id = report.idText;
    plugin.name = report.name;
    plugin.vendor = report.vendor;
    plugin.product = report.product;
    plugin.version = report.version;
    plugin.numInputs = report.numInputs;
    plugin.numOutputs = report.numOutputs;
    plugin.wantsMidi = report.wantsMidi;
    plugin.sendsMidi = report.sendsMidi;
    plugin.audio64 = report.audio64;
    plugin.category = report.category;
    plugin.synthEdit = report.synthEdit;
    return plugin;
}

// How an answered request is classified: ok, not a plug-in, or a load error,
// with its message.
EOutcome ClassifyAnswer(const CAttempt &attempt, std::string *message)
{
    if (!attempt.reportRead) {
        *message = "the server's report cannot be read: " + attempt.reportError;
        return EOutcome::LoadError;
    }
    const std::string &error = attempt.report.error;
    if (error.empty())
        return EOutcome::Ok;
    if (error.compare(0, sizeof Protocol::kLoadFailed - 1, Protocol::kLoadFailed) == 0) {
        uint32_t code = strtoul(error.c_str() + sizeof Protocol::kLoadFailed - 1, nullptr, 10);
        *message = "cannot be loaded: " + WindowsErrorText(code) + " (error " + std::to_string(code) + ")";
        return EOutcome::LoadError;
    }
    *message = error;
    // The server's own verdicts that the module is no plug-in it scans; any
    // other error is a failure to load it.
    for (const char *verdict :
         {Protocol::kJBridgeRefused, Protocol::kNoEntryPoint, Protocol::kEntryReturnedNull, Protocol::kBadMagic})
        if (error == verdict)
            return EOutcome::NotAPlugin;
    return EOutcome::LoadError;
}

// One slot of the pool: at most one server at a time, replaced when it has
// served its share of modules or after it failed.
class CWorker {
public:
    CWorker(const CScanOptions &options, CDumpFolder &dumps) : m_options(options), m_dumps(dumps) {}

    // Scans one module into *entry. Returns false with the reason when no
    // server could be started.
    bool ScanModule(CModuleEntry *entry, std::string *error);

private:
    bool EnsureServer(std::string *error);
    void Retire();
    CAttempt Request(const std::string &request);
    bool RequestWithRetry(const std::string &request, CAttempt *attempt, std::string *error);
    void ScanShell(CModuleEntry *entry, const CReport &shell, std::string *error, bool *started);

    const CScanOptions &m_options;
    CDumpFolder &m_dumps;
    std::unique_ptr<CScanServer> m_server;
    unsigned m_modules = 0;   // modules the current server began
    unsigned m_requests = 0;  // requests it was sent
};

bool CWorker::EnsureServer(std::string *error)
{
    if (m_server && m_server->IsRunning())
        return true;
    Retire();
    auto server = std::make_unique<CScanServer>();
    if (!server->Start(m_options.server, m_options.startLimit, error))
        return false;
    m_server = std::move(server);
    return true;
}

void CWorker::Retire()
{
    if (m_server) {
        m_server->Terminate();
        m_server.reset();
    }
    m_modules = 0;
    m_requests = 0;
}

CAttempt CWorker::Request(const std::string &request)
{
    ++m_requests;
    CAttempt attempt;
    uint64_t sent = FileTimeNow();
    uint32_t processId = m_server->ProcessId();
    CExchange exchange = m_server->Request(request, m_options.timeout);
    // A server that crashed goes silent while it writes its dump, which can
    // take long for a large process: a dump of its own, or one still being
    // written, earns it one more timeout.
    if (exchange.end == EExchangeEnd::Silent && m_dumps.MayBeWriting(processId, sent))
        m_server->ReadOn(&exchange, m_options.timeout);
    // A server that ended while something it started still holds its output
    // is silent, not closed: its exit code tells.
    if (exchange.end == EExchangeEnd::Silent && m_server->WaitExit(std::chrono::milliseconds(0)))
        exchange.end = EExchangeEnd::Closed;
    attempt.failure.stage = StageOf(exchange.lines);
    switch (exchange.end) {
    case EExchangeEnd::Ready:
        attempt.reportRead = ParseReport(exchange.report, &attempt.report, &attempt.reportError);
        return attempt;
    case EExchangeEnd::Silent: {
        std::vector<CShownWindow> windows = WindowsOfProcess(m_server->ProcessId());
        if (windows.empty()) {
            attempt.kind = EAttempt::Hang;
        } else {
            attempt.kind = EAttempt::Dialog;
            attempt.window = DescribeWindow(windows.front());
        }
        Retire();
        return attempt;
    }
    case EExchangeEnd::Closed:
        break;
    }
    attempt.failure.exitCode = m_server->WaitExit(kExitLimit);
    attempt.kind = attempt.failure.exitCode && IsCrashExitCode(*attempt.failure.exitCode) ? EAttempt::Crash
                                                                                         : EAttempt::Exit;
    if (attempt.kind == EAttempt::Crash)
        attempt.failure.dump = ToUtf8(m_dumps.Claim(processId));
    Retire();
    return attempt;
}

bool CWorker::RequestWithRetry(const std::string &request, CAttempt *attempt, std::string *error)
{
    bool retried = false;
    for (;;) {
        if (!EnsureServer(error))
            return false;
        bool fresh = m_requests == 0;
        *attempt = Request(request);
        // A server that ran out of what plug-ins leak is replaced, and the
        // request goes to the fresh one.
        bool exhausted = attempt->kind == EAttempt::Answered && attempt->reportRead &&
                         attempt->report.error == Protocol::kResourcesExhausted;
        if (exhausted)
            Retire();
        // Only a failure in a fresh server is the module's own.
        if ((exhausted || attempt->kind != EAttempt::Answered) && !fresh && !retried) {
            retried = true;
            Retire();
            continue;
        }
        return true;
    }
}

bool CWorker::ScanModule(CModuleEntry *entry, std::string *error)
{
    if (m_options.modulesPerServer && m_modules >= m_options.modulesPerServer)
        Retire();
    entry->plugins.clear();
    entry->failure = CFailure();
    entry->message.clear();

    CAttempt attempt;
    if (!RequestWithRetry(entry->path, &attempt, error))
        return false;
    ++m_modules;
    if (attempt.kind != EAttempt::Answered) {
        entry->outcome = OutcomeOf(attempt.kind);
        entry->message = FailureMessage(attempt, m_options.timeout);
        entry->failure = attempt.failure;
        return true;
    }
    entry->outcome = ClassifyAnswer(attempt, &entry->message);
    if (entry->outcome != EOutcome::Ok)
        return true;
    if (!attempt.report.hasShells) {
        entry->plugins.push_back(PluginFromReport(attempt.report));
        entry->message = "1 plug-in";
        return true;
    }
    bool started = true;
    ScanShell(entry, attempt.report, error, &started);
    return started;
}

void CWorker::ScanShell(CModuleEntry *entry, const CReport &shell, std::string *error, bool *started)
{
    size_t failed = 0;
    for (const CShellEntry &contained : shell.shells) {
        CAttempt attempt;
        if (!RequestWithRetry(entry->path + ">" + contained.idText, &attempt, error)) {
            *started = false;
            return;
        }
        CPluginEntry plugin;
        if (attempt.kind == EAttempt::Answered && attempt.reportRead && attempt.report.error.empty()) {
            plugin = PluginFromReport(attempt.report);
        } else {
            plugin.id = contained.idText;
            plugin.name = contained.name;
            if (attempt.kind == EAttempt::Answered) {
                plugin.outcome = ClassifyAnswer(attempt, &plugin.message);
            } else {
                plugin.outcome = OutcomeOf(attempt.kind);
                plugin.message = FailureMessage(attempt, m_options.timeout);
                plugin.failure = attempt.failure;
            }
            ++failed;
        }
        plugin.shellId = contained.idText;
        entry->plugins.push_back(plugin);
    }
    size_t count = shell.shells.size();
    entry->message = "shell of " + std::to_string(count) + " plug-in" + (count == 1 ? "" : "s");
    if (failed)
        entry->message += ", " + std::to_string(failed) + " failed";

    // The server keeps a shell module loaded; an empty request has it freed
    // now, so that whatever the module does while it unloads is its own.
    if (!m_server || !m_server->IsRunning())
        return;
    CAttempt unload = Request(std::string());
    if (unload.kind != EAttempt::Answered) {
        entry->outcome = OutcomeOf(unload.kind);
        entry->message = FailureMessage(unload, m_options.timeout) + "; " + entry->message;
        entry->failure = unload.failure;
    }
}

}  // namespace

std::string StageOf(const std::vector<CServerLine> &lines)
{
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (line->level != "info")
            continue;
        for (const CStageLine &known : kStageLines) {
            bool match = known.prefix ? line->text.compare(0, strlen(known.text), known.text) == 0
                                      : line->text == known.text;
            if (match)
                return known.stage;
        }
    }
    return std::string();
}

bool IsCrashExitCode(uint32_t code)
{
    // NTSTATUS error codes (0xC...), and the warning codes that exceptions
    // raise: guard page, misalignment, breakpoint, single step. -1 and the
    // like are plain exits.
    return code == Protocol::kExitCrash || (code & 0xF0000000u) == 0xC0000000u ||
           (code >= 0x80000001u && code <= 0x80000004u);
}

CScanner::CScanner(CScanOptions options) : m_options(std::move(options)) {}

bool CScanner::Scan(std::vector<CModuleEntry> *modules, const CScanCallbacks &callbacks, std::string *error)
{
    unsigned jobs = m_options.jobs ? m_options.jobs : std::max(1u, std::thread::hardware_concurrency());
    if (jobs > modules->size())
        jobs = static_cast<unsigned>(std::max<size_t>(1, modules->size()));

    CDumpFolder dumps(m_options.server.dumpFolder);
    std::mutex mutex;  // guards next, failed and *error
    std::mutex calls;  // keeps the callbacks one at a time, without holding up the servers
    size_t next = 0;
    bool failed = false;

    auto work = [&]() {
        CWorker worker(m_options, dumps);
        for (;;) {
            size_t index;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (failed || m_cancelled || next >= modules->size())
                    return;
                index = next++;
            }
            CModuleEntry entry = (*modules)[index];
            if (callbacks.started) {
                std::lock_guard<std::mutex> lock(calls);
                callbacks.started(index, entry.path);
            }
            std::string reason;
            if (!worker.ScanModule(&entry, &reason)) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!failed)
                    *error = reason;
                failed = true;
                return;
            }
            entry.scanned = CurrentUtcTime();
            (*modules)[index] = entry;
            if (callbacks.finished) {
                std::lock_guard<std::mutex> lock(calls);
                callbacks.finished(index, entry);
            }
        }
    };

    std::vector<std::thread> threads;
    for (unsigned i = 1; i < jobs; ++i)
        threads.emplace_back(work);
    work();
    for (std::thread &thread : threads)
        thread.join();
    return !failed;
}

}  // namespace ScanHost
