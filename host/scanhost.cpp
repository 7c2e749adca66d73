// Starting a scan server and talking to it through its pipes.
#include "host/scanhost.h"

#include <algorithm>

namespace ScanHost {

namespace {

// Handles become inheritable only while this lock is held, so a server started
// on another thread of the host never inherits a pipe end meant for this one
// (a stray copy of a write end would keep a pipe from ever reporting its end).
std::mutex g_inheritLock;

// How long the destructor lets a server shut down by itself.
const Milliseconds kShutdownGrace{5000};

// A handle value as the server reads it: hexadecimal digits, no prefix.
std::wstring Hex(HANDLE handle, bool upperCase)
{
    const wchar_t *digits = upperCase ? L"0123456789ABCDEF" : L"0123456789abcdef";
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value & 15]);
        value >>= 4;
    } while (value);
    return text;
}

// Replaces every occurrence of name in text with value.
void Substitute(std::wstring *text, const std::wstring &name, const std::wstring &value)
{
    for (size_t at = text->find(name); at != std::wstring::npos;
         at = text->find(name, at + value.size()))
        text->replace(at, name.size(), value);
}

std::string LastErrorText(const char *what)
{
    return std::string(what) + " failed, error " + std::to_string(GetLastError());
}

void CloseIfOpen(HANDLE *handle)
{
    if (*handle) {
        CloseHandle(*handle);
        *handle = nullptr;
    }
}

}  // namespace

CLine SplitLine(const std::string &line)
{
    static const char *const kLevels[] = {"error", "warn", "info", ">", "ready"};
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string level = line.substr(0, colon);
        for (const char *known : kLevels)
            if (level == known)
                return {level, line.substr(colon + 1)};
    }
    return {std::string(), line};
}

std::string ToUtf8(std::wstring_view text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string result(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        size, nullptr, nullptr);
    return result;
}

std::wstring FromUtf8(std::string_view text)
{
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
    std::wstring result(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        size);
    return result;
}

std::wstring QuoteArgument(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    // Backslashes are literal except in front of a quotation mark, where each
    // must be doubled; so they are also doubled in front of the closing one.
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            quoted.append(backslashes * 2 + 1, L'\\');
        else
            quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

CServerProcess::~CServerProcess()
{
    if (m_process) {
        CloseInput();
        if (!WaitExit(kShutdownGrace))
            Terminate();
    }
    StopReader();
    CloseIfOpen(&m_input);
    CloseIfOpen(&m_job);
    CloseIfOpen(&m_process);
}

bool CServerProcess::Start(const CLaunch &launch, std::string *error)
{
    if (m_process) {
        *error = "the server was already started";
        return false;
    }
    wchar_t fullPath[MAX_PATH * 4];
    DWORD length = GetFullPathNameW(launch.serverPath.c_str(), MAX_PATH * 4, fullPath, nullptr);
    if (length == 0 || length >= MAX_PATH * 4) {
        *error = LastErrorText("GetFullPathNameW");
        return false;
    }

    // Neither pipe is inheritable as created; the child's two ends become so
    // under g_inheritLock just for CreateProcessW.
    HANDLE requestRead = nullptr, requestWrite = nullptr, replyRead = nullptr, replyWrite = nullptr;
    if (!CreatePipe(&requestRead, &requestWrite, nullptr, 0)) {
        *error = LastErrorText("CreatePipe");
        return false;
    }
    if (!CreatePipe(&replyRead, &replyWrite, nullptr, 0)) {
        *error = LastErrorText("CreatePipe");
        CloseHandle(requestRead);
        CloseHandle(requestWrite);
        return false;
    }

    std::wstring arguments;
    if (launch.rawArguments) {
        arguments = *launch.rawArguments;
        Substitute(&arguments, L"{in}", Hex(requestRead, false));
        Substitute(&arguments, L"{out}", Hex(replyWrite, false));
        Substitute(&arguments, L"{IN}", Hex(requestRead, true));
        Substitute(&arguments, L"{OUT}", Hex(replyWrite, true));
    } else {
        arguments = Hex(requestRead, false) + L" " + Hex(replyWrite, false) + L" " +
                    Hex(launch.referenceWindow, false);
        if (!launch.dumpFolder.empty())
            arguments += L" " + QuoteArgument(launch.dumpFolder);
    }
    std::wstring commandLine = QuoteArgument(fullPath);
    if (!arguments.empty())
        commandLine += L" " + arguments;

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    if (launch.standardHandles) {
        startup.hStdInput = requestRead;
        startup.hStdOutput = replyWrite;
        startup.hStdError = replyWrite;
    }

    PROCESS_INFORMATION process = {};
    BOOL started;
    {
        std::lock_guard<std::mutex> lock(g_inheritLock);
        SetHandleInformation(requestRead, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        SetHandleInformation(replyWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        started = CreateProcessW(fullPath, commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                                 &process);
        if (!started)
            *error = LastErrorText("CreateProcessW");
        // The child holds its own copies now; the host keeps only its ends,
        // so each pipe reports its end when the child lets go of it.
        CloseHandle(requestRead);
        CloseHandle(replyWrite);
    }
    if (!started) {
        CloseHandle(requestWrite);
        CloseHandle(replyRead);
        return false;
    }

    // A job that kills the server when the host's last handle to it closes,
    // so a host that dies leaves no server behind. Where jobs are not
    // available the server simply runs without one.
    m_job = CreateJobObjectW(nullptr, nullptr);
    if (m_job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits,
                                     sizeof limits) ||
            !AssignProcessToJobObject(m_job, process.hProcess))
            CloseIfOpen(&m_job);
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    m_process = process.hProcess;
    m_processId = process.dwProcessId;
    m_input = requestWrite;
    m_output = replyRead;
    m_reader = CreateThread(nullptr, 0, ReaderThread, this, 0, nullptr);
    if (!m_reader) {
        *error = LastErrorText("CreateThread");
        CloseHandle(m_output);
        m_output = nullptr;
        Terminate();
        return false;
    }
    return true;
}

DWORD WINAPI CServerProcess::ReaderThread(void *self)
{
    static_cast<CServerProcess *>(self)->Drain();
    return 0;
}

void CServerProcess::Drain()
{
    char chunk[4096];
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopListening)
                break;
        }
        DWORD got = 0;
        BOOL ok = ReadFile(m_output, chunk, sizeof chunk, &got, nullptr);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopListening)
            break;
        if (!ok) {
            // The server closed its end (it ended), or the read broke.
            m_closed = true;
            m_arrived.notify_all();
            break;
        }
        m_buffer.append(chunk, got);
        m_arrived.notify_all();
    }
    CloseHandle(m_output);
    m_output = nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_arrived.notify_all();
}

void CServerProcess::StopReader()
{
    if (!m_reader)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopListening = true;
    }
    // The reader may be blocked in ReadFile: cancel that read until the thread
    // has gone (a cancel that comes just before the read starts is lost).
    while (WaitForSingleObject(m_reader, 20) == WAIT_TIMEOUT)
        CancelSynchronousIo(m_reader);
    CloseHandle(m_reader);
    m_reader = nullptr;
}

bool CServerProcess::Send(std::string_view request)
{
    std::string line(request);
    line += '\n';
    return SendRaw(line);
}

bool CServerProcess::SendRaw(std::string_view bytes)
{
    if (!m_input)
        return false;
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!WriteFile(m_input, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            return false;
        bytes.remove_prefix(written);
    }
    return true;
}

ERead CServerProcess::TakeLine(std::string *line, bool *terminated, Milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t feed = m_buffer.find('\n');
        if (feed != std::string::npos) {
            line->assign(m_buffer, 0, feed);
            m_buffer.erase(0, feed + 1);
            *terminated = true;
            return ERead::Line;
        }
        if (m_closed) {
            if (m_buffer.empty())
                return ERead::Closed;
            line->swap(m_buffer);
            m_buffer.clear();
            *terminated = false;
            return ERead::Line;
        }
        if (m_arrived.wait_until(lock, deadline) == std::cv_status::timeout &&
            m_buffer.find('\n') == std::string::npos && !m_closed)
            return ERead::Timeout;
    }
}

ERead CServerProcess::ReadLine(std::string *line, Milliseconds timeout)
{
    bool terminated;
    return TakeLine(line, &terminated, timeout);
}

CResponse CServerProcess::ReadUntilReady(Milliseconds timeout)
{
    CResponse response;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<Milliseconds>(deadline -
                                                             std::chrono::steady_clock::now());
        std::string line;
        bool terminated = false;
        ERead read = TakeLine(&line, &terminated, std::max(left, Milliseconds(0)));
        if (read == ERead::Closed) {
            response.end = EEnd::Closed;
            return response;
        }
        if (read == ERead::Timeout) {
            response.end = EEnd::Timeout;
            return response;
        }
        if (terminated && line == "ready:") {
            response.end = EEnd::Ready;
            return response;
        }
        response.raw += line;
        if (terminated)
            response.raw += '\n';
        CLine split = SplitLine(line);
        if (split.level == ">")
            response.report.push_back(split.text);
        response.lines.push_back(std::move(split));
    }
}

void CServerProcess::CloseInput()
{
    CloseIfOpen(&m_input);
}

void CServerProcess::CloseOutput()
{
    StopReader();
}

std::optional<DWORD> CServerProcess::WaitExit(Milliseconds timeout)
{
    if (!m_process)
        return std::nullopt;
    if (WaitForSingleObject(m_process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(m_process, &code))
        return std::nullopt;
    return code;
}

void CServerProcess::Terminate()
{
    if (!m_process)
        return;
    TerminateProcess(m_process, 1);
    WaitForSingleObject(m_process, static_cast<DWORD>(kDefaultTimeout.count()));
}

bool CServerProcess::IsRunning() const
{
    return m_process && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT;
}

}  // namespace ScanHost
