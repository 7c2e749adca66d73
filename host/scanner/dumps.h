// Crash dumps in a server's dump folder: which ones are new, and which
// server process wrote one (read back from the dump itself, so that servers
// side by side that crash at the same moment each get their own dump).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace ScanHost {

// The dumps of one folder that the scan has seen. Safe from several threads.
class CDumpFolder {
public:
    // Remembers the dumps already in folder (none when folder is empty), so
    // that only dumps written later are ever claimed.
    explicit CDumpFolder(std::wstring folder);

    // The path of the new, finished dump written by the process, which is
    // then seen; empty when none appeared. A finished dump that does not say
    // which process wrote it is claimed only when it is the only such one.
    std::wstring Claim(uint32_t processId);

    // Whether the process may be writing a dump just now: a new dump that
    // says it is the process's, or one still being written (which nobody
    // else can open yet), appeared since since (a system time in 100 ns units).
    bool MayBeWriting(uint32_t processId, uint64_t since);

private:
    std::wstring m_folder;
    std::mutex m_mutex;
    std::set<std::wstring> m_seen;
};

// The system time now, in 100 ns units, as file times are.
uint64_t FileTimeNow();

// How a minidump file reads.
struct CDumpFile {
    bool opened = false;  // it could be opened for reading: nobody is still writing it
    std::optional<uint32_t> processId;  // the process it was written from, when it says
};

// Reads a minidump's process id. The file is untrusted: every offset is
// checked against its size.
CDumpFile ReadDumpFile(const std::wstring &path);

}  // namespace ScanHost
