// A scan server over the process and channel layers: the server's command
// line names its two pipe ends, the reference window and the dump folder.
#include "host/server/scanserver.h"

#include <windows.h>

#include <algorithm>
#include <system_error>
#include <thread>

#include "host/channel/channel.h"
#include "host/process/childprocess.h"
#include "protocol/protocol.h"

namespace ScanHost {

namespace {

using Clock = std::chrono::steady_clock;

const char *const kLevels[] = {Protocol::kLevelError, Protocol::kLevelWarn, Protocol::kLevelInfo,
                               Protocol::kLevelReport, Protocol::kLevelReady};

// The handshake line as ReadLine gives it, without its line feed.
const std::string_view kReady(Protocol::kReadyLine, sizeof Protocol::kReadyLine - 2);

// Reads lines into *exchange up to the next "ready:" (which is not kept), the
// end of the output, a silence of silence or the deadline, whichever comes
// first. With untilReady false, "ready:" is a line like any other.
EExchangeEnd ReadAnswer(CChannel &channel, Milliseconds silence, Clock::time_point deadline, bool untilReady,
                        CExchange *exchange)
{
    std::string line;
    for (;;) {
        auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        ERead read = channel.ReadLine(&line, std::max(Milliseconds(0), std::min(silence, left)));
        if (read == ERead::Closed)
            return EExchangeEnd::Closed;
        if (read == ERead::Timeout)
            return EExchangeEnd::Silent;
        if (untilReady && line == kReady)
            return EExchangeEnd::Ready;
        CServerLine split = SplitServerLine(line);
        if (split.level == Protocol::kLevelReport)
            exchange->report.push_back(split.text);
        exchange->lines.push_back(std::move(split));
    }
}

}  // namespace

CServerLine SplitServerLine(std::string_view line)
{
    size_t colon = line.find(Protocol::kLevelSeparator[0]);
    if (colon != std::string_view::npos) {
        std::string_view level = line.substr(0, colon);
        for (const char *known : kLevels)
            if (level == known)
                return {std::string(level), std::string(line.substr(colon + 1))};
    }
    return {std::string(), std::string(line)};
}

struct CScanServer::CState {
    CChannel channel;
    CChildProcess process;
    std::vector<CServerLine> banner;
};

CScanServer::CScanServer() : m_state(std::make_unique<CState>()) {}

CScanServer::~CScanServer()
{
    Stop();
}

bool CScanServer::Start(const CServerOptions &options, std::chrono::milliseconds startLimit, std::string *error)
{
    CError failure;
    if (Start(options, startLimit, &failure))
        return true;
    *error = failure.Text();
    return false;
}

bool CScanServer::Start(const CServerOptions &options, std::chrono::milliseconds startLimit, CError *error)
{
    if (m_state->process.IsRunning()) {
        *error = {"starting the server", ERROR_ALREADY_INITIALIZED};
        return false;
    }
    auto state = std::make_unique<CState>();
    if (!state->channel.Open(error))
        return false;

    CChildLaunch launch;
    launch.program = options.serverPath;
    launch.arguments = HexArgument(reinterpret_cast<uintptr_t>(state->channel.ChildInput())) + L" " +
                       HexArgument(reinterpret_cast<uintptr_t>(state->channel.ChildOutput())) + L" " +
                       HexArgument(options.referenceWindow);
    if (!options.dumpFolder.empty())
        launch.arguments += L" " + QuoteArgument(options.dumpFolder);
    launch.inherit = {state->channel.ChildInput(), state->channel.ChildOutput()};
    bool started = state->process.Start(launch, error);
    state->channel.CloseChildEnds();
    if (!started)
        return false;

    CExchange banner;
    auto deadline = Clock::now() + startLimit;
    EExchangeEnd end = ReadAnswer(state->channel, startLimit, deadline, true, &banner);
    if (end != EExchangeEnd::Ready) {
        *error = {"waiting for the server's first \"ready:\"",
                  end == EExchangeEnd::Closed ? static_cast<uint32_t>(ERROR_BROKEN_PIPE)
                                              : static_cast<uint32_t>(ERROR_TIMEOUT)};
        state->process.Terminate();
        return false;
    }
    state->banner = std::move(banner.lines);
    m_state = std::move(state);
    return true;
}

const std::vector<CServerLine> &CScanServer::Banner() const
{
    return m_state->banner;
}

CExchange CScanServer::Request(std::string_view request, std::chrono::milliseconds silence)
{
    CExchange exchange;
    std::string line(request);
    line += '\n';
    switch (m_state->channel.Write(line, silence)) {
    case EWrite::Written:
        exchange.end = ReadAnswer(m_state->channel, silence, Clock::time_point::max(), true, &exchange);
        break;
    case EWrite::Closed:
        exchange.end = EExchangeEnd::Closed;
        break;
    case EWrite::Timeout:
        exchange.end = EExchangeEnd::Silent;
        break;
    }
    return exchange;
}

void CScanServer::ReadOn(CExchange *exchange, std::chrono::milliseconds silence)
{
    exchange->end = ReadAnswer(m_state->channel, silence, Clock::time_point::max(), true, exchange);
}

bool CScanServer::Write(std::string_view bytes, std::chrono::milliseconds limit)
{
    return m_state->channel.Write(bytes, limit) == EWrite::Written;
}

CExchange CScanServer::CloseRequests(std::chrono::milliseconds silence)
{
    m_state->channel.CloseInput();
    CExchange exchange;
    exchange.end = ReadAnswer(m_state->channel, silence, Clock::time_point::max(), false, &exchange);
    return exchange;
}

std::optional<uint32_t> CScanServer::WaitExit(std::chrono::milliseconds limit)
{
    return m_state->process.WaitExit(limit);
}

void CScanServer::Terminate()
{
    m_state->process.Terminate();
}

void CScanServer::Stop()
{
    std::unique_ptr<CState> state = std::move(m_state);
    m_state = std::make_unique<CState>();
    if (!state->process.IsRunning())
        return;
    state->channel.CloseInput();
    try {
        std::thread([state = std::move(state)]() mutable {
            if (!state->process.WaitExit(kStopGrace))
                state->process.Terminate();
            state.reset();
        }).detach();
    } catch (const std::system_error &) {
        // Without a thread to wait in, the state goes here and its job ends
        // the server at once.
    }
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
