// Reading the report object that answers every scan request: the texts of the
// ">" lines, from "{" to "}", parsed into one record. The reader is strict: a
// report is accepted only when it is well formed and holds every key exactly
// once with a value of the right type (a comma before a closing brace is part
// of the format); anything else is rejected with the reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ScanHost {

// One plug-in inside a shell module.
struct CShellEntry {
    std::string idText;  // eight hexadecimal digits, as written
    int32_t id = 0;
    std::string name;    // UTF-8
};

// One report. Texts are UTF-8 with every escape decoded.
struct CReport {
    std::string idText;  // eight hexadecimal digits, as written
    int32_t id = 0;
    std::string name;
    std::string vendor;
    std::string product;
    std::string version;
    std::string error;
    int32_t numInputs = 0;
    int32_t numOutputs = 0;
    bool wantsMidi = false;
    bool sendsMidi = false;
    std::string platform;
    bool audio64 = false;
    int32_t category = 0;
    bool synthEdit = false;
    // Whether the report has a "shells" block (a shell module's report has
    // one, possibly empty); its entries in the order written.
    bool hasShells = false;
    std::vector<CShellEntry> shells;
};

// Parses the texts of a report's ">" lines (without the level and its colon).
// Returns false when they are not one well-formed report, with the reason and
// the line and column where it was found in *error.
bool ParseReport(const std::vector<std::string> &lines, CReport *report, std::string *error);

}  // namespace ScanHost
