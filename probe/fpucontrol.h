// The floating-point control state of the calling thread: the x87 control
// word and, on processors with SSE, MXCSR (0 without SSE). Plug-ins may
// change either; the server reads them before and puts them back after.
#pragma once

struct CFpuControl {
    unsigned short x87;
    unsigned int mxcsr;
};

// This thread's control words.
CFpuControl GetFpuControl();

// Empties the x87 unit (registers and exception flags), loads its control
// word and, with SSE, MXCSR (which also clears its exception flags).
void ResetFpu(const CFpuControl &control);
