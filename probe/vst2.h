// The part of the VST 2 plug-in interface that the scan server relies on, for
// 32-bit Windows: the effect record's fields at their byte offsets, the
// dispatcher and host-callback opcodes it uses, and the C calling convention
// (the caller removes the arguments). Fields the server never reads are kept
// as opaque padding so that the offsets hold.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct AEffect;

// The host callback a plug-in receives from its entry point, and the
// plug-in's dispatcher: (effect, opcode, index, value, ptr, opt).
typedef intptr_t(__cdecl *audioMasterCallback)(AEffect *effect, int32_t opcode, int32_t index, intptr_t value,
                                               void *ptr, float opt);
typedef intptr_t(__cdecl *AEffectDispatcherProc)(AEffect *effect, int32_t opcode, int32_t index, intptr_t value,
                                                 void *ptr, float opt);
// "VSTPluginMain" or "main": returns the plug-in's effect record, or null.
typedef AEffect *(__cdecl *VstEntryProc)(audioMasterCallback host);

struct AEffect {
    int32_t magic;                     // kEffectMagic
    AEffectDispatcherProc dispatcher;  // every query
    uint8_t unread1[20];
    int32_t numInputs;
    int32_t numOutputs;
    int32_t flags;  // effFlags*
    uint8_t unread2[32];
    int32_t uniqueID;
};

static_assert(sizeof(void *) == 4, "the effect layout here is the 32-bit one");
static_assert(offsetof(AEffect, dispatcher) == 4, "dispatcher at 4");
static_assert(offsetof(AEffect, numInputs) == 28, "numInputs at 28");
static_assert(offsetof(AEffect, numOutputs) == 32, "numOutputs at 32");
static_assert(offsetof(AEffect, flags) == 36, "flags at 36");
static_assert(offsetof(AEffect, uniqueID) == 72, "uniqueID at 72");

// 'VstP': V in the most significant byte.
const int32_t kEffectMagic = 0x56737450;

// Effect flags.
const int32_t effFlagsIsSynth = 0x100;
const int32_t effFlagsCanDoubleReplacing = 0x1000;

// Dispatcher opcodes the server sends.
enum {
    effClose = 1,
    effGetPlugCategory = 35,
    effGetEffectName = 45,
    effGetVendorString = 47,
    effGetProductString = 48,
    effGetVendorVersion = 49,
    effCanDo = 51,
    effShellGetNextPlugin = 70,
};

// Plug-in categories the server looks at.
enum {
    kPlugCategUnknown = 0,
    kPlugCategEffect = 1,
    kPlugCategSynth = 2,
    kPlugCategShell = 10,
};

// Host-callback opcodes the server answers.
enum {
    audioMasterAutomate = 0,
    audioMasterVersion = 1,
    audioMasterCurrentId = 2,
    audioMasterIdle = 3,
    audioMasterWantMidi = 6,
    audioMasterNeedIdle = 14,
    audioMasterGetSampleRate = 16,
    audioMasterGetBlockSize = 17,
    audioMasterGetCurrentProcessLevel = 23,
    audioMasterGetVendorString = 32,
    audioMasterGetProductString = 33,
    audioMasterGetVendorVersion = 34,
    audioMasterCanDo = 37,
};

// Process level answered to audioMasterGetCurrentProcessLevel: offline.
const int kVstProcessLevelOffline = 4;
