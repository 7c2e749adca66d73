// The host callback: its answers, the opcode names and the capability list.
#include "probe/hostcallback.h"

#include "service/log.h"
#include "service/scan.h"

volatile bool g_bWantMidi;

namespace {

struct SOpcodeName {
    int32_t opcode;
    const char *name;  // null in the row that ends the table
};

// The audioMaster opcodes by their published names; 5 has none.
const SOpcodeName kOpcodeNames[] = {
    {0, "audioMasterAutomate"},
    {1, "audioMasterVersion"},
    {2, "audioMasterCurrentId"},
    {3, "audioMasterIdle"},
    {4, "audioMasterPinConnected"},
    {6, "audioMasterWantMidi"},
    {7, "audioMasterGetTime"},
    {8, "audioMasterProcessEvents"},
    {9, "audioMasterSetTime"},
    {10, "audioMasterTempoAt"},
    {11, "audioMasterGetNumAutomatableParameters"},
    {12, "audioMasterGetParameterQuantization"},
    {13, "audioMasterIOChanged"},
    {14, "audioMasterNeedIdle"},
    {15, "audioMasterSizeWindow"},
    {16, "audioMasterGetSampleRate"},
    {17, "audioMasterGetBlockSize"},
    {18, "audioMasterGetInputLatency"},
    {19, "audioMasterGetOutputLatency"},
    {20, "audioMasterGetPreviousPlug"},
    {21, "audioMasterGetNextPlug"},
    {22, "audioMasterWillReplaceOrAccumulate"},
    {23, "audioMasterGetCurrentProcessLevel"},
    {24, "audioMasterGetAutomationState"},
    {25, "audioMasterOfflineStart"},
    {26, "audioMasterOfflineRead"},
    {27, "audioMasterOfflineWrite"},
    {28, "audioMasterOfflineGetCurrentPass"},
    {29, "audioMasterOfflineGetCurrentMetaPass"},
    {30, "audioMasterSetOutputSampleRate"},
    {31, "audioMasterGetOutputSpeakerArrangement"},
    {32, "audioMasterGetVendorString"},
    {33, "audioMasterGetProductString"},
    {34, "audioMasterGetVendorVersion"},
    {35, "audioMasterVendorSpecific"},
    {36, "audioMasterSetIcon"},
    {37, "audioMasterCanDo"},
    {38, "audioMasterGetLanguage"},
    {39, "audioMasterOpenWindow"},
    {40, "audioMasterCloseWindow"},
    {41, "audioMasterGetDirectory"},
    {42, "audioMasterUpdateDisplay"},
    {43, "audioMasterBeginEdit"},
    {44, "audioMasterEndEdit"},
    {45, "audioMasterOpenFileSelector"},
    {46, "audioMasterCloseFileSelector"},
    {47, "audioMasterEditFile"},
    {48, "audioMasterGetChunkFile"},
    {49, "audioMasterGetInputSpeakerArrangement"},
    {0, nullptr},
};

// What the server can do, asked through audioMasterCanDo.
const char *const kHostCapabilities[] = {
    "sizeWindow",
    "sendVstEvents",
    "sendVstMidiEvent",
    "sendVstTimeInfo",
    "supplyIdle",
    "receiveVstEvents",
    "receiveVstMidiEvent",
    "startStopProcess",
    "sendVstMidiEventFlagIsRealtime",
    "shellCategory",
};

const char kHostVendor[] = "Halvorn Software";
const char kHostProduct[] = "Quenmoor";
const int kHostVendorVersion = 3;
const int kHostVstVersion = 2400;
const int kHostSampleRate = 44100;
const int kHostBlockSize = 512;

// Plug-ins give the strings a buffer of 64 bytes: at most 63 characters and
// a terminator.
const int kHostStringMax = 63;

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Equal texts when the letters A to Z are taken as a to z; nothing else is
// folded.
bool EqualIgnoringAsciiCase(const char *a, const char *b)
{
    for (; *a && LowerAscii(*a) == LowerAscii(*b); ++a, ++b) {
    }
    return LowerAscii(*a) == LowerAscii(*b);
}

// Copies text into a plug-in's buffer: at most kHostStringMax characters and
// a terminator. A null buffer gets nothing; the answer is then 0.
intptr_t CopyHostString(void *buffer, const char *text)
{
    if (!buffer)
        return 0;
    char *out = static_cast<char *>(buffer);
    int n = 0;
    for (; n < kHostStringMax && text[n]; ++n)
        out[n] = text[n];
    out[n] = 0;
    return 1;
}

intptr_t AnswerCanDo(const char *name)
{
    LogInfo(L"Query host can do: '%S'\n", name ? name : "");
    if (!name)
        return 0;
    for (const char *capability : kHostCapabilities) {
        if (EqualIgnoringAsciiCase(name, capability))
            return 1;
    }
    return 0;
}

}  // namespace

Simple::CWideString GetAudioMasterOpcodeName(int32_t opcode)
{
    for (const SOpcodeName *row = kOpcodeNames; row->name; ++row) {
        if (row->opcode == opcode)
            return Simple::Widen(row->name);
    }
    return Simple::CWideString(L"<unknown>");
}

intptr_t __cdecl HostCallback(AEffect *, int32_t opcode, int32_t, intptr_t, void *ptr, float)
{
    if (opcode != audioMasterCanDo) {
        Simple::CWideString name = GetAudioMasterOpcodeName(opcode);
        LogInfo(L"Audio master callback: %i - %s\n", opcode, name.text ? name.text : L"");
    }

    // Opcodes are unsigned here: a negative one is simply not handled.
    switch (static_cast<uint32_t>(opcode)) {
    case audioMasterAutomate:
        return 0;
    case audioMasterVersion:
        return kHostVstVersion;
    case audioMasterCurrentId:
        return g_nCurrentShellId;
    case audioMasterWantMidi:
        g_bWantMidi = true;
        return 0;
    case audioMasterNeedIdle:
        return 1;
    case audioMasterGetSampleRate:
        return kHostSampleRate;
    case audioMasterGetBlockSize:
        return kHostBlockSize;
    case audioMasterGetCurrentProcessLevel:
        return kVstProcessLevelOffline;
    case audioMasterGetVendorString:
        return CopyHostString(ptr, kHostVendor);
    case audioMasterGetProductString:
        return CopyHostString(ptr, kHostProduct);
    case audioMasterGetVendorVersion:
        return kHostVendorVersion;
    case audioMasterCanDo:
        return AnswerCanDo(static_cast<const char *>(ptr));
    default:
        LogWarn(L"Unhandled audioMaster opCode - %i\n", opcode);
        return 0;
    }
}
