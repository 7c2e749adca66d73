// Finding modules: a walk of the folders with an explicit stack, so that
// depth costs no thread stack, and a final sort that makes the result the same
// whatever order the paths were given and the folders were listed in.
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

// The identity of the file or folder at path, following links; nothing when
// it cannot be opened or the file system gives no index.
std::optional<CIdentity> IdentityOf(const std::wstring &path)
{
    HANDLE file = CreateFileW(ExtendedPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL read = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!read || (info.nFileIndexHigh == 0 && info.nFileIndexLow == 0))
        return std::nullopt;
    return CIdentity(info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}

std::string Reason(const char *what, DWORD error)
{
    return std::string(what) + ": " + WindowsErrorText(error);
}

// A folder still to be listed, with the folder it was found in.
struct CFolder {
    std::wstring path;
    std::optional<CIdentity> identity;
    size_t parent;
};
const size_t kNoParent = SIZE_MAX;

class CWalk {
public:
    CWalk(std::vector<std::wstring> *files, std::vector<CDiscoveryProblem> *problems)
        : m_files(files), m_problems(problems)
    {
    }

    void Run(const std::wstring &root)
    {
        m_folders.clear();
        m_folders.push_back({root, IdentityOf(root), kNoParent});
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
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileExW(ExtendedPath(Join(folder, L"*")).c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (search == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES)
                m_problems->push_back({folder, Reason("the folder cannot be read", error)});
            return;
        }
        do {
            if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
                continue;
            std::wstring path = Join(folder, found.cFileName);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                std::optional<CIdentity> identity = IdentityOf(path);
                if (identity && Encloses(index, *identity))
                    continue;
                m_folders.push_back({path, identity, index});
                pending->push_back(m_folders.size() - 1);
            } else if (EndsWithDll(found.cFileName)) {
                m_files->push_back(path);
            }
        } while (FindNextFileW(search, &found));
        DWORD error = GetLastError();
        FindClose(search);
        if (error != ERROR_NO_MORE_FILES)
            m_problems->push_back({folder, Reason("the folder could not be read to the end", error)});
    }

    std::vector<std::wstring> *m_files;
    std::vector<CDiscoveryProblem> *m_problems;
    std::vector<CFolder> m_folders;
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
    std::vector<std::wstring> files;
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
            files.push_back(full);
        }
    }

    std::sort(files.begin(), files.end(), [](const std::wstring &a, const std::wstring &b) { return PathLess(a, b); });
    std::set<CIdentity> seen;
    for (const std::wstring &file : files) {
        if (!result.modules.empty() && PathsEqual(result.modules.back(), file))
            continue;
        std::optional<CIdentity> identity = IdentityOf(file);
        if (identity && !seen.insert(*identity).second)
            continue;
        result.modules.push_back(file);
    }
    std::stable_sort(result.problems.begin(), result.problems.end(),
                     [](const CDiscoveryProblem &a, const CDiscoveryProblem &b) { return PathLess(a.path, b.path); });
    return result;
}

}  // namespace ScanHost
