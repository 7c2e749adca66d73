// The inspection of a module: entry point, queries, shell enumeration and a
// guarded close.
#include "probe/probemodule.h"

#include <new>
#include <string.h>

#include "crash/crashdump.h"
#include "probe/guard.h"
#include "probe/hostcallback.h"
#include "probe/version.h"
#include "probe/vst2.h"
#include "protocol/protocol.h"
#include "service/log.h"
#include "simple/map.h"

namespace {

// The resource a SynthEdit-built plug-in carries: type "SE1", id 165.
const wchar_t kSynthEditResourceType[] = L"SE1";
const int kSynthEditResourceId = 165;

VstEntryProc FindEntryPoint(HMODULE module, const char *name)
{
    return reinterpret_cast<VstEntryProc>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

intptr_t Dispatch(AEffect *effect, int32_t opcode, void *ptr)
{
    return effect->dispatcher(effect, opcode, 0, 0, ptr, 0.0f);
}

// The 8-bit text a plug-in writes for one of the string queries, widened.
// An untouched buffer gives the empty string.
Simple::CWideString QueryText(AEffect *effect, int32_t opcode)
{
    char buffer[kQueryBufferBytes + kQuerySlackBytes];
    memset(buffer, 0, sizeof buffer);
    Dispatch(effect, opcode, buffer);
    buffer[sizeof buffer - 1] = 0;
    return Simple::Widen(buffer);
}

// Whether the plug-in answers anything but -1 (no) to a capability.
bool CanDo(AEffect *effect, const char *capability)
{
    return Dispatch(effect, effCanDo, const_cast<char *>(capability)) != -1;
}

typedef Simple::CMap<int, bool, Simple::SValue, Simple::SValue, int> CShellIdSet;

// Asks a shell plug-in for the plug-ins it contains and appends one entry per
// distinct id to info.shells, in the order the plug-in gives them.
void EnumerateShell(AEffect *effect, CPluginInfo &info)
{
    CShellIdSet seen;
    int ids = 0;
    int duplicatesInRow = 0;
    for (;;) {
        Simple::CByteString name;
        char *buffer = name.GetBuffer(kQueryBufferBytes + kQuerySlackBytes);
        if (!buffer) {
            LogWarn(L"Shell enumeration stopped: out of memory\n");
            return;
        }
        memset(buffer, 0, kQueryBufferBytes + kQuerySlackBytes + 1);
        int id = static_cast<int>(Dispatch(effect, effShellGetNextPlugin, buffer));
        buffer[kQueryBufferBytes + kQuerySlackBytes] = 0;
        if (id == 0)
            return;
        if (ids == kMaxShellIds) {
            LogWarn(L"Shell enumeration stopped after %i ids\n", ids);
            return;
        }
        ++ids;

        LogInfo(L"Found shell: %.8X - %S\n", id, buffer);
        if (seen.Lookup(id)) {
            LogInfo(L"   - duplicate, ignoring\n");
            if (++duplicatesInRow == kMaxShellDuplicatesInRow) {
                LogWarn(L"Shell enumeration stopped after %i duplicate ids in a row\n", duplicatesInRow);
                return;
            }
            continue;
        }
        duplicatesInRow = 0;

        CShellInfo *shell = new (std::nothrow) CShellInfo;
        if (shell) {
            shell->id = id;
            shell->name = Simple::Widen(buffer);
        }
        if (!shell || !shell->name.text || !seen.Set(id, true) || !info.shells.Add(shell)) {
            delete shell;
            LogWarn(L"Shell enumeration stopped: out of memory\n");
            return;
        }
    }
}

void __cdecl CloseEffect(void *argument)
{
    Dispatch(static_cast<AEffect *>(argument), effClose, nullptr);
}

}  // namespace

bool ProbeModule(HMODULE module, CPluginInfo &info)
{
    LogInfo(L"Looking for entry point in module %p\n", module);

    if (GetProcAddress(module, "JBridgeBootstrap")) {
        info.error = Protocol::kJBridgeRefusedWide.text;
        return false;
    }

    VstEntryProc entry = FindEntryPoint(module, "VSTPluginMain");
    if (entry) {
        LogInfo(L"Found VSTPluginMain()\n");
    } else {
        entry = FindEntryPoint(module, "main");
        if (!entry) {
            info.error = Protocol::kNoEntryPointWide.text;
            return false;
        }
        LogInfo(L"Found main()\n");
    }

    g_bWantMidi = false;

    InstallCrashDumpFilter();
    LogInfo(L"Calling entry point...\n");
    AEffect *effect = entry(HostCallback);
    // Whatever filter the plug-in installed meanwhile, crashes are ours.
    InstallCrashDumpFilter();

    if (!effect) {
        info.error = Protocol::kEntryReturnedNullWide.text;
        return false;
    }
    if (effect->magic != kEffectMagic) {
        info.error = Protocol::kBadMagicWide.text;
        return false;
    }

    InstallCrashDumpFilter();

    info.synthEdit = FindResourceW(module, MAKEINTRESOURCEW(kSynthEditResourceId), kSynthEditResourceType) != nullptr;
    info.name = QueryText(effect, effGetEffectName);
    info.vendor = QueryText(effect, effGetVendorString);
    info.product = QueryText(effect, effGetProductString);
    info.id = effect->uniqueID;
    info.category = static_cast<int>(Dispatch(effect, effGetPlugCategory, nullptr));
    info.numInputs = effect->numInputs;
    info.numOutputs = effect->numOutputs;
    // The second question of each pair is asked only when the first was
    // answered "no".
    info.wantsMidi = CanDo(effect, "receiveVstMidiEvent") || CanDo(effect, "receiveVstEvents") || g_bWantMidi;
    info.sendsMidi = CanDo(effect, "sendVstMidiEvent") || CanDo(effect, "sendVstEvents");
    info.audio64 = (effect->flags & effFlagsCanDoubleReplacing) != 0;
    info.version = FormatVendorVersion(static_cast<int>(Dispatch(effect, effGetVendorVersion, nullptr)));

    if (effect->flags & effFlagsIsSynth)
        info.category = kPlugCategSynth;
    else if (info.category == kPlugCategUnknown)
        info.category = effect->numInputs != 0 ? kPlugCategEffect : kPlugCategSynth;

    if (info.category == kPlugCategShell)
        EnumerateShell(effect, info);

    LogInfo(L"Dispatching effClose...\n");
    CallGuarded(CloseEffect, effect);
    InstallCrashDumpFilter();
    return true;
}
