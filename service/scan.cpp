// Serving one request.
#include "service/scan.h"

#include "report/plugininfo.h"
#include "service/log.h"

void HandleRejectedRequest(const wchar_t *error)
{
    CPluginInfo info;
    info.error = error;
    LogError(L"%s\n", error);
    ReportPluginInfo(info);
}

void HandleRequest(const Simple::CWideString &)
{
    HandleRejectedRequest(L"Scanning is not available in this build");
}
