// The windows a scan server shows besides its status window: what a hung
// plug-in is waiting on when it put up a dialog. Reads other processes'
// windows only; changes nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ScanHost {

// One visible top-level window: its title and the texts of its static
// controls (where a message box keeps its text), UTF-8.
struct CShownWindow {
    std::string title;
    std::vector<std::string> texts;
};

// The visible top-level windows of the process, in the system's z order,
// leaving out the server's status window.
std::vector<CShownWindow> WindowsOfProcess(uint32_t processId);

// One line for a message: "\"title\": text text".
std::string DescribeWindow(const CShownWindow &window);

}  // namespace ScanHost
