// Crash-dump state shared by the entry and the filter.
#include "crash/crashdump.h"

CRITICAL_SECTION g_csCrash;
Simple::CWideString g_strDumpPrefix;
Simple::CWideString g_strDumpFolder;
