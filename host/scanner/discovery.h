// Discovery: the modules to scan, found from the files and folders a user
// named. Every module is a full Windows path, listed once however many ways it
// was reached, in the stable path order below; problems along the way are
// reported with the modules that were found, never instead of them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ScanHost {

// The path order of modules everywhere in the host: ordinal comparison that
// ignores letter case, ties broken by the exact text. PathsEqual says whether
// two paths are the same ignoring letter case.
bool PathLess(std::wstring_view a, std::wstring_view b);
bool PathsEqual(std::wstring_view a, std::wstring_view b);

// The full path of path (relative to the current folder when it is relative);
// empty when the system cannot make one.
std::wstring FullPath(const std::wstring &path);

// The form of a full path that the file functions accept beyond MAX_PATH
// ("\\?\C:\..." or "\\?\UNC\server\share\..."); other paths are returned as
// they are.
std::wstring ExtendedPath(const std::wstring &fullPath);

// Something that kept part of a path from being searched.
struct CDiscoveryProblem {
    std::wstring path;   // the full path concerned (as given when it has none)
    std::string reason;  // UTF-8, e.g. "does not exist"; without the path
};

struct CDiscovery {
    std::vector<std::wstring> modules;  // full paths in path order, no file twice
    std::vector<CDiscoveryProblem> problems;  // in path order
};

// Finds the modules in paths: a folder is searched with all its subfolders
// and every file in it whose name ends in ".dll" (any letter case) is a
// module; a file named directly is a module whatever its name. A file reached
// twice, by a name that differs only in letter case or through another
// spelling of the same file (a link or a junction), is listed once, under the
// first of its paths in path order. Links to folders are followed, except into
// a folder that encloses them. A path that does not exist and a folder that
// cannot be read are problems; the search goes on past them.
CDiscovery DiscoverModules(const std::vector<std::wstring> &paths);

}  // namespace ScanHost
