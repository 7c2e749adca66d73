// Error texts in the system's own words.
#include "host/process/error.h"

#include <windows.h>

#include "host/text/utf8.h"

namespace ScanHost {

CError CError::Last(std::string step)
{
    return {std::move(step), static_cast<uint32_t>(GetLastError())};
}

std::string CError::Text() const
{
    wchar_t *message = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t *>(&message), 0, nullptr);
    std::wstring text(message ? message : L"", length);
    LocalFree(message);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    std::string result = step + " failed: ";
    if (!text.empty())
        result += ToUtf8(text) + " ";
    return result + "(error " + std::to_string(code) + ")";
}

}  // namespace ScanHost
