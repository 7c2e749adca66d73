// Measures one full scan request through the scan server (the request
// written, every line of its answer read up to the next "ready:") against
// the floor: the same load, entry call, queries, close and free done in this
// process by a bare loop, with a host callback that only answers. Two
// plug-ins: the fixture effect, and a fixture shell listing 100 sub-plug-ins.
// The shell is requested from two copies in turn, so that every request
// frees one module and loads another, as the floor does. Prints median and
// minimum over the iterations; it checks nothing.
//
//   scan-bench [ITERATIONS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/clock.h"
#include "host/server/scanserver.h"
#include "host/text/utf8.h"
#include "probe/vst2.h"
#include "tests/fixtures/fixture_files.h"

using namespace ScanHost;

namespace {

// Longest wait for the server's next line.
const std::chrono::milliseconds kSilence{30000};

intptr_t __cdecl BareHost(AEffect *, int32_t opcode, int32_t, intptr_t, void *, float)
{
    return opcode == audioMasterVersion ? 2400 : 0;
}

// What the floor finds out, kept as the server keeps it.
struct CFloorResult {
    std::vector<std::string> texts;
    intptr_t category = -1;
    bool wantsMidi = false;
    bool sendsMidi = false;
    bool synthEdit = false;
    intptr_t version = 0;
    std::vector<std::pair<intptr_t, std::string>> shells;
};

// The floor: one scan done directly. Returns false when the module does not
// load or is not a plug-in.
bool ScanInProcess(const std::wstring &path, CFloorResult *result)
{
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module)
        return false;
    *result = CFloorResult();
    auto entry = reinterpret_cast<VstEntryProc>(reinterpret_cast<void *>(GetProcAddress(module, "VSTPluginMain")));
    AEffect *effect = !GetProcAddress(module, "JBridgeBootstrap") && entry ? entry(BareHost) : nullptr;
    bool ok = effect && effect->magic == kEffectMagic;
    if (ok) {
        auto ask = [effect](int32_t opcode, const void *ptr) {
            return effect->dispatcher(effect, opcode, 0, 0, const_cast<void *>(ptr), 0.0f);
        };
        result->synthEdit = FindResourceW(module, MAKEINTRESOURCEW(165), L"SE1") != nullptr;
        for (int32_t opcode : {effGetEffectName, effGetVendorString, effGetProductString}) {
            char buffer[512] = {};
            ask(opcode, buffer);
            result->texts.push_back(buffer);
        }
        result->category = ask(effGetPlugCategory, nullptr);
        result->wantsMidi = ask(effCanDo, "receiveVstMidiEvent") != -1 || ask(effCanDo, "receiveVstEvents") != -1;
        result->sendsMidi = ask(effCanDo, "sendVstMidiEvent") != -1 || ask(effCanDo, "sendVstEvents") != -1;
        result->version = ask(effGetVendorVersion, nullptr);
        if (result->category == kPlugCategShell) {
            for (;;) {
                char name[513] = {};
                intptr_t id = ask(effShellGetNextPlugin, name);
                if (!id)
                    break;
                auto &shells = result->shells;
                if (std::none_of(shells.begin(), shells.end(), [id](const auto &s) { return s.first == id; }))
                    shells.emplace_back(id, name);
            }
        }
        ask(effClose, nullptr);
    }
    FreeLibrary(module);
    return ok;
}

struct CFigures {
    double median = 0;
    double min = 0;
};

CFigures Summarise(std::vector<double> times)
{
    CFigures figures;
    if (times.empty())
        return figures;
    std::sort(times.begin(), times.end());
    figures.median = times[times.size() / 2];
    figures.min = times.front();
    return figures;
}

// Times iterations of the in-process scan of paths in turn, in milliseconds.
std::vector<double> MeasureFloor(const std::vector<std::wstring> &paths, int iterations, size_t *shellCount)
{
    std::vector<double> times;
    CFloorResult result;
    for (int i = 0; i < iterations; ++i) {
        double start = Now();
        if (!ScanInProcess(paths[i % paths.size()], &result))
            return {};
        *shellCount = result.shells.size();
        times.push_back((Now() - start) * 1000);
    }
    return times;
}

// Times iterations of one request each through server, paths in turn.
std::vector<double> MeasureServer(CScanServer &server, const std::vector<std::wstring> &paths, int iterations,
                                  size_t *lines)
{
    std::vector<double> times;
    for (int i = 0; i < iterations; ++i) {
        double start = Now();
        CExchange response = server.Request(ToUtf8(paths[i % paths.size()]), kSilence);
        if (response.end != EExchangeEnd::Ready)
            return {};
        times.push_back((Now() - start) * 1000);
        *lines = response.lines.size();
    }
    return times;
}

}  // namespace

int main(int argc, char **argv)
{
    int iterations = argc > 1 ? atoi(argv[1]) : 100;
    if (iterations < 1)
        iterations = 1;

    FixtureFiles::CTempFolder folder;
    const char effectConfig[] = "trace=0\nid=0x45464654\nname=Bench Effect\nvendor=Fixture Works\nproduct=Bench\n"
                                "inputs=2\noutputs=2\ncategory=1\nvendorVersion=1200\ncalls=1\n"
                                "canDo.receiveVstMidiEvent=-1\ncanDo.receiveVstEvents=-1\n"
                                "canDo.sendVstMidiEvent=-1\ncanDo.sendVstEvents=-1\n";
    std::string shellConfig = "trace=0\nid=0x5348454C\nname=Bench Shell\ncategory=10\ninputs=2\noutputs=2\n";
    for (int i = 1; i <= 100; ++i) {
        char line[64];
        snprintf(line, sizeof line, "shell=%08X Bench Sub-Plug-in %d\n", 0x42530000 + i, i);
        shellConfig += line;
    }
    std::vector<std::wstring> effect = {FixtureFiles::Stage(folder, "fx_effect", L"Effect", effectConfig)};
    std::vector<std::wstring> shell = {FixtureFiles::Stage(folder, "fx_effect", L"ShellA", shellConfig),
                                       FixtureFiles::Stage(folder, "fx_effect", L"ShellB", shellConfig)};
    if (effect[0].empty() || shell[0].empty() || shell[1].empty()) {
        fprintf(stderr, "cannot stage the fixtures in a temporary folder\n");
        return 1;
    }

    CServerOptions options;
    options.serverPath = FixtureFiles::WindowsPath(SERVER_EXE);
    CScanServer server;
    std::string error;
    if (!server.Start(options, kSilence, &error)) {
        fprintf(stderr, "cannot start the server: %s\n", error.c_str());
        return 1;
    }

    struct CRow {
        const char *label;
        std::vector<std::wstring> *paths;
        CFigures server, floor;
        size_t lines = 0, shells = 0;
    };
    CRow rows[] = {{"effect", &effect, {}, {}}, {"shell, 100 sub-plug-ins", &shell, {}, {}}};
    for (CRow &row : rows) {
        // A few rounds first, so that files and code are warm for both.
        size_t ignored;
        MeasureServer(server, *row.paths, 4, &ignored);
        MeasureFloor(*row.paths, 4, &ignored);
        std::vector<double> serverTimes = MeasureServer(server, *row.paths, iterations, &row.lines);
        std::vector<double> floorTimes = MeasureFloor(*row.paths, iterations, &row.shells);
        if (serverTimes.empty() || floorTimes.empty()) {
            fprintf(stderr, "%s: the server or the in-process scan failed\n", row.label);
            return 1;
        }
        row.server = Summarise(serverTimes);
        row.floor = Summarise(floorTimes);
    }
    server.CloseRequests(kSilence);
    server.WaitExit(kSilence);

    printf("One full scan request through the server against the same load, entry call, queries,\n"
           "close and free done in-process (the floor); %d iterations each, times in ms.\n\n", iterations);
    printf("%-24s %7s %14s %14s %14s %14s %10s\n", "plug-in", "lines", "server median", "server min",
           "floor median", "floor min", "overhead");
    for (const CRow &row : rows)
        printf("%-24s %7u %14.3f %14.3f %14.3f %14.3f %9.1fx\n", row.label, static_cast<unsigned>(row.lines),
               row.server.median, row.server.min, row.floor.median, row.floor.min,
               row.floor.median > 0 ? row.server.median / row.floor.median : 0.0);
    printf("\nlines: lines the server wrote for one request, the report included; the floor\n"
           "listed %u sub-plug-ins of the shell.\n", static_cast<unsigned>(rows[1].shells));
    return 0;
}
