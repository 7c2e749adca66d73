// A scan server driven through CServerProcess.
#include "host/server/scanserver.h"

#include "host/scanhost.h"

namespace ScanHost {

struct CScanServer::CState {
    CServerProcess process;
};

CScanServer::CScanServer() : m_state(std::make_unique<CState>()) {}

CScanServer::~CScanServer()
{
    Stop();
}

bool CScanServer::Start(const CServerOptions &options, std::chrono::milliseconds startLimit, std::string *error)
{
    CLaunch launch;
    launch.serverPath = options.serverPath;
    launch.dumpFolder = options.dumpFolder;
    launch.referenceWindow = reinterpret_cast<HWND>(options.referenceWindow);
    if (!m_state->process.Start(launch, error))
        return false;
    CResponse banner = m_state->process.ReadUntilReady(startLimit);
    if (banner.end != EEnd::Ready) {
        *error = banner.end == EEnd::Closed ? "the server ended before it was ready"
                                            : "the server did not become ready in time";
        m_state->process.Terminate();
        return false;
    }
    return true;
}

CExchange CScanServer::Request(std::string_view request, std::chrono::milliseconds silence)
{
    CExchange exchange;
    if (!m_state->process.Send(request)) {
        exchange.end = EExchangeEnd::Closed;
        return exchange;
    }
    ReadOn(&exchange, silence);
    return exchange;
}

void CScanServer::ReadOn(CExchange *exchange, std::chrono::milliseconds silence)
{
    std::string line;
    for (;;) {
        ERead read = m_state->process.ReadLine(&line, silence);
        if (read == ERead::Closed) {
            exchange->end = EExchangeEnd::Closed;
            return;
        }
        if (read == ERead::Timeout) {
            exchange->end = EExchangeEnd::Silent;
            return;
        }
        if (line == "ready:") {
            exchange->end = EExchangeEnd::Ready;
            return;
        }
        CLine split = SplitLine(line);
        if (split.level == ">")
            exchange->report.push_back(split.text);
        exchange->lines.push_back({split.level, split.text});
    }
}

std::optional<uint32_t> CScanServer::WaitExit(std::chrono::milliseconds limit)
{
    std::optional<DWORD> code = m_state->process.WaitExit(limit);
    if (!code)
        return std::nullopt;
    return static_cast<uint32_t>(*code);
}

void CScanServer::Terminate()
{
    if (m_state->process.IsRunning())
        m_state->process.Terminate();
}

void CScanServer::Stop()
{
    if (!m_state->process.IsRunning())
        return;
    m_state->process.CloseInput();
    if (!m_state->process.WaitExit(std::chrono::milliseconds(2000)))
        m_state->process.Terminate();
}

bool CScanServer::IsRunning() const
{
    return m_state->process.IsRunning();
}

uint32_t CScanServer::ProcessId() const
{
    return m_state->process.ProcessId();
}

}  // namespace ScanHost
