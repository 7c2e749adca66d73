// A structured-exception guard around one call into plug-in code, for a
// compiler that has no __try. The guard is an exception registration record
// on this thread's handler chain for exactly the duration of the call:
// handlers that the plug-in installs inside the call are asked first, other
// threads never see the guard, and once the call is over (returned or
// caught) the chain is as it was before.
#pragma once

// Calls call(argument) on this thread. Returns true when the call returned,
// false when an exception raised inside it reached the guard; the stack
// frames of the call are then unwound (their own handlers are told) and
// execution goes on after the call, with the floating-point unit cleared and
// its control words as they were before the call.
bool CallGuarded(void(__cdecl *call)(void *argument), void *argument);
