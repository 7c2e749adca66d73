// The crash dump filter and the state it reads.
#include "crash/crashdump.h"

#include <dbghelp.h>
#include <stdio.h>

CRITICAL_SECTION g_csCrash;
Simple::CWideString g_strDumpPrefix;
Simple::CWideString g_strDumpFolder;

namespace {

typedef BOOL(WINAPI *MiniDumpWriteDumpProc)(HANDLE process, DWORD processId, HANDLE file, MINIDUMP_TYPE type,
                                            PMINIDUMP_EXCEPTION_INFORMATION exception,
                                            PMINIDUMP_USER_STREAM_INFORMATION userStreams,
                                            PMINIDUMP_CALLBACK_INFORMATION callback);

}  // namespace

bool FormatDumpFileName(wchar_t *name, const wchar_t *folder, const wchar_t *prefix, const SYSTEMTIME &time)
{
    // The bounded formatter gives a negative count when the text does not
    // fit, and leaves no terminator when it fills every unit exactly.
    int n = _snwprintf(name, kDumpNameUnits, L"%s\\%s-%.4i-%.2i-%.2i-%.2i-%.2i-%.2i.mdmp", folder, prefix,
                       time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond);
    if (n < 0 || n >= kDumpNameUnits) {
        name[0] = 0;
        return false;
    }
    return true;
}

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS *exception)
{
    if (!g_strDumpFolder.IsEmpty()) {
        EnterCriticalSection(&g_csCrash);

        HMODULE dbghelp = LoadLibraryW(L"DbgHelp.dll");
        if (!dbghelp) {
            LeaveCriticalSection(&g_csCrash);
            return EXCEPTION_CONTINUE_SEARCH;
        }
        MiniDumpWriteDumpProc writeDump =
            reinterpret_cast<MiniDumpWriteDumpProc>(reinterpret_cast<void *>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
        if (!writeDump) {
            LeaveCriticalSection(&g_csCrash);
            return EXCEPTION_CONTINUE_SEARCH;
        }

        SYSTEMTIME now;
        GetLocalTime(&now);
        wchar_t name[kDumpNameUnits];
        if (FormatDumpFileName(name, g_strDumpFolder.text, g_strDumpPrefix.text ? g_strDumpPrefix.text : L"", now)) {
            HANDLE file =
                CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                MINIDUMP_EXCEPTION_INFORMATION information;
                information.ThreadId = GetCurrentThreadId();
                information.ExceptionPointers = exception;
                information.ClientPointers = FALSE;
                writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &information, nullptr,
                          nullptr);
                CloseHandle(file);
            }
        }
        // The section stays taken: a thread that crashes meanwhile waits
        // here until the process is gone, rather than replacing or adding a
        // dump while this one ends the process.
    }
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

void InstallCrashDumpFilter()
{
    SetUnhandledExceptionFilter(CrashDumpFilter);
}
