// Splitting writes for the output-line tests: report_tests is linked with
// WriteFile wrapped, so that while a CSplitWrites lives, every write to its
// handle goes out in two pieces with a pause between them, as on a handle
// whose writes the system does not keep whole. Every other write goes
// straight to the system.
#pragma once

#include <windows.h>

class CSplitWrites {
public:
    explicit CSplitWrites(HANDLE handle);
    ~CSplitWrites();
    CSplitWrites(const CSplitWrites &) = delete;
    CSplitWrites &operator=(const CSplitWrites &) = delete;
};
