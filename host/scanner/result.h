// What a scan found for one module and for each plug-in inside it: the
// records the scanner hands back and the catalogue stores. Every module ends
// with exactly one outcome from a fixed vocabulary and a one-line message;
// texts are UTF-8, times are UTC in ISO 8601.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ScanHost {

enum class EOutcome {
    Ok,          // scanned; its plug-ins are listed
    NotAPlugin,  // no entry point, bad magic, no effect returned, a jBridge module
    LoadError,   // the module could not be loaded
    Crash,       // the server ended with the crash exit code or an NTSTATUS crash code
    Hang,        // the server wrote nothing for the timeout
    Dialog,      // a hang while the server showed a window of its own
    Exit,        // the plug-in ended the server process some other way
};

// The outcome's name in the catalogue: "ok", "not-a-plugin", "load-error",
// "crash", "hang", "dialog", "exit".
const char *OutcomeName(EOutcome outcome);
// The outcome of a name; nothing for a name outside the vocabulary.
std::optional<EOutcome> OutcomeFromName(std::string_view name);
// Whether the outcome is a failure that counts against the scan (every
// outcome but ok and not-a-plugin).
bool IsFailure(EOutcome outcome);

// The system's one-line message for a Windows error code, in UTF-8, e.g.
// "The system cannot find the file specified." ("error N" when the system
// has none).
std::string WindowsErrorText(uint32_t code);

// Where and how a scan failed. stage names what the plug-in was doing:
// "loading", "entry point", "shell enumeration", "close", "unloading"; empty
// when it is not known or does not apply.
struct CFailure {
    std::string stage;
    std::optional<uint32_t> exitCode;
    std::string dump;  // the crash dump's path, empty when none appeared
};

// One plug-in: the report's fields under the report's key names.
struct CPluginEntry {
    std::string id;  // eight hexadecimal digits
    std::string name, vendor, product, version;
    int32_t numInputs = 0;
    int32_t numOutputs = 0;
    bool wantsMidi = false;
    bool sendsMidi = false;
    bool audio64 = false;
    int32_t category = -1;
    bool synthEdit = false;
    // For a plug-in inside a shell: its id in the shell's list.
    std::optional<std::string> shellId;
    // Set only when scanning this one plug-in failed; its report fields are
    // then those the shell's list gave (id and name).
    std::optional<EOutcome> outcome;
    std::string message;
    CFailure failure;
};

// One module file.
struct CModuleEntry {
    std::string path;      // as given to the server (a full Windows path)
    uint64_t size = 0;     // bytes
    std::string modified;  // last-write time, e.g. "2026-12-11T14:27:50.1234567Z"
    std::string scanned;   // when the scan ended, e.g. "2026-12-11T14:28:03Z"
    EOutcome outcome = EOutcome::Ok;
    std::string message;
    CFailure failure;
    std::vector<CPluginEntry> plugins;
};

// Whether the module or one of its plug-ins ended in a failure.
bool HasFailure(const CModuleEntry &module);

}  // namespace ScanHost
