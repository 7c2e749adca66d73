// Process entry: start-up, the choice between serving requests and idling,
// and an orderly shutdown.
#include <windows.h>
#include <shellapi.h>

#include "crash/crashdump.h"
#include "service/log.h"
#include "service/requestloop.h"
#include "service/scan.h"
#include "statuswindow/statuswindow.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    InitializeCriticalSection(&g_csCrash);
    g_strDumpPrefix = L"RavoZazora";
    g_strDumpPrefix.Append(L"-x86");
    InstallCrashDumpFilter();

    // Positional arguments: input handle, output handle, reference window
    // (all hexadecimal) and the dump folder.
    unsigned int input = 0;
    unsigned int output = 0;
    unsigned int reference = 0;
    int count = 0;
    LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments) {
        if (count > 1)
            input = ParseHex(arguments[1]);
        if (count > 2)
            output = ParseHex(arguments[2]);
        if (count > 3)
            reference = ParseHex(arguments[3]);
        if (count > 4 && arguments[4][0])
            g_strDumpFolder = arguments[4];
        LocalFree(arguments);
    }
    PrepareCrashHandling();

    // Without GDI+ the status window has no picture and is not shown.
    StartGdiplus();

    g_hInput = input ? reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(input)) : GetStdHandle(STD_INPUT_HANDLE);
    g_hOutput = output ? reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(output)) : GetStdHandle(STD_OUTPUT_HANDLE);

    // The status window, placed by the host's window (or the foreground one).
    CreateStatusWindow(instance, reinterpret_cast<HWND>(static_cast<UINT_PTR>(reference)));

    LogInfo(L"Quenmoor Plugin Scan Server (x86)\n");

    if (input)
        RunRequestLoop();
    else
        RunMessageLoop();

    FreeCachedModule();
    DestroyStatusWindow();
    StopGdiplus();
    return 0;
}
