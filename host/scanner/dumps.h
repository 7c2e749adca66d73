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

    // The path of the new dump written by the process, which is then seen;
    // empty when none appeared. A dump whose process cannot be read is
    // claimed when it is the only new one.
    std::wstring Claim(uint32_t processId);

    // Whether a dump appeared that nobody claimed yet: a server that went
    // silent may be writing it.
    bool HasUnclaimed();

private:
    std::wstring m_folder;
    std::mutex m_mutex;
    std::set<std::wstring> m_seen;
};

// The id of the process a minidump was written from; nothing when the file
// is not a readable minidump or does not say.
std::optional<uint32_t> DumpProcessId(const std::wstring &path);

}  // namespace ScanHost
