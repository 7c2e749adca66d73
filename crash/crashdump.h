// Process-wide crash handling: when plug-in code raises an exception that
// nothing handles, the filter writes a minidump into the host's dump folder
// (when one was named) and ends the process with exit code 9.
#pragma once

#include <windows.h>

#include "simple/simplestring.h"

// Serialises crash dumps from threads that crash at the same time.
extern CRITICAL_SECTION g_csCrash;
// First part of every dump file name: "RavoZazora-x86".
extern Simple::CWideString g_strDumpPrefix;
// Folder for dumps; null or empty turns dumps off.
extern Simple::CWideString g_strDumpFolder;

// Exit code of a process ended by a crash.
const UINT kCrashExitCode = 9;
