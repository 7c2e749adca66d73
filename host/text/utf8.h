// Texts between the platform's UTF-16 and the UTF-8 of the pipes, the
// reports and the catalogue. Conversions never fail: a unit or byte that is
// not valid becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace ScanHost {

std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

}  // namespace ScanHost
