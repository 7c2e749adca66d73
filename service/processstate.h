// What a plug-in can change for the whole process or for the thread it runs
// on, and the server puts back after every request: the x87 control word and
// MXCSR (unmasked floating-point exceptions would crash a later, innocent
// plug-in), the current directory, the error mode and the DLL search
// directory. Between requests they hold the server's own settings.
#pragma once

// Takes the server's own settings, as they are to be after every request.
void CaptureProcessState();

// Puts back each setting that differs from the captured one and writes one
// "warn" line for it, naming the setting with the captured and the changed
// value. Does nothing before CaptureProcessState.
void RestoreProcessState();
