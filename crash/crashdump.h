// Process-wide crash handling: when plug-in code raises an exception that
// nothing handles, or aborts through the C run time, the filter has a minidump
// written into the host's dump folder (when one was named) and ends the
// process with exit code 9. A dump on disk is always whole: one that could not
// be written completely is removed. Plug-ins often install filters of their
// own, so the server installs this one again around every call into plug-in
// code.
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

// Names tried for one dump before giving up: the plain name, then "-2" up to
// "-<kMaxDumpNames>" before ".mdmp".
const int kMaxDumpNames = 1000;

// How long a crashing thread waits for its dump to be written before the
// process ends without one.
const DWORD kDumpTimeoutMs = 60000;

// Readies crash handling once g_csCrash, g_strDumpPrefix and g_strDumpFolder
// are set: loads DbgHelp and starts the thread that writes dumps (when a dump
// folder is set), gives this thread stack to spare for the filter, routes the
// C run time's abort signal into the crash path and keeps the run time from
// showing its own message box before it. Dumps stay off when DbgHelp cannot
// be had; a crash then falls through to the system.
void PrepareCrashHandling();

// The unhandled-exception filter. Has
// folder\prefix-YYYY-MM-DD-hh-mm-ss[-n].mdmp written (when a folder is set and
// a free name fits) and ends the process with kCrashExitCode. The dump is
// written by a thread kept for the purpose, so that a thread whose stack is
// exhausted still gets one. Returns EXCEPTION_CONTINUE_SEARCH, leaving the
// crash to the system, only when a folder is set and DbgHelp.dll or its
// MiniDumpWriteDump could not be had.
LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS *exception);

// Makes CrashDumpFilter the process's unhandled-exception filter again, and
// the crash path the handler of the C run time's abort signal, which a
// plug-in sharing that run time may have replaced.
void InstallCrashDumpFilter();

// Builds the dump file name for folder, prefix and time into name (which
// holds kDumpNameUnits units); number 1 is the plain name, 2 and above add
// "-<number>" before ".mdmp". Returns false when it does not fit.
bool FormatDumpFileName(wchar_t *name, const wchar_t *folder, const wchar_t *prefix, const SYSTEMTIME &time,
                        int number = 1);
