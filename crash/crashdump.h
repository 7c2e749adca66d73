// Process-wide crash handling: when plug-in code raises an exception that
// nothing handles, the filter writes a minidump into the host's dump folder
// (when one was named) and ends the process with exit code 9. Plug-ins often
// install filters of their own, so the server installs this one again around
// every call into plug-in code.
#pragma once

#include <windows.h>

#include "protocol/protocol.h"
#include "simple/simplestring.h"

// Serialises crash dumps from threads that crash at the same time.
extern CRITICAL_SECTION g_csCrash;
// First part of every dump file name: "RavoZazora-x86".
extern Simple::CWideString g_strDumpPrefix;
// Folder for dumps; null or empty turns dumps off.
extern Simple::CWideString g_strDumpFolder;

// Exit code of a process ended by a crash.
const UINT kCrashExitCode = Protocol::kExitCrash;

// Units of the dump file name, terminator included. A folder whose name
// does not fit gets no dump.
const int kDumpNameUnits = 260;

// The unhandled-exception filter. Writes
// folder\prefix-YYYY-MM-DD-hh-mm-ss.mdmp (when a folder is set and the name
// fits) and ends the process with kCrashExitCode. Returns
// EXCEPTION_CONTINUE_SEARCH, leaving the crash to the system, only when
// DbgHelp.dll or its MiniDumpWriteDump cannot be had.
LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS *exception);

// Makes CrashDumpFilter the process's unhandled-exception filter again.
void InstallCrashDumpFilter();

// Builds the dump file name for folder, prefix and time into name (which
// holds kDumpNameUnits units). Returns false when it does not fit.
bool FormatDumpFileName(wchar_t *name, const wchar_t *folder, const wchar_t *prefix, const SYSTEMTIME &time);
