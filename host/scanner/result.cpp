// The outcome vocabulary of the catalogue.
#include "host/scanner/result.h"

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

}  // namespace ScanHost
