// Soak: one server answers many scan requests of fixture plug-ins, as in a
// long scan of a large plug-in folder, while the server's private memory,
// handle count and free thread-local storage slots are read from outside at
// the start, after the first round of requests and at the end. The requests
// take turns over every kind of answer: effects, a shell and each plug-in in
// it, a module without an entry point, a jBridge bootstrap, a missing file, a
// missing dependency, a fault inside effClose, and a plug-in that changes the
// process's settings. The fixtures' static MinGW run time keeps one storage
// slot and two handles for good at every load, as real plug-ins built that
// way do, so the figures are also taken when the server first refuses a load
// for want of slots. It prints the figures and counts; it checks nothing.
//
//   soak [REQUESTS]     (5000 by default)
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/clock.h"
#include "host/server/scanserver.h"
#include "host/text/utf8.h"
#include "protocol/protocol.h"
#include "tests/fixtures/fixture_files.h"

using namespace ScanHost;

namespace {

// Where the 32-bit process environment block keeps the bitmaps of the
// thread-local storage slots in use: 64 slots, then 1024 more.
const size_t kTlsBitmapOffset = 0x44;
const size_t kTlsExpansionBitmapOffset = 0x154;
const int kTlsSlots = 64;
const int kTlsExpansionSlots = 1024;

// One handle of the system's handle table, as the extended handle
// information lists it.
struct CHandleEntry {
    void *object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
const SYSTEM_INFORMATION_CLASS kSystemExtendedHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(64);
const NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

struct CFigures {
    SIZE_T privateBytes = 0;
    DWORD handles = 0;
    int freeTlsSlots = -1;
};

int CountClearBits(const DWORD *words, int bits)
{
    int clear = 0;
    for (int i = 0; i < bits; ++i)
        clear += !(words[i / 32] & (1u << (i % 32)));
    return clear;
}

// The free slots of the other process, from its environment block; -1 when it
// cannot be read.
int FreeTlsSlots(HANDLE process)
{
    PROCESS_BASIC_INFORMATION basic;
    ULONG length = 0;
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, &length) != 0)
        return -1;
    const char *peb = reinterpret_cast<const char *>(basic.PebBaseAddress);
    DWORD bits[kTlsSlots / 32];
    DWORD expansion[kTlsExpansionSlots / 32];
    SIZE_T got = 0;
    if (!ReadProcessMemory(process, peb + kTlsBitmapOffset, bits, sizeof bits, &got) || got != sizeof bits)
        return -1;
    if (!ReadProcessMemory(process, peb + kTlsExpansionBitmapOffset, expansion, sizeof expansion, &got) ||
        got != sizeof expansion)
        return -1;
    return CountClearBits(bits, kTlsSlots) + CountClearBits(expansion, kTlsExpansionSlots);
}

// The handles the process holds, counted in the system's handle table (which
// Wine fills, unlike the process's own handle count).
DWORD HandleCount(DWORD processId)
{
    std::vector<char> table(1 << 20);
    ULONG length = 0;
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(kSystemExtendedHandleInformation, table.data(),
                                              static_cast<ULONG>(table.size()), &length)) == kInfoLengthMismatch)
        table.resize(table.size() * 2);
    if (status != 0)
        return 0;
    ULONG_PTR entries = *reinterpret_cast<const ULONG_PTR *>(table.data());
    const CHandleEntry *entry = reinterpret_cast<const CHandleEntry *>(table.data() + 2 * sizeof(ULONG_PTR));
    DWORD count = 0;
    for (ULONG_PTR i = 0; i < entries; ++i)
        count += entry[i].processId == processId;
    return count;
}

CFigures Measure(HANDLE process, DWORD processId)
{
    CFigures figures;
    // The commit charge, which is the process's private memory.
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, &memory, sizeof memory))
        figures.privateBytes = memory.PagefileUsage;
    figures.handles = HandleCount(processId);
    figures.freeTlsSlots = FreeTlsSlots(process);
    return figures;
}

void Print(const char *when, int requests, const CFigures &figures)
{
    printf("%-22s %8d %14.1f %8u %15d\n", when, requests, figures.privateBytes / 1024.0,
           static_cast<unsigned>(figures.handles), figures.freeTlsSlots);
}

void PrintGrowth(const char *what, const CFigures &from, const CFigures &to)
{
    printf("%-22s %14.1f %8d %15d\n", what, (static_cast<double>(to.privateBytes) - from.privateBytes) / 1024.0,
           static_cast<int>(to.handles) - static_cast<int>(from.handles), from.freeTlsSlots - to.freeTlsSlots);
}

// The module loads of the first count requests, done in this process and
// nothing else: each path loaded and freed, the requests for a plug-in inside
// the shell (which re-use the loaded shell) left out.
void LoadAlone(const std::vector<std::wstring> &requests, int count)
{
    for (int i = 0; i < count; ++i) {
        const std::wstring &request = requests[i % requests.size()];
        if (request.find(L'>') != std::wstring::npos)
            continue;
        HMODULE module = LoadLibraryExW(request.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (module)
            FreeLibrary(module);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    int total = argc > 1 ? atoi(argv[1]) : 5000;
    if (total < 1)
        total = 1;

    FixtureFiles::CTempFolder folder;
    FixtureFiles::CTempFolder elsewhere;
    FixtureFiles::CTempFolder dumps;
    const std::string quiet = "trace=0\n";
    std::string shellConfig = quiet + "name=Soak Shell\ncategory=10\n";
    std::vector<std::wstring> shellIds;
    for (int i = 1; i <= 3; ++i) {
        char line[64];
        snprintf(line, sizeof line, "shell=%08X Soak Sub-Plug-in %d\n", 0x534B0000 + i, i);
        shellConfig += line;
        wchar_t id[16];
        swprintf(id, 16, L">%08X", 0x534B0000 + i);
        shellIds.push_back(id);
    }
    std::wstring shell = FixtureFiles::Stage(folder, "fx_effect", L"Shell", shellConfig);
    std::string elsewhereText = FixtureFiles::ConfigText(elsewhere.path);
    std::vector<std::wstring> requests = {
        FixtureFiles::Stage(folder, "fx_effect", L"Effect", quiet + "name=Soak Effect\ninputs=2\noutputs=2\n"),
        FixtureFiles::Stage(folder, "fx_mainonly", L"Instrument", quiet + "name=Soak Keys\nflags=0x100\n"),
        shell,
        shell + shellIds[0],
        shell + shellIds[1],
        shell + shellIds[2],
        FixtureFiles::Stage(folder, "fx_noentry", L"NoEntry", quiet),
        FixtureFiles::Stage(folder, "fx_jbridge", L"Bootstrap", quiet),
        folder / L"Missing.dll",
        FixtureFiles::FixtureDll("fx_needsdependency"),
        FixtureFiles::Stage(folder, "fx_effect", L"BadClose", quiet + "name=Bad Close\ncrash=close\n"),
        FixtureFiles::Stage(folder, "fx_effect", L"Changer",
                            quiet + "name=Changer\nfpu=unmask\nerrorMode=0\nchdir=" + elsewhereText +
                                "\ndllDirectory=" + elsewhereText + "\n"),
    };
    for (const std::wstring &request : requests) {
        if (request.empty()) {
            fprintf(stderr, "cannot stage the fixtures in a temporary folder\n");
            return 1;
        }
    }

    CServerOptions options;
    options.serverPath = FixtureFiles::WindowsPath(SERVER_EXE);
    options.dumpFolder = dumps.path;
    CScanServer server;
    std::string error;
    const std::chrono::milliseconds kLimit{60000};
    if (!server.Start(options, kLimit, &error)) {
        fprintf(stderr, "cannot start the server: %s\n", error.c_str());
        return 1;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, server.ProcessId());
    if (!process) {
        fprintf(stderr, "cannot open the server process: error %lu\n", GetLastError());
        return 1;
    }

    printf("%d scan requests of fixture plug-ins to one server, %u kinds in turn.\n\n", total,
           static_cast<unsigned>(requests.size()));
    printf("%-22s %8s %14s %8s %15s\n", "", "requests", "private KiB", "handles", "free TLS slots");
    CFigures atStart = Measure(process, server.ProcessId());
    Print("start", 0, atStart);

    int answered = 0, failed = 0, warned = 0, refused = 0, lost = 0;
    int servedBeforeRefusal = total;
    CFigures atRefusal;
    double begin = Now();
    for (int i = 0; i < total; ++i) {
        CExchange response = server.Request(ToUtf8(requests[i % requests.size()]), kLimit);
        if (response.end != EExchangeEnd::Ready) {
            lost = total - i;
            break;
        }
        ++answered;
        for (const CServerLine &line : response.lines) {
            failed += line.level == "error";
            warned += line.level == "warn" && line.text.compare(0, 16, "Plug-in changed ") == 0;
            if (line.level == "error" && line.text == Protocol::kResourcesExhausted &&
                refused++ == 0) {
                servedBeforeRefusal = i;
                atRefusal = Measure(process, server.ProcessId());
                Print("first load refused", i + 1, atRefusal);
            }
        }
        if (i + 1 == static_cast<int>(requests.size()))
            Print("after the first round", i + 1, Measure(process, server.ProcessId()));
    }
    double seconds = Now() - begin;
    CFigures atEnd = Measure(process, server.ProcessId());
    Print("end", answered, atEnd);
    CloseHandle(process);
    if (!refused)
        atRefusal = atEnd;

    server.CloseRequests(kLimit);
    std::optional<uint32_t> exitCode = server.WaitExit(kLimit);
    printf("\n%d answered in %.1f s (%.2f ms each), %d with an error line (%d of them loads refused for\n"
           "want of storage slots), %d settings put back, %d lost; exit code %ld.\n",
           answered, seconds, answered ? seconds * 1000 / answered : 0.0, failed, refused, warned, lost,
           exitCode ? static_cast<long>(*exitCode) : -1L);

    CFigures before = Measure(GetCurrentProcess(), GetCurrentProcessId());
    LoadAlone(requests, servedBeforeRefusal);
    CFigures after = Measure(GetCurrentProcess(), GetCurrentProcessId());
    printf("\nGrowth over the %d requests before the first refusal, against the same module loads\n"
           "done alone in this process:\n\n", servedBeforeRefusal);
    printf("%-22s %14s %8s %15s\n", "", "private KiB", "handles", "TLS slots taken");
    PrintGrowth("server", atStart, atRefusal);
    PrintGrowth("the loads alone", before, after);
    return 0;
}
