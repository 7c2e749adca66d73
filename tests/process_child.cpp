// A child for the host library's process and channel tests: one small job
// per run, chosen by the first argument; handles are given in hexadecimal.
//   echo IN OUT          copies IN to OUT until IN ends
//   write OUT TEXT       writes TEXT to OUT as it is (\n stands for a line feed)
//   flood OUT            writes lines to OUT until a write fails
//   sleep                never ends
//   exit CODE            ends with CODE
//   setevents H...       sets each event; the exit code has bit i set when
//                        the i-th handle was an event of this process
//   spawn OUT            starts "sleep" in a process of its own, writes that
//                        process's id and a line feed to OUT, and never ends
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

HANDLE Handle(const wchar_t *text)
{
    return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(wcstoull(text, nullptr, 16)));
}

bool Write(HANDLE output, const std::string &bytes)
{
    DWORD written = 0;
    return WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string Narrow(const wchar_t *text)
{
    std::string narrow;
    for (; *text; ++text) {
        if (text[0] == L'\\' && text[1] == L'n') {
            narrow += '\n';
            ++text;
        } else {
            narrow += static_cast<char>(*text);
        }
    }
    return narrow;
}

int Spawn(HANDLE output)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" sleep";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        return 3;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    Write(output, std::to_string(process.dwProcessId) + "\n");
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"echo" && argc > 3) {
        HANDLE input = Handle(argv[2]), output = Handle(argv[3]);
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(input, chunk, sizeof chunk, &got, nullptr) && got > 0)
            if (!Write(output, std::string(chunk, got)))
                return 4;
        return 0;
    }
    if (mode == L"write" && argc > 3)
        return Write(Handle(argv[2]), Narrow(argv[3])) ? 0 : 4;
    if (mode == L"flood" && argc > 2) {
        for (unsigned line = 0; Write(Handle(argv[2]), "line " + std::to_string(line) + "\n"); ++line) {
        }
        return 0;
    }
    if (mode == L"sleep") {
        Sleep(INFINITE);
        return 0;
    }
    if (mode == L"exit" && argc > 2)
        return _wtoi(argv[2]);
    if (mode == L"setevents") {
        int set = 0;
        for (int i = 2; i < argc; ++i)
            if (SetEvent(Handle(argv[i])))
                set |= 1 << (i - 2);
        return set;
    }
    if (mode == L"spawn" && argc > 2)
        return Spawn(Handle(argv[2]));
    return 2;
}
