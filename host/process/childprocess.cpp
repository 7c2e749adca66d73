// Starting a child with an explicit handle list, inside a kill-on-close job.
#include "host/process/childprocess.h"

#include <windows.h>

#include <algorithm>

namespace ScanHost {

namespace {

std::optional<std::wstring> FullPath(const std::wstring &path, CError *error)
{
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        *error = CError::Last("GetFullPathNameW");
        return std::nullopt;
    }
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) {
        *error = CError::Last("GetFullPathNameW");
        return std::nullopt;
    }
    full.resize(length);
    return full;
}

// A PROC_THREAD_ATTRIBUTE_HANDLE_LIST for CreateProcessW; the handles must
// outlive it.
class CHandleList {
public:
    ~CHandleList()
    {
        if (m_initialised)
            DeleteProcThreadAttributeList(List());
    }

    bool Build(std::vector<HANDLE> *handles, CError *error)
    {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        m_storage.resize(size);
        if (!InitializeProcThreadAttributeList(List(), 1, 0, &size)) {
            *error = CError::Last("InitializeProcThreadAttributeList");
            return false;
        }
        m_initialised = true;
        if (!UpdateProcThreadAttribute(List(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles->data(),
                                       handles->size() * sizeof(HANDLE), nullptr, nullptr)) {
            *error = CError::Last("UpdateProcThreadAttribute");
            return false;
        }
        return true;
    }

    LPPROC_THREAD_ATTRIBUTE_LIST List() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.data()); }

private:
    std::vector<char> m_storage;
    bool m_initialised = false;
};

// Makes the listed handles inheritable, which the handle list requires, for
// as long as it lives, and gives each back the flag it had. Only these
// handles change, and only around CreateProcessW.
class CInheritable {
public:
    ~CInheritable()
    {
        for (HANDLE handle : m_changed)
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    }

    bool Make(const std::vector<HANDLE> &handles, CError *error)
    {
        for (HANDLE handle : handles) {
            DWORD flags = 0;
            if (!GetHandleInformation(handle, &flags)) {
                *error = CError::Last("GetHandleInformation");
                return false;
            }
            if (flags & HANDLE_FLAG_INHERIT)
                continue;
            if (!SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
                *error = CError::Last("SetHandleInformation");
                return false;
            }
            m_changed.push_back(handle);
        }
        return true;
    }

private:
    std::vector<HANDLE> m_changed;
};

}  // namespace

bool CChildProcess::Start(const CChildLaunch &launch, CError *error)
{
    if (m_process) {
        *error = {"starting a child", ERROR_ALREADY_INITIALIZED};
        return false;
    }
    std::optional<std::wstring> program = FullPath(launch.program, error);
    if (!program)
        return false;
    std::wstring commandLine = QuoteArgument(*program);
    if (!launch.arguments.empty())
        commandLine += L" " + launch.arguments;

    // The job exists before the child, so the child never runs outside it.
    CHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        *error = CError::Last("CreateJobObjectW");
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        *error = CError::Last("SetInformationJobObject");
        return false;
    }

    std::vector<HANDLE> handles(launch.inherit.begin(), launch.inherit.end());
    for (HANDLE standard : {launch.standardInput, launch.standardOutput, launch.standardError})
        handles.push_back(standard);
    handles.erase(std::remove(handles.begin(), handles.end(), nullptr), handles.end());
    std::sort(handles.begin(), handles.end());
    handles.erase(std::unique(handles.begin(), handles.end()), handles.end());

    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = launch.standardInput;
    startup.StartupInfo.hStdOutput = launch.standardOutput;
    startup.StartupInfo.hStdError = launch.standardError;
    DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW;
    CHandleList list;
    if (!handles.empty()) {
        if (!list.Build(&handles, error))
            return false;
        startup.lpAttributeList = list.List();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }

    PROCESS_INFORMATION started = {};
    {
        CInheritable inheritable;
        if (!inheritable.Make(handles, error))
            return false;
        if (!CreateProcessW(program->c_str(), commandLine.data(), nullptr, nullptr, !handles.empty(), flags,
                            nullptr, nullptr, &startup.StartupInfo, &started)) {
            *error = CError::Last("CreateProcessW");
            return false;
        }
    }
    CHandle process(started.hProcess);
    CHandle thread(started.hThread);
    // Until it is resumed the child has run none of its own code.
    if (!AssignProcessToJobObject(job.Get(), process.Get())) {
        *error = CError::Last("AssignProcessToJobObject");
        TerminateProcess(process.Get(), 1);
        return false;
    }
    if (ResumeThread(thread.Get()) == static_cast<DWORD>(-1)) {
        *error = CError::Last("ResumeThread");
        TerminateJobObject(job.Get(), 1);
        return false;
    }
    m_job = std::move(job);
    m_process = std::move(process);
    m_processId = started.dwProcessId;
    return true;
}

std::optional<uint32_t> CChildProcess::WaitExit(std::chrono::milliseconds timeout)
{
    if (!m_process)
        return std::nullopt;
    DWORD wait = static_cast<DWORD>(std::clamp<long long>(timeout.count(), 0, INFINITE - 1));
    if (WaitForSingleObject(m_process.Get(), wait) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(m_process.Get(), &code))
        return std::nullopt;
    return code;
}

void CChildProcess::Terminate(uint32_t exitCode)
{
    if (!m_process)
        return;
    if (!TerminateJobObject(m_job.Get(), exitCode))
        TerminateProcess(m_process.Get(), exitCode);
}

bool CChildProcess::IsRunning() const
{
    return m_process && WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT;
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

std::wstring HexArgument(uintptr_t value, bool upperCase)
{
    const wchar_t *digits = upperCase ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value & 15]);
        value >>= 4;
    } while (value);
    return text;
}

}  // namespace ScanHost
