#include "server_process.h"

#include <gtest/gtest.h>

#include "desktop.h"
#include "service/scan.h"
#include "support/capture.h"

ServerProcess::ServerProcess(Mode mode, HWND reference)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE requestRead = nullptr, outputWrite = nullptr;
    if (!CreatePipe(&requestRead, &request_, &inherit, 0) || !CreatePipe(&output_, &outputWrite, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed, error " << GetLastError();
        return;
    }
    SetHandleInformation(request_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);

    std::wstring program = ProgramFolder() + L"\\RavoZazora-x86.exe";
    wchar_t arguments[64] = L"";
    if (mode == kServing)
        swprintf(arguments, 64, L" %x %x %x", (unsigned)(UINT_PTR)requestRead, (unsigned)(UINT_PTR)outputWrite,
                 (unsigned)(UINT_PTR)reference);
    std::wstring commandLine = L"\"" + program + L"\"" + arguments;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (mode == kIdle) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = requestRead;
        startup.hStdOutput = outputWrite;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        process_ = info.hProcess;
        pid_ = info.dwProcessId;
        CloseHandle(info.hThread);
    } else {
        ADD_FAILURE() << "can't start the server, error " << GetLastError();
    }
    CloseHandle(requestRead);
    CloseHandle(outputWrite);
}

ServerProcess::~ServerProcess()
{
    if (request_)
        CloseHandle(request_);
    if (process_) {
        if (WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0)
            TerminateProcess(process_, 1);
        CloseHandle(process_);
    }
    if (output_)
        CloseHandle(output_);
}

bool ServerProcess::ReadAvailable(std::string &text)
{
    DWORD available = 0;
    if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr))
        return false;
    if (!available) {
        Sleep(20);
        return true;
    }
    std::string chunk(available, '\0');
    DWORD got = 0;
    if (!ReadFile(output_, &chunk[0], available, &got, nullptr))
        return false;
    text.append(chunk, 0, got);
    return true;
}

std::string ServerProcess::ReadUntil(const std::string &marker)
{
    std::string text;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 20000) {
        if (text.size() >= marker.size() && text.compare(text.size() - marker.size(), marker.size(), marker) == 0)
            break;
        if (!ReadAvailable(text))
            break;
    }
    return text;
}

std::string ServerProcess::ReadFor(DWORD milliseconds)
{
    std::string text;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds && ReadAvailable(text)) {
    }
    return text;
}

void ServerProcess::Send(const std::string &bytes)
{
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(request_, bytes.data(), (DWORD)bytes.size(), &written, nullptr));
}

DWORD ServerProcess::Finish()
{
    CloseHandle(request_);
    request_ = nullptr;
    if (WaitForSingleObject(process_, 20000) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    return code;
}

void ServerProcess::Kill()
{
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
}

std::vector<HWND> ServerProcess::StatusWindows() const
{
    return FindWindowsOf(pid_, L"QuenmoorRavoZazora", L"Quenmoor Scan Server");
}

std::string AnswerInProcess(const wchar_t *request)
{
    COutputCapture capture;
    HandleRequest(Simple::CWideString(request));
    return capture.Text();
}
