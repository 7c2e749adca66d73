// The crash dump filter, the thread that writes dumps for it, and the state
// they read.
#include "crash/crashdump.h"

#include <dbghelp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

CRITICAL_SECTION g_csCrash;
Simple::CWideString g_strDumpPrefix;
Simple::CWideString g_strDumpFolder;

namespace {

typedef BOOL(WINAPI *MiniDumpWriteDumpProc)(HANDLE process, DWORD processId, HANDLE file, MINIDUMP_TYPE type,
                                            PMINIDUMP_EXCEPTION_INFORMATION exception,
                                            PMINIDUMP_USER_STREAM_INFORMATION userStreams,
                                            PMINIDUMP_CALLBACK_INFORMATION callback);

// Stack this thread keeps in reserve for the filter when its stack
// overflows.
const ULONG kFilterStackBytes = 32 * 1024;

MiniDumpWriteDumpProc g_writeDump;

// The dump writer waits for g_hDumpRequested, writes the dump of the crash
// described by g_pDumpException and g_nDumpThreadId, and sets
// g_hDumpWritten. Null when the thread could not be started: the crashing
// thread then writes its dump itself.
HANDLE g_hDumpWriter;
DWORD g_nDumpWriterId;
HANDLE g_hDumpRequested;
HANDLE g_hDumpWritten;
EXCEPTION_POINTERS *volatile g_pDumpException;
volatile DWORD g_nDumpThreadId;

// Marks the file for removal when its handle closes, or takes the mark off
// again. Returns false when the file system refuses.
bool SetRemoveOnClose(HANDLE file, bool remove)
{
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = remove;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Creates the first dump file name for time that no file has yet. Returns
// INVALID_HANDLE_VALUE when none fits or the folder takes no file.
HANDLE CreateDumpFile(const SYSTEMTIME &time, wchar_t *name)
{
    const wchar_t *prefix = g_strDumpPrefix.text ? g_strDumpPrefix.text : L"";
    for (int number = 1; number <= kMaxDumpNames; ++number) {
        if (!FormatDumpFileName(name, g_strDumpFolder.text, prefix, time, number))
            return INVALID_HANDLE_VALUE;
        HANDLE file =
            CreateFileW(name, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        // A dump another server is still writing refuses access until it is
        // whole.
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

void WriteDump(EXCEPTION_POINTERS *exception, DWORD threadId)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[kDumpNameUnits];
    HANDLE file = CreateDumpFile(now, name);
    if (file == INVALID_HANDLE_VALUE)
        return;
    // Until the dump is whole, the file goes with its handle, also when the
    // process is ended halfway through.
    bool marked = SetRemoveOnClose(file, true);
    MINIDUMP_EXCEPTION_INFORMATION information;
    information.ThreadId = threadId;
    information.ExceptionPointers = exception;
    information.ClientPointers = FALSE;
    bool whole = g_writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &information, nullptr,
                             nullptr) != FALSE;
    if (whole && marked)
        whole = SetRemoveOnClose(file, false);
    CloseHandle(file);
    if (!whole && !marked)
        DeleteFileW(name);
}

DWORD WINAPI DumpWriterThread(void *)
{
    WaitForSingleObject(g_hDumpRequested, INFINITE);
    WriteDump(g_pDumpException, g_nDumpThreadId);
    SetEvent(g_hDumpWritten);
    return 0;
}

// The C run time's abort() raises SIGABRT; the crash is dumped as the
// exception a fatal application exit raises, at the handler's own frame.
void __cdecl AbortSignalHandler(int)
{
    CONTEXT context;
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = STATUS_FATAL_APP_EXIT;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<void *>(static_cast<UINT_PTR>(context.Eip));
    EXCEPTION_POINTERS pointers = {&record, &context};
    CrashDumpFilter(&pointers);
}

}  // namespace

bool FormatDumpFileName(wchar_t *name, const wchar_t *folder, const wchar_t *prefix, const SYSTEMTIME &time,
                        int number)
{
    wchar_t suffix[16] = L"";
    if (number > 1)
        _snwprintf(suffix, sizeof suffix / sizeof suffix[0] - 1, L"-%i", number);
    // The bounded formatter gives a negative count when the text does not
    // fit, and leaves no terminator when it fills every unit exactly.
    int n = _snwprintf(name, kDumpNameUnits, L"%s\\%s-%.4i-%.2i-%.2i-%.2i-%.2i-%.2i%s.mdmp", folder, prefix,
                       time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, suffix);
    if (n < 0 || n >= kDumpNameUnits) {
        name[0] = 0;
        return false;
    }
    return true;
}

void PrepareCrashHandling()
{
    ULONG guarantee = kFilterStackBytes;
    SetThreadStackGuarantee(&guarantee);
    // Without this the run time's abort() shows a message box for a program
    // with windows, and waits for it, before raising its signal.
    _set_error_mode(_OUT_TO_STDERR);
    InstallCrashDumpFilter();

    if (g_strDumpFolder.IsEmpty())
        return;
    HMODULE dbghelp = LoadLibraryW(L"DbgHelp.dll");
    if (!dbghelp)
        return;
    g_writeDump =
        reinterpret_cast<MiniDumpWriteDumpProc>(reinterpret_cast<void *>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
    if (!g_writeDump)
        return;
    g_hDumpRequested = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_hDumpWritten = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_hDumpRequested && g_hDumpWritten)
        g_hDumpWriter = CreateThread(nullptr, 0, DumpWriterThread, nullptr, 0, &g_nDumpWriterId);
}

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS *exception)
{
    // The writer itself faulted: the dump it was writing is lost.
    if (GetCurrentThreadId() == g_nDumpWriterId)
        TerminateProcess(GetCurrentProcess(), kCrashExitCode);

    if (!g_strDumpFolder.IsEmpty()) {
        EnterCriticalSection(&g_csCrash);
        if (!g_writeDump) {
            LeaveCriticalSection(&g_csCrash);
            return EXCEPTION_CONTINUE_SEARCH;
        }
        // On an exhausted stack this thread can do little more than wait.
        if (g_hDumpWriter) {
            g_pDumpException = exception;
            g_nDumpThreadId = GetCurrentThreadId();
            SignalObjectAndWait(g_hDumpRequested, g_hDumpWritten, kDumpTimeoutMs, FALSE);
        } else {
            WriteDump(exception, GetCurrentThreadId());
        }
        // The section stays taken: a thread that crashes meanwhile waits
        // here until the process is gone, rather than adding a dump while
        // this one ends the process.
    }
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

void InstallCrashDumpFilter()
{
    SetUnhandledExceptionFilter(CrashDumpFilter);
    signal(SIGABRT, AbortSignalHandler);
}
