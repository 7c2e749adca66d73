// Finding a crashed server's dump.
#include "host/scanner/dumps.h"

#include <windows.h>

#include <dbghelp.h>

#include <vector>

namespace ScanHost {

namespace {

// A dump file of the folder with its creation time.
struct CListedDump {
    std::wstring path;
    uint64_t created;
};

std::vector<CListedDump> ListDumps(const std::wstring &folder)
{
    std::vector<CListedDump> dumps;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*.mdmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return dumps;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            dumps.push_back({folder + L"\\" + found.cFileName,
                             (uint64_t(found.ftCreationTime.dwHighDateTime) << 32) | found.ftCreationTime.dwLowDateTime});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return dumps;
}

}  // namespace

uint64_t FileTimeNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

CDumpFolder::CDumpFolder(std::wstring folder) : m_folder(std::move(folder))
{
    if (m_folder.empty())
        return;
    for (const CListedDump &dump : ListDumps(m_folder))
        m_seen.insert(dump.path);
}

std::wstring CDumpFolder::Claim(uint32_t processId)
{
    if (m_folder.empty())
        return std::wstring();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::wstring> unnamed;
    for (const CListedDump &dump : ListDumps(m_folder)) {
        if (m_seen.count(dump.path))
            continue;
        CDumpFile file = ReadDumpFile(dump.path);
        if (file.processId && *file.processId == processId) {
            m_seen.insert(dump.path);
            return dump.path;
        }
        // A dump another server is still writing is not this one's.
        if (file.opened && !file.processId)
            unnamed.push_back(dump.path);
    }
    if (unnamed.size() == 1) {
        m_seen.insert(unnamed.front());
        return unnamed.front();
    }
    return std::wstring();
}

bool CDumpFolder::MayBeWriting(uint32_t processId, uint64_t since)
{
    if (m_folder.empty())
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const CListedDump &dump : ListDumps(m_folder)) {
        if (m_seen.count(dump.path) || dump.created < since)
            continue;
        CDumpFile file = ReadDumpFile(dump.path);
        if (!file.opened || (file.processId && *file.processId == processId))
            return true;
    }
    return false;
}

CDumpFile ReadDumpFile(const std::wstring &path)
{
    CDumpFile result;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return result;
    result.opened = true;
    LARGE_INTEGER size{};
    HANDLE mapping = nullptr;
    void *view = nullptr;
    if (GetFileSizeEx(file, &size) && size.QuadPart >= 32)
        mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping)
        view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    // DbgHelp trusts the file's stream directory; it is checked against the
    // file's size first, and so is the stream it finds.
    const auto *header = static_cast<const MINIDUMP_HEADER *>(view);
    uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);
    bool directoryFits = view && memcmp(view, "MDMP", 4) == 0 &&
                         uint64_t(header->StreamDirectoryRva) +
                                 uint64_t(header->NumberOfStreams) * sizeof(MINIDUMP_DIRECTORY) <=
                             fileSize;
    if (directoryFits) {
        MINIDUMP_DIRECTORY *directory = nullptr;
        void *stream = nullptr;
        ULONG streamSize = 0;
        if (MiniDumpReadDumpStream(view, MiscInfoStream, &directory, &stream, &streamSize) && stream &&
            streamSize >= sizeof(MINIDUMP_MISC_INFO) &&
            uint64_t(static_cast<char *>(stream) - static_cast<char *>(view)) + streamSize <= fileSize) {
            const auto *misc = static_cast<const MINIDUMP_MISC_INFO *>(stream);
            if (misc->Flags1 & MINIDUMP_MISC1_PROCESS_ID)
                result.processId = misc->ProcessId;
        }
    }
    if (view)
        UnmapViewOfFile(view);
    if (mapping)
        CloseHandle(mapping);
    CloseHandle(file);
    return result;
}

}  // namespace ScanHost
