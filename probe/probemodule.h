// The inspection of one loaded module: whether it is a VST 2 plug-in and, if
// so, what it reports of itself. The plug-in is instantiated through its entry
// point, asked through its dispatcher and closed again within the call; it
// never outlives it. The module itself belongs to the caller.
#pragma once

#include <windows.h>

#include "report/plugininfo.h"

// Query buffers are the size plug-ins are promised, plus slack the server
// keeps to itself: a plug-in that writes somewhat past the promised size
// writes into the slack rather than into the server's own state, and a text
// it leaves without a terminator ends at the slack's last byte.
const int kQueryBufferBytes = 512;
const int kQuerySlackBytes = 512;

// A shell whose enumeration does not end is cut off: after this many ids,
// or after this many duplicate ids in a row. What was found until then is
// reported, with a warning line that says why the list stopped.
const int kMaxShellIds = 4096;
const int kMaxShellDuplicatesInRow = 256;

// Fills info from the plug-in in module. Returns true when the module was
// recognised and queried (every field but error written), false with only
// info.error set when it is not a usable plug-in. An exception raised inside
// the plug-in's effClose is swallowed; any other crash in plug-in code goes
// to the crash dump filter and does not come back.
bool ProbeModule(HMODULE module, CPluginInfo &info);
