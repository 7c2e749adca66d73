// A second client of a catalogue, in a process of its own, for the catalogue
// tests:
//   catalogue_helper hold CATALOGUE   opens it, writes "held" and waits to be ended
//   catalogue_helper write CATALOGUE  opens it and adds one entry after another,
//                                     writing the number of entries once the
//                                     file holds them, until it is ended
// When the catalogue cannot be opened it writes the reason and ends with 1.
#include <cstdio>
#include <string>

#include <windows.h>

#include "host/catalogue/catalogue.h"

using namespace ScanHost;

namespace {

// An entry of a realistic size: a shell of four plug-ins.
CModuleEntry Entry(size_t number)
{
    char name[64];
    snprintf(name, sizeof name, "C:\\Plug-ins\\Module %05u.dll", static_cast<unsigned>(number));
    CModuleEntry entry;
    entry.path = name;
    entry.size = 1000 + number;
    entry.modified = "2026-12-11T14:27:50.1234567Z";
    entry.scanned = CurrentUtcTime();
    entry.message = "4 plug-ins";
    for (int i = 0; i < 4; ++i) {
        CPluginEntry plugin;
        snprintf(name, sizeof name, "%04X%04X", static_cast<unsigned>(number), static_cast<unsigned>(i));
        plugin.id = name;
        plugin.shellId = name;
        plugin.name = "Plug-in " + std::to_string(i);
        plugin.vendor = "Quarry Audio";
        plugin.product = "Quarry Bundle";
        plugin.version = "1.0.0.0";
        plugin.numOutputs = 2;
        entry.plugins.push_back(plugin);
    }
    return entry;
}

void Say(const std::string &line)
{
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3)
        return 2;
    const std::wstring mode = argv[1];
    CCatalogue catalogue;
    std::string warning, error;
    if (!catalogue.Open(argv[2], &warning, &error)) {
        Say(error);
        return 1;
    }
    if (mode == L"hold") {
        Say("held");
        Sleep(INFINITE);
    }
    if (mode == L"write") {
        for (size_t count = catalogue.Modules().size();; ++count) {
            if (!catalogue.Update(Entry(count), &error)) {
                Say(error);
                return 1;
            }
            Say(std::to_string(count + 1));
        }
    }
    return 2;
}
