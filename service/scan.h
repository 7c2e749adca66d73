// Serving one request: the scan of the module it names, the error line when
// the scan failed, and one report object in every case.
#pragma once

#include "simple/simplestring.h"

// Scans the module the request names (a null request could not be read) and
// writes the log lines and the report.
void HandleRequest(const Simple::CWideString &request);

// Answers a request that cannot be served: the error line, then a report that
// holds the defaults and error.
void HandleRejectedRequest(const wchar_t *error);
