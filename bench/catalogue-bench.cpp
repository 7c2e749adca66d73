// Catalogue benchmark: the time to scan a folder of fixture modules into a
// catalogue with one server and with two, the second run with nothing
// changed (the whole client process, and the library call alone), and the
// first scan again with a new server for every module, as scanners that start
// one process per plug-in work.
//
//   catalogue-bench [MODULES]   (500 by default)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/clock.h"
#include "host/process/childprocess.h"
#include "host/scan.h"
#include "host/text/utf8.h"
#include "tests/fixtures/fixture_files.h"

using namespace ScanHost;

namespace {

const char kConfig[] = "trace=0\nname=Bench Effect\nvendor=Bench\ninputs=2\noutputs=2\ncalls=1\n";

struct CTiming {
    double seconds = 0;
    size_t scanned = 0;
    bool ok = false;
};

CTiming ScanOnce(const std::wstring &folder, const std::wstring &catalogue, unsigned jobs, unsigned perServer)
{
    CCatalogueScanOptions options;
    options.paths = {folder};
    options.cataloguePath = catalogue;
    options.scan.server.serverPath = FixtureFiles::WindowsPath(SERVER_EXE);
    options.scan.jobs = jobs;
    options.scan.modulesPerServer = perServer;
    CCatalogueScanResult result;
    std::string error;
    CTiming timing;
    double begin = Now();
    EScanFailure failure = ScanIntoCatalogue(options, {}, &result, &error);
    timing.seconds = Now() - begin;
    timing.scanned = result.scanned;
    timing.ok = failure == EScanFailure::None;
    if (!timing.ok)
        fprintf(stderr, "scan failed: %s\n", error.c_str());
    return timing;
}

// The whole client process for a run with nothing to scan.
double ClientRun(const std::wstring &folder, const std::wstring &catalogue)
{
    std::wstring command = QuoteArgument(FixtureFiles::WindowsPath(CLIENT_EXE)) + L" --catalogue " +
                           QuoteArgument(catalogue) + L" " + QuoteArgument(folder);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    double begin = Now();
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    double seconds = Now() - begin;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return seconds;
}

void Row(const char *label, const CTiming &timing, size_t modules)
{
    printf("| %-40s | %7zu | %8.2f | %8.2f |\n", label, timing.scanned, timing.seconds,
           timing.scanned ? timing.seconds * 1000 / modules : 0.0);
}

}  // namespace

int main(int argc, char **argv)
{
    size_t modules = argc > 1 ? strtoul(argv[1], nullptr, 10) : 500;
    FixtureFiles::CTempFolder folder, work;
    for (size_t i = 0; i < modules; ++i) {
        if (FixtureFiles::Stage(folder, "fx_effect", L"Bench " + std::to_wstring(1000 + i), kConfig).empty()) {
            fprintf(stderr, "cannot stage the fixtures\n");
            return 1;
        }
    }

    printf("Scanning %zu fixture modules into a catalogue:\n\n", modules);
    printf("| %-40s | %7s | %8s | %8s |\n", "run", "scanned", "s", "ms/mod");
    printf("|%s|%s|%s|%s|\n", std::string(42, '-').c_str(), std::string(9, '-').c_str(),
           std::string(10, '-').c_str(), std::string(10, '-').c_str());
    CTiming one = ScanOnce(folder.path, work / L"one.json", 1, 200);
    Row("first scan, one server", one, modules);
    CTiming two = ScanOnce(folder.path, work / L"two.json", 2, 200);
    Row("first scan, two servers", two, modules);
    CTiming unchanged = ScanOnce(folder.path, work / L"two.json", 2, 200);
    Row("second run, nothing changed (library)", unchanged, modules);
    double client = ClientRun(folder.path, work / L"two.json");
    printf("| %-40s | %7d | %8.2f | %8s |\n", "second run, nothing changed (client)", 0, client, "");
    CTiming perModule = ScanOnce(folder.path, work / L"per-module.json", 1, 1);
    Row("first scan, a new server per module", perModule, modules);

    printf("\ntwo servers against one: %.2f times as fast (target 1.7)\n", one.seconds / two.seconds);
    printf("one server against a server per module: %.2f times as fast (target 5)\n",
           perModule.seconds / one.seconds);
    printf("second run with nothing changed: %.2f s in all (target under 1 s)\n", client);
    return one.ok && two.ok && unchanged.ok && perModule.ok ? 0 : 1;
}
