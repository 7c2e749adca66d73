// Serving one request: the scan of the module it names, the error line when
// the scan failed, and one report object in every case. Between requests at
// most one module stays loaded (the module cache), so that the plug-ins of a
// shell module can be scanned one by one without loading it again; it is
// freed by the next request for another path, or at shutdown.
#pragma once

#include <windows.h>

#include "report/plugininfo.h"
#include "simple/simplestring.h"

// The module kept loaded after the last request, or null, and the path it was
// loaded from (the request without its ">" suffix); null together.
extern HMODULE g_hCachedModule;
extern Simple::CWideString g_strCachedPath;

// The shell id of the request being inspected, answered to
// audioMasterCurrentId; 0 at all other times.
extern volatile int g_nCurrentShellId;

// Thread- and fibre-local storage slots that must still be free before a
// module is loaded. Plug-ins that take slots at start-up and never give them
// back use the process's slots up; a module loaded without any would fail in
// its own start-up and look guilty. Without the room the request is refused
// with Protocol::kResourcesExhausted, and the host starts a fresh server.
const int kSpareStorageSlots = 32;

// Scans the module the request names (a null request could not be read),
// puts back the process settings the plug-in changed (processstate.h) and
// writes the log lines and the report.
void HandleRequest(const Simple::CWideString &request);

// Scans the module named by request ("path" or "path>hex id") into info.
// Returns true when the module was inspected as a plug-in, false with the
// reason in info.error.
bool ScanPlugin(const Simple::CWideString &request, CPluginInfo &info);

// Frees the kept module, if any, with its log lines; the cache is then empty.
void FreeCachedModule();

// Answers a request that cannot be served: the error line, then a report that
// holds the defaults and error.
void HandleRejectedRequest(const wchar_t *error);
