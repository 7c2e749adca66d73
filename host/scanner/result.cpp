// The outcome vocabulary of the catalogue.
#include "host/scanner/result.h"

#include <windows.h>

#include "host/text/utf8.h"

namespace ScanHost {

namespace {

struct COutcomeName {
    EOutcome outcome;
    const char *name;
};

const COutcomeName kOutcomeNames[] = {
    {EOutcome::Ok, "ok"},
    {EOutcome::NotAPlugin, "not-a-plugin"},
    {EOutcome::LoadError, "load-error"},
    {EOutcome::Crash, "crash"},
    {EOutcome::Hang, "hang"},
    {EOutcome::Dialog, "dialog"},
    {EOutcome::Exit, "exit"},
};

}  // namespace

const char *OutcomeName(EOutcome outcome)
{
    for (const COutcomeName &entry : kOutcomeNames)
        if (entry.outcome == outcome)
            return entry.name;
    return "unknown";
}

std::optional<EOutcome> OutcomeFromName(std::string_view name)
{
    for (const COutcomeName &entry : kOutcomeNames)
        if (name == entry.name)
            return entry.outcome;
    return std::nullopt;
}

bool IsFailure(EOutcome outcome)
{
    return outcome != EOutcome::Ok && outcome != EOutcome::NotAPlugin;
}

bool HasFailure(const CModuleEntry &module)
{
    if (IsFailure(module.outcome))
        return true;
    for (const CPluginEntry &plugin : module.plugins)
        if (plugin.outcome && IsFailure(*plugin.outcome))
            return true;
    return false;
}

std::string WindowsErrorText(uint32_t code)
{
    wchar_t *text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring message(text ? text : L"", length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L' ' || message.back() == L'\r' || message.back() == L'\n'))
        message.pop_back();
    if (message.empty())
        return "error " + std::to_string(code);
    return ToUtf8(message);
}

}  // namespace ScanHost
