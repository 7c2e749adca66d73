// Finding a crashed server's dump.
#include "host/scanner/dumps.h"

#include <windows.h>

#include <dbghelp.h>

#include <vector>

namespace ScanHost {

namespace {

std::vector<std::wstring> ListDumps(const std::wstring &folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*.mdmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(folder + L"\\" + found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

}  // namespace

CDumpFolder::CDumpFolder(std::wstring folder) : m_folder(std::move(folder))
{
    if (m_folder.empty())
        return;
    for (const std::wstring &path : ListDumps(m_folder))
        m_seen.insert(path);
}

std::wstring CDumpFolder::Claim(uint32_t processId)
{
    if (m_folder.empty())
        return std::wstring();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::wstring> fresh;
    for (const std::wstring &path : ListDumps(m_folder)) {
        if (m_seen.count(path))
            continue;
        std::optional<uint32_t> writer = DumpProcessId(path);
        if (writer && *writer == processId) {
            m_seen.insert(path);
            return path;
        }
        if (!writer)
            fresh.push_back(path);
    }
    if (fresh.size() == 1) {
        m_seen.insert(fresh.front());
        return fresh.front();
    }
    return std::wstring();
}

bool CDumpFolder::HasUnclaimed()
{
    if (m_folder.empty())
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::wstring &path : ListDumps(m_folder))
        if (!m_seen.count(path))
            return true;
    return false;
}

std::optional<uint32_t> DumpProcessId(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::optional<uint32_t> result;
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
                result = misc->ProcessId;
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
