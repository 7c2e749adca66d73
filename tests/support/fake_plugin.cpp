// The fake plug-in's entry point and dispatcher.
#include "support/fake_plugin.h"

#include <string.h>

SFakePlugin g_fake;

namespace {

AEffect g_effect;

intptr_t __cdecl FakeDispatcher(AEffect *, int32_t opcode, int32_t, intptr_t, void *ptr, float)
{
    g_fake.opcodes.push_back(opcode);
    switch (opcode) {
    case effGetEffectName:
    case effGetVendorString:
    case effGetProductString: {
        auto text = g_fake.texts.find(opcode);
        if (text != g_fake.texts.end())
            memcpy(ptr, text->second.c_str(), text->second.size() + (g_fake.textsUnterminated ? 0 : 1));
        return 0;
    }
    case effGetPlugCategory:
        return g_fake.category;
    case effGetVendorVersion:
        return g_fake.vendorVersion;
    case effCanDo: {
        std::string name = static_cast<const char *>(ptr);
        g_fake.canDoAsked.push_back(name);
        auto answer = g_fake.canDo.find(name);
        return answer == g_fake.canDo.end() ? -1 : answer->second;
    }
    case effShellGetNextPlugin: {
        char *name = static_cast<char *>(ptr);
        if (g_fake.nextShell)
            return g_fake.nextShell(name);
        if (g_fake.shells.empty())
            return 0;
        auto next = g_fake.shells.front();
        g_fake.shells.erase(g_fake.shells.begin());
        strcpy(name, next.second.c_str());
        return next.first;
    }
    case effClose:
        if (g_fake.onClose)
            g_fake.onClose();
        g_fake.closed = true;
        return 0;
    default:
        return 0;
    }
}

}  // namespace

void ResetFakePlugin()
{
    g_fake = SFakePlugin();
}

AEffect *FakeEffect()
{
    return &g_effect;
}

extern "C" __declspec(dllexport) AEffect *__cdecl VSTPluginMain(audioMasterCallback host)
{
    ++g_fake.entryCalls;
    g_fake.host = host;
    if (g_fake.onEntry)
        g_fake.onEntry(host);
    if (g_fake.returnNull)
        return nullptr;
    memset(&g_effect, 0, sizeof g_effect);
    g_effect.magic = g_fake.magic;
    g_effect.dispatcher = FakeDispatcher;
    g_effect.numInputs = g_fake.numInputs;
    g_effect.numOutputs = g_fake.numOutputs;
    g_effect.flags = g_fake.flags;
    g_effect.uniqueID = g_fake.uniqueID;
    return &g_effect;
}
