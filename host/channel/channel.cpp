// The pipes are named pipes of this process, so that the host's ends can be
// overlapped (deadlines on writes, a reader that stops when told) while the
// child's ends are plain synchronous handles, as with anonymous pipes.
#include "host/channel/channel.h"

#include <windows.h>

#include <algorithm>
#include <atomic>

namespace ScanHost {

namespace {

// Room in each pipe: a whole request line of the longest kind fits.
const DWORD kPipeBuffer = 64 * 1024 + 1024;
const DWORD kReadChunk = 16 * 1024;

DWORD WaitMilliseconds(Milliseconds timeout)
{
    return static_cast<DWORD>(std::clamp<long long>(timeout.count(), 0, INFINITE - 1));
}

// Creates one pipe: the host's end overlapped, the child's end synchronous,
// neither inheritable. hostWrites says which way the bytes go.
bool CreateOnePipe(bool hostWrites, CHandle *hostEnd, CHandle *childEnd, CError *error)
{
    static std::atomic<unsigned> counter{0};
    std::wstring name = L"\\\\.\\pipe\\ScanHost." + std::to_wstring(GetCurrentProcessId()) + L"." +
                        std::to_wstring(counter++) + L"." + std::to_wstring(GetTickCount64());
    // The first and only instance, local clients only: nobody else can take
    // the name or connect in between.
    CHandle host(CreateNamedPipeW(name.c_str(),
                                  (hostWrites ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) |
                                      FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                  1, kPipeBuffer, kPipeBuffer, 0, nullptr));
    if (!host) {
        *error = CError::Last("CreateNamedPipeW");
        return false;
    }
    // The access of an anonymous pipe's ends.
    DWORD access = hostWrites ? GENERIC_READ | FILE_WRITE_ATTRIBUTES : GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    CHandle child(CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!child) {
        *error = CError::Last("CreateFileW");
        return false;
    }
    *hostEnd = std::move(host);
    *childEnd = std::move(child);
    return true;
}

}  // namespace

CChannel::~CChannel()
{
    CloseInput();
    CloseOutput();
}

bool CChannel::Open(CError *error)
{
    if (m_input || m_output || m_reader) {
        *error = {"opening a channel", ERROR_ALREADY_INITIALIZED};
        return false;
    }
    CHandle input, childInput, output, childOutput;
    if (!CreateOnePipe(true, &input, &childInput, error) || !CreateOnePipe(false, &output, &childOutput, error))
        return false;
    CHandle writeDone(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CHandle stopReader(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!writeDone || !stopReader) {
        *error = CError::Last("CreateEventW");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_buffer.clear();
        m_ended = false;
    }
    m_output = std::move(output);
    m_stopReader = std::move(stopReader);
    m_reader.Reset(CreateThread(nullptr, 0, ReaderThread, this, 0, nullptr));
    if (!m_reader) {
        *error = CError::Last("CreateThread");
        m_output.Reset();
        m_stopReader.Reset();
        return false;
    }
    m_input = std::move(input);
    m_childInput = std::move(childInput);
    m_childOutput = std::move(childOutput);
    m_writeDone = std::move(writeDone);
    return true;
}

void CChannel::CloseChildEnds()
{
    m_childInput.Reset();
    m_childOutput.Reset();
}

DWORD WINAPI CChannel::ReaderThread(void *self)
{
    static_cast<CChannel *>(self)->Drain();
    return 0;
}

void CChannel::Drain()
{
    CHandle readDone(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::string chunk(kReadChunk, '\0');
    while (readDone) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = readDone.Get();
        ResetEvent(readDone.Get());
        if (!ReadFile(m_output.Get(), chunk.data(), kReadChunk, nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            break;  // the child's end is gone
        // The stop event comes first, so a child that never stops writing
        // cannot keep the reader from stopping.
        HANDLE events[] = {m_stopReader.Get(), readDone.Get()};
        bool stop = WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1;
        if (stop)
            CancelIoEx(m_output.Get(), &overlapped);
        // After a cancel this waits for the read to finish; what it read
        // before the cancel is still kept.
        DWORD got = 0;
        bool read = GetOverlappedResult(m_output.Get(), &overlapped, &got, TRUE);
        if (got > 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_buffer.append(chunk, 0, got);
            m_arrived.notify_all();
        }
        if (stop || !read)
            break;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ended = true;
    m_arrived.notify_all();
}

EWrite CChannel::Write(std::string_view bytes, Milliseconds timeout)
{
    if (!m_input)
        return EWrite::Closed;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!bytes.empty()) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = m_writeDone.Get();
        ResetEvent(m_writeDone.Get());
        DWORD size = static_cast<DWORD>(std::min<size_t>(bytes.size(), kPipeBuffer));
        if (!WriteFile(m_input.Get(), bytes.data(), size, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING)
            return EWrite::Closed;
        auto left = std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
        bool timedOut = WaitForSingleObject(m_writeDone.Get(), WaitMilliseconds(left)) != WAIT_OBJECT_0;
        if (timedOut)
            CancelIoEx(m_input.Get(), &overlapped);
        DWORD written = 0;
        bool done = GetOverlappedResult(m_input.Get(), &overlapped, &written, TRUE);
        if (timedOut && !done)
            return EWrite::Timeout;
        if (!done)
            return EWrite::Closed;
        bytes.remove_prefix(written);
    }
    return EWrite::Written;
}

ERead CChannel::ReadLine(std::string *line, Milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t feed;
    while ((feed = m_buffer.find('\n')) == std::string::npos && !m_ended) {
        if (m_arrived.wait_until(lock, deadline) == std::cv_status::timeout &&
            m_buffer.find('\n') == std::string::npos && !m_ended)
            return ERead::Timeout;
    }
    if (feed != std::string::npos) {
        line->assign(m_buffer, 0, feed);
        m_buffer.erase(0, feed + 1);
        return ERead::Line;
    }
    if (m_buffer.empty())
        return ERead::Closed;
    line->swap(m_buffer);
    m_buffer.clear();
    return ERead::Line;
}

void CChannel::CloseInput()
{
    m_input.Reset();
}

void CChannel::CloseOutput()
{
    if (m_reader) {
        SetEvent(m_stopReader.Get());
        WaitForSingleObject(m_reader.Get(), INFINITE);
        m_reader.Reset();
    }
    m_output.Reset();
}

}  // namespace ScanHost
