// Taking and putting back the process settings a plug-in may change.
#include "service/processstate.h"

#include <windows.h>

#include "probe/fpucontrol.h"
#include "service/log.h"
#include "simple/simplestring.h"

namespace {

// The bits that control the units: for x87 the exception masks, precision,
// rounding and infinity control; for MXCSR everything above the exception
// flags, which any arithmetic may set.
const unsigned short kX87ControlBits = 0x1F3F;
const unsigned int kMxcsrControlBits = 0xFFC0;

bool g_bCaptured;
CFpuControl g_fpuControl;
UINT g_nErrorMode;
Simple::CWideString g_strCurrentDirectory;
Simple::CWideString g_strDllDirectory;

typedef DWORD(WINAPI *GetPathProc)(DWORD units, LPWSTR buffer);

// A path that get writes into a buffer, returning its length, or the units it
// needs when the buffer is too small. A path that is not set reads as empty;
// the null string means out of memory.
Simple::CWideString GetPath(GetPathProc get)
{
    Simple::CWideString path;
    DWORD units = MAX_PATH;
    for (;;) {
        wchar_t *buffer = path.GetBuffer(static_cast<int>(units));
        if (!buffer)
            return path;
        DWORD length = get(units + 1, buffer);
        if (length <= units) {
            buffer[length] = 0;
            return path;
        }
        units = length;
    }
}

const wchar_t *Outcome(bool restored)
{
    return restored ? L"restored" : L"could not restore it";
}

}  // namespace

void CaptureProcessState()
{
    g_fpuControl = GetFpuControl();
    g_nErrorMode = GetErrorMode();
    g_strCurrentDirectory = GetPath(GetCurrentDirectoryW);
    g_strDllDirectory = GetPath(GetDllDirectoryW);
    g_bCaptured = true;
}

void RestoreProcessState()
{
    if (!g_bCaptured)
        return;
    CFpuControl fpu = GetFpuControl();
    ResetFpu(g_fpuControl);
    if ((fpu.x87 ^ g_fpuControl.x87) & kX87ControlBits)
        LogWarn(L"Plug-in changed the x87 control word from %.4X to %.4X; restored\n", g_fpuControl.x87, fpu.x87);
    if ((fpu.mxcsr ^ g_fpuControl.mxcsr) & kMxcsrControlBits)
        LogWarn(L"Plug-in changed MXCSR from %.4X to %.4X; restored\n", g_fpuControl.mxcsr, fpu.mxcsr);

    UINT errorMode = GetErrorMode();
    if (errorMode != g_nErrorMode) {
        SetErrorMode(g_nErrorMode);
        LogWarn(L"Plug-in changed the error mode from %.4X to %.4X; %s\n", g_nErrorMode, errorMode,
                Outcome(GetErrorMode() == g_nErrorMode));
    }

    Simple::CWideString directory = GetPath(GetCurrentDirectoryW);
    if (directory.text && g_strCurrentDirectory.text && directory != g_strCurrentDirectory) {
        bool restored = SetCurrentDirectoryW(g_strCurrentDirectory.text) != FALSE;
        LogWarn(L"Plug-in changed the current directory from '%s' to '%s'; %s\n", g_strCurrentDirectory.text,
                directory.text, Outcome(restored));
    }

    // The server sets no DLL directory of its own: none is the default search
    // order, which an empty directory is not.
    Simple::CWideString dllDirectory = GetPath(GetDllDirectoryW);
    if (dllDirectory.text && g_strDllDirectory.text && dllDirectory != g_strDllDirectory) {
        bool restored = SetDllDirectoryW(g_strDllDirectory.IsEmpty() ? nullptr : g_strDllDirectory.text) != FALSE;
        LogWarn(L"Plug-in changed the DLL directory from '%s' to '%s'; %s\n", g_strDllDirectory.text,
                dllDirectory.text, Outcome(restored));
    }
}
