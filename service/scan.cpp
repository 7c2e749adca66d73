// Serving one request: the request grammar, the module cache and the steps
// around the inspection.
#include "service/scan.h"

#include <wchar.h>

#include "crash/crashdump.h"
#include "probe/probemodule.h"
#include "probe/version.h"
#include "protocol/protocol.h"
#include "service/log.h"
#include "service/processstate.h"
#include "service/requestloop.h"
#include "statuswindow/statuswindow.h"

HMODULE g_hCachedModule;
Simple::CWideString g_strCachedPath;
volatile int g_nCurrentShellId;

namespace {

// Whether kSpareStorageSlots more thread-local and fibre-local storage slots
// can be had: takes them and gives them back.
bool HasSpareStorageSlots()
{
    DWORD tls[kSpareStorageSlots];
    DWORD fls[kSpareStorageSlots];
    int tlsTaken = 0;
    int flsTaken = 0;
    while (tlsTaken < kSpareStorageSlots && (tls[tlsTaken] = TlsAlloc()) != TLS_OUT_OF_INDEXES)
        ++tlsTaken;
    while (flsTaken < kSpareStorageSlots && (fls[flsTaken] = FlsAlloc(nullptr)) != FLS_OUT_OF_INDEXES)
        ++flsTaken;
    bool room = tlsTaken == kSpareStorageSlots && flsTaken == kSpareStorageSlots;
    while (tlsTaken > 0)
        TlsFree(tls[--tlsTaken]);
    while (flsTaken > 0)
        FlsFree(fls[--flsTaken]);
    return room;
}

}  // namespace

void FreeCachedModule()
{
    if (!g_hCachedModule)
        return;
    LogInfo(L"Freeing cached library...\n");
    FreeLibrary(g_hCachedModule);
    g_hCachedModule = nullptr;
    g_strCachedPath.Release();
    LogInfo(L"Freed\n");
}

bool ScanPlugin(const Simple::CWideString &request, CPluginInfo &info)
{
    // A request that could not be copied names nothing: it must neither be
    // loaded nor match the cache.
    if (!request.text) {
        info.error = L"Out of memory";
        return false;
    }
    LogInfo(L"Scanning plugin: '%s'\n", request.text);

    // "path" or "path>id": the path runs to the first ">", the id is read in
    // hexadecimal from the character after it.
    const wchar_t *separator = wcschr(request.text, Protocol::kShellIdSeparator);
    Simple::CWideString path = separator ? Simple::CWideString(request.text, static_cast<int>(separator - request.text))
                                         : request;
    int shellId = separator ? static_cast<int>(ParseHex(separator + 1)) : 0;
    if (!path.text) {
        info.error = L"Out of memory";
        return false;
    }

    InstallCrashDumpFilter();

    HMODULE module;
    bool reused = false;
    if (g_hCachedModule && g_strCachedPath == path) {
        LogInfo(L"Re-using previous library instance...\n");
        module = g_hCachedModule;
        reused = true;
    } else {
        FreeCachedModule();
        if (!HasSpareStorageSlots()) {
            info.error = Protocol::kResourcesExhaustedWide.text;
            return false;
        }
        LogInfo(L"Loading library...\n");
        module = LoadLibraryExW(path.text, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!module) {
            info.error = Simple::CWideString::Format(L"%s%i", Protocol::kLoadFailedWide.text, static_cast<int>(GetLastError()));
            return false;
        }
    }

    Simple::CWideString fileVersion;
    VS_FIXEDFILEINFO fixed;
    if (GetFixedFileVersion(path.text, fixed))
        fileVersion = FormatFileVersion(fixed);

    InstallCrashDumpFilter();
    ActivateStatusWindow();
    PumpMessages();

    g_nCurrentShellId = shellId;
    bool ok = ProbeModule(module, info);
    g_nCurrentShellId = 0;

    // The plug-in's own version wins whenever it gave any text.
    if (info.version.IsEmpty())
        info.version = fileVersion;

    PumpMessages();

    if (info.shells.GetCount() > 0 || reused) {
        LogInfo(L"Keeping shell library loaded for now...\n");
        g_hCachedModule = module;
        g_strCachedPath = path;
    } else {
        LogInfo(L"Freeing library...\n");
        FreeLibrary(module);
        g_hCachedModule = nullptr;
        g_strCachedPath.Release();
    }

    LogInfo(L"Finished\n");
    return ok;
}

void HandleRequest(const Simple::CWideString &request)
{
    CPluginInfo info;
    bool ok = ScanPlugin(request, info);
    RestoreProcessState();
    if (!ok)
        LogError(L"%s\n", info.error.text ? info.error.text : L"");
    ReportPluginInfo(info);
}

void HandleRejectedRequest(const wchar_t *error)
{
    CPluginInfo info;
    info.error = error;
    LogError(L"%s\n", error);
    ReportPluginInfo(info);
}
