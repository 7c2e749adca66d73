// Finding modules: a walk of the folders with an explicit stack, so that
// depth costs no thread stack, and a final sort that makes the result the same
// whatever order the paths were given and the folders were listed in. Under
// Wine every file opened costs about a millisecond, so the walk opens folders
// and almost never files.
#include "host/scanner/discovery.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <utility>

#include "host/scanner/result.h"

namespace ScanHost {

namespace {

int CompareIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    int result = CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE);
    return result - CSTR_EQUAL;
}

bool EndsWithDll(std::wstring_view name)
{
    return name.size() >= 4 && PathsEqual(name.substr(name.size() - 4), L".dll");
}

std::wstring Join(const std::wstring &folder, const wchar_t *name)
{
    if (!folder.empty() && folder.back() == L'\\')
        return folder + name;
    return folder + L"\\" + name;
}

// A file's identity: its volume's serial number and its index on the volume.
// Two paths with the same identity are the same file.
using CIdentity = std::pair<uint32_t, uint64_t>;

std::optional<CIdentity> Identity(DWORD volume, uint64_t index)
{
    if (index == 0)  // a file system that gives no index
        return std::nullopt;
    return CIdentity(volume, index);
}

// A folder or file opened for its attributes, following links.
HANDLE OpenForAttributes(const std::wstring &path, DWORD access)
{
    return CreateFileW(ExtendedPath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The identity of the file or folder at path; nothing when it cannot be
// opened or has none.
std::optional<CIdentity> IdentityOf(const std::wstring &path)
{
    HANDLE file = OpenForAttributes(path, 0);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL read = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!read)
        return std::nullopt;
    return Identity(info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}

std::string Reason(const char *what, DWORD error)
{
    return std::string(what) + ": " + WindowsErrorText(error);
}

// A module file found, with its identity when it is known.
struct CFile {
    std::wstring path;
    std::optional<CIdentity> identity;
};

// A folder still to be listed, with the folder it was found in.
struct CFolder {
    std::wstring path;
    std::optional<CIdentity> identity;
    size_t parent;
};
const size_t kNoParent = SIZE_MAX;

// Lists folders through a handle, which gives every entry's index with its
// name: a file is opened only when it is a link (whose index is the link's,
// not its target's) or its file system gives no index.
class CWalk {
public:
    CWalk(std::vector<CFile> *files, std::vector<CDiscoveryProblem> *problems) : m_files(files), m_problems(problems)
    {
    }

    void Run(const std::wstring &root)
    {
        m_folders.clear();
        m_folders.push_back({root, std::nullopt, kNoParent});
        std::vector<size_t> pending{0};
        while (!pending.empty()) {
            size_t index = pending.back();
            pending.pop_back();
            List(index, &pending);
        }
    }

private:
    // Whether identity is that of the folder at index or of a folder it is in.
    bool Encloses(size_t index, const CIdentity &identity) const
    {
        for (; index != kNoParent; index = m_folders[index].parent)
            if (m_folders[index].identity == identity)
                return true;
        return false;
    }

    void List(size_t index, std::vector<size_t> *pending)
    {
        const std::wstring folder = m_folders[index].path;
        HANDLE handle = OpenForAttributes(folder, FILE_LIST_DIRECTORY);
        if (handle == INVALID_HANDLE_VALUE) {
            m_problems->push_back({folder, Reason("the folder cannot be read", GetLastError())});
            return;
        }
        BY_HANDLE_FILE_INFORMATION info = {};
        if (GetFileInformationByHandle(handle, &info) && !m_folders[index].identity)
            m_folders[index].identity =
                Identity(info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
        const DWORD volume = info.dwVolumeSerialNumber;

        char *buffer = reinterpret_cast<char *>(m_buffer.data());
        DWORD size = static_cast<DWORD>(m_buffer.size() * sizeof m_buffer[0]);
        FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
        while (GetFileInformationByHandleEx(handle, kind, buffer, size)) {
            kind = FileIdBothDirectoryInfo;
            for (size_t offset = 0;;) {
                const auto *entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(buffer + offset);
                Take(index, volume, *entry, pending);
                if (entry->NextEntryOffset == 0)
                    break;
                offset += entry->NextEntryOffset;
            }
        }
        DWORD error = GetLastError();
        CloseHandle(handle);
        if (error != ERROR_NO_MORE_FILES && error != ERROR_FILE_NOT_FOUND)
            m_problems->push_back({folder, Reason("the folder could not be read to the end", error)});
    }

    void Take(size_t index, DWORD volume, const FILE_ID_BOTH_DIR_INFO &entry, std::vector<size_t> *pending)
    {
        std::wstring_view name(entry.FileName, entry.FileNameLength / sizeof(wchar_t));
        if (name == L"." || name == L"..")
            return;
        bool folder = entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        if (!folder && !EndsWithDll(name))
            return;
        std::wstring path = Join(m_folders[index].path, std::wstring(name).c_str());
        std::optional<CIdentity> identity = Identity(volume, uint64_t(entry.FileId.QuadPart));
        if (!identity || (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            identity = IdentityOf(path);
        if (!folder) {
            m_files->push_back({path, identity});
        } else if (!identity || !Encloses(index, *identity)) {
            m_folders.push_back({path, identity, index});
            pending->push_back(m_folders.size() - 1);
        }
    }

    std::vector<CFile> *m_files;
    std::vector<CDiscoveryProblem> *m_problems;
    std::vector<CFolder> m_folders;
    std::vector<uint64_t> m_buffer = std::vector<uint64_t>(8192);  // a listing, aligned for its entries
};

}  // namespace

bool PathLess(std::wstring_view a, std::wstring_view b)
{
    int order = CompareIgnoringCase(a, b);
    return order != 0 ? order < 0 : a < b;
}

bool PathsEqual(std::wstring_view a, std::wstring_view b)
{
    return CompareIgnoringCase(a, b) == 0;
}

std::wstring FullPath(const std::wstring &path)
{
    if (path.empty())
        return std::wstring();
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0)
            return std::wstring();
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

std::wstring ExtendedPath(const std::wstring &fullPath)
{
    if (fullPath.rfind(L"\\\\?\\", 0) == 0 || fullPath.rfind(L"\\\\.\\", 0) == 0)
        return fullPath;
    if (fullPath.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + fullPath.substr(2);
    if (fullPath.size() >= 3 && fullPath[1] == L':' && fullPath[2] == L'\\')
        return L"\\\\?\\" + fullPath;
    return fullPath;
}

CDiscovery DiscoverModules(const std::vector<std::wstring> &paths)
{
    CDiscovery result;
    std::vector<CFile> files;
    CWalk walk(&files, &result.problems);
    for (const std::wstring &given : paths) {
        std::wstring full = FullPath(given);
        if (full.empty()) {
            result.problems.push_back({given, given.empty() ? "is an empty path" : "is not a valid path"});
            continue;
        }
        DWORD attributes = GetFileAttributesW(ExtendedPath(full).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
                error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME)
                result.problems.push_back({full, "does not exist"});
            else
                result.problems.push_back({full, Reason("cannot be read", error)});
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            walk.Run(full);
        } else {
            files.push_back({full, IdentityOf(full)});
        }
    }

    std::sort(files.begin(), files.end(), [](const CFile &a, const CFile &b) { return PathLess(a.path, b.path); });
    std::set<CIdentity> seen;
    for (const CFile &file : files) {
        if (!result.modules.empty() && PathsEqual(result.modules.back(), file.path))
            continue;
        if (file.identity && !seen.insert(*file.identity).second)
            continue;
        result.modules.push_back(file.path);
    }
    std::stable_sort(result.problems.begin(), result.problems.end(),
                     [](const CDiscoveryProblem &a, const CDiscoveryProblem &b) { return PathLess(a.path, b.path); });
    return result;
}

}  // namespace ScanHost
