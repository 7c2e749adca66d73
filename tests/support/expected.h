// What the tests expect, written once from the protocol rather than from the
// server's code: the names of the audioMaster opcodes, and the report of a
// request that was not scanned.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "host/report/report.h"

// The VST 2 name of an audioMaster opcode as the server logs it: the names of
// 0 to 4 and 6 to 49, "<unknown>" for every other opcode.
inline std::string ExpectedOpcodeName(int opcode)
{
    static const char *const names[50] = {
        "audioMasterAutomate", "audioMasterVersion", "audioMasterCurrentId", "audioMasterIdle",
        "audioMasterPinConnected", nullptr, "audioMasterWantMidi", "audioMasterGetTime", "audioMasterProcessEvents",
        "audioMasterSetTime", "audioMasterTempoAt", "audioMasterGetNumAutomatableParameters",
        "audioMasterGetParameterQuantization", "audioMasterIOChanged", "audioMasterNeedIdle", "audioMasterSizeWindow",
        "audioMasterGetSampleRate", "audioMasterGetBlockSize", "audioMasterGetInputLatency",
        "audioMasterGetOutputLatency", "audioMasterGetPreviousPlug", "audioMasterGetNextPlug",
        "audioMasterWillReplaceOrAccumulate", "audioMasterGetCurrentProcessLevel", "audioMasterGetAutomationState",
        "audioMasterOfflineStart", "audioMasterOfflineRead", "audioMasterOfflineWrite",
        "audioMasterOfflineGetCurrentPass", "audioMasterOfflineGetCurrentMetaPass", "audioMasterSetOutputSampleRate",
        "audioMasterGetOutputSpeakerArrangement", "audioMasterGetVendorString", "audioMasterGetProductString",
        "audioMasterGetVendorVersion", "audioMasterVendorSpecific", "audioMasterSetIcon", "audioMasterCanDo",
        "audioMasterGetLanguage", "audioMasterOpenWindow", "audioMasterCloseWindow", "audioMasterGetDirectory",
        "audioMasterUpdateDisplay", "audioMasterBeginEdit", "audioMasterEndEdit", "audioMasterOpenFileSelector",
        "audioMasterCloseFileSelector", "audioMasterEditFile", "audioMasterGetChunkFile",
        "audioMasterGetInputSpeakerArrangement",
    };
    return opcode >= 0 && opcode < 50 && names[opcode] ? names[opcode] : "<unknown>";
}

// A report that holds every default: id 0, empty texts but for the version
// given, counts 0, flags false, category -1, no shells block. The error is
// the caller's to check.
inline void ExpectDefaultReport(const ScanHost::CReport &r, const std::string &version = "")
{
    EXPECT_EQ(r.idText, "00000000");
    EXPECT_EQ(r.id, 0);
    EXPECT_EQ(r.name, "");
    EXPECT_EQ(r.vendor, "");
    EXPECT_EQ(r.product, "");
    EXPECT_EQ(r.version, version);
    EXPECT_EQ(r.numInputs, 0);
    EXPECT_EQ(r.numOutputs, 0);
    EXPECT_FALSE(r.wantsMidi);
    EXPECT_FALSE(r.sendsMidi);
    EXPECT_EQ(r.platform, "x86");
    EXPECT_FALSE(r.audio64);
    EXPECT_EQ(r.category, -1);
    EXPECT_FALSE(r.synthEdit);
    EXPECT_FALSE(r.hasShells);
    EXPECT_TRUE(r.shells.empty());
}
