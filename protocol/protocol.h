// What the scan server and its host must agree on: the lines the server
// writes, the handshake, the request grammar, the exit codes and the error
// texts a host acts on. Both sides take them from here; neither spells them
// out itself. Header only, with nothing but the language, so that every
// build of either side can include it.
#pragma once

#include <stddef.h>

namespace Protocol {

// An ASCII text as UTF-16 units, made at compile time for the server's wide
// texts: Widen("x").text is L"x".
template <size_t N>
struct CWideText {
    wchar_t text[N];
};

template <size_t N>
constexpr CWideText<N> Widen(const char (&ascii)[N])
{
    CWideText<N> wide{};
    for (size_t i = 0; i < N; ++i)
        wide.text[i] = static_cast<wchar_t>(ascii[i]);
    return wide;
}

// Server to host: every line is a level, kLevelSeparator and the text, ended
// by a line feed, in UTF-8. A text never holds a line feed of its own.
inline constexpr char kLevelError[] = "error";  // why a request failed
inline constexpr char kLevelWarn[] = "warn";    // something the server does not handle
inline constexpr char kLevelInfo[] = "info";    // progress; the banner
inline constexpr char kLevelReport[] = ">";     // one line of the report object
inline constexpr char kLevelSeparator[] = ":";

// The handshake: written raw before every read of a request, once after the
// banner and once after each report. The host sends a request only after it.
inline constexpr char kLevelReady[] = "ready";
inline constexpr char kReadyLine[] = "ready:\n";

// Host to server: one request per line, UTF-8, ended by a line feed. A
// request is a module path, optionally followed by kShellIdSeparator and the
// id of one plug-in inside a shell module in hexadecimal (the host writes the
// kShellIdDigits digits the report gives). The path runs to the first
// kShellIdSeparator.
inline constexpr char kShellIdSeparator = '>';
inline constexpr int kShellIdDigits = 8;
// The longest request line served, in bytes without its line feed; a longer
// one is answered with kRequestTooLong and skipped up to its line feed.
inline constexpr int kMaxRequestBytes = 65536;

// How the server ends: kExitOrderly after the request pipe closed,
// kExitCrash when plug-in code crashed (with a dump when a folder was named).
inline constexpr unsigned int kExitOrderly = 0;
inline constexpr unsigned int kExitCrash = 9;

// Error texts, as the "error" line and the report's "error" give them.
inline constexpr char kRequestTooLong[] = "Request too long";
// The process has no room left for another module (its storage slots run
// out): the request was not served, and a fresh server serves it.
inline constexpr char kResourcesExhausted[] = "Server resources exhausted, restart the server";
// Followed by the system error number in decimal.
inline constexpr char kLoadFailed[] = "Failed to load library, err=";
// The module is not a plug-in the server scans.
inline constexpr char kJBridgeRefused[] = "Module is a jBridge bootstrap, ignoring";
inline constexpr char kNoEntryPoint[] = "Entry point not found, not a VST plugin";
inline constexpr char kEntryReturnedNull[] = "Entry point returned NULL";
inline constexpr char kBadMagic[] = "Bad magic";

inline constexpr auto kRequestTooLongWide = Widen(kRequestTooLong);
inline constexpr auto kResourcesExhaustedWide = Widen(kResourcesExhausted);
inline constexpr auto kLoadFailedWide = Widen(kLoadFailed);
inline constexpr auto kJBridgeRefusedWide = Widen(kJBridgeRefused);
inline constexpr auto kNoEntryPointWide = Widen(kNoEntryPoint);
inline constexpr auto kEntryReturnedNullWide = Widen(kEntryReturnedNull);
inline constexpr auto kBadMagicWide = Widen(kBadMagic);

}  // namespace Protocol
