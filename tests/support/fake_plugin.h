// A plug-in that lives inside the test program: the program exports
// VSTPluginMain, so ProbeModule (and a scan of the program's own file) can be
// pointed at it. Each test sets g_fake to the behaviour it wants; the fake
// records what the server asked of it.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "probe/vst2.h"

struct SFakePlugin {
    // Behaviour.
    bool returnNull = false;
    int32_t magic = kEffectMagic;
    int32_t numInputs = 2;
    int32_t numOutputs = 2;
    int32_t flags = 0;
    int32_t uniqueID = 0x46616B65;
    // Texts for effGetEffectName, effGetVendorString, effGetProductString;
    // an opcode missing from the map leaves the buffer untouched. The text is
    // copied with its terminator unless textsUnterminated is set.
    std::map<int32_t, std::string> texts = {
        {effGetEffectName, "Fake Effect"},
        {effGetVendorString, "Fake Vendor"},
        {effGetProductString, "Fake Product"},
    };
    bool textsUnterminated = false;
    intptr_t category = 1;
    intptr_t vendorVersion = 1234;
    // Answers to effCanDo by capability name; names not listed answer -1.
    std::map<std::string, intptr_t> canDo;
    // Successive answers to effShellGetNextPlugin as (id, name); after the
    // list, 0. When nextShell is set it is used instead.
    std::vector<std::pair<int32_t, std::string>> shells;
    std::function<int32_t(char *name)> nextShell;
    // Run inside the entry point (with the host callback) and inside effClose.
    std::function<void(audioMasterCallback host)> onEntry;
    std::function<void()> onClose;

    // Observations.
    audioMasterCallback host = nullptr;
    std::vector<int32_t> opcodes;           // every dispatcher call, in order
    std::vector<std::string> canDoAsked;    // capability names, in order
    int entryCalls = 0;
    bool closed = false;
};

extern SFakePlugin g_fake;

// Resets g_fake to the defaults above.
void ResetFakePlugin();

// The fake's effect record (shared by every instance).
AEffect *FakeEffect();
