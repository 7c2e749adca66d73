// Why a step of starting or talking to a child failed: the step and the
// Windows error code, so that a caller can tell a failure worth a retry (a
// busy or exhausted system) from one that is not (a missing program).
#pragma once

#include <cstdint>
#include <string>

namespace ScanHost {

struct CError {
    std::string step;   // what failed: a call ("CreateProcessW") or a stage of the exchange
    uint32_t code = 0;  // the Windows error code (ERROR_*)

    // The calling thread's last error for step.
    static CError Last(std::string step);
    // "step failed: <the system's message for code> (error <code>)".
    std::string Text() const;
};

}  // namespace ScanHost
