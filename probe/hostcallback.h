// The host callback handed to every plug-in: a fixed set of answers that
// present the server as an offline host at 44100 Hz with 512-sample blocks,
// and one log line for every request a plug-in makes, so the host application
// can read what a plug-in asked for up to the moment it failed.
#pragma once

#include <stdint.h>

#include "probe/vst2.h"
#include "simple/simplestring.h"

// Set when a plug-in sends audioMasterWantMidi; ProbeModule clears it before
// calling an entry point. Plug-ins may call from threads of their own.
extern volatile bool g_bWantMidi;

// The host callback (see audioMasterCallback). Looks only at the opcode and,
// for the vendor and product strings and audioMasterCanDo, at ptr. May be
// called from any thread; takes no lock of its own.
intptr_t __cdecl HostCallback(AEffect *effect, int32_t opcode, int32_t index, intptr_t value, void *ptr,
                              float opt);

// The name of an audioMaster opcode for the log ("audioMasterIdle"), or
// "<unknown>" for a number that names none. Null only when memory runs out.
Simple::CWideString GetAudioMasterOpcodeName(int32_t opcode);
