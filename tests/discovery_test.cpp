// Discovery over real folders in a temporary tree: which files are modules,
// how duplicates collapse, the order, and the problems it reports.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/text/utf8.h"
#include "host/scanner/discovery.h"
#include "tests/fixtures/fixture_files.h"

using namespace ScanHost;

namespace {

void MakeFolder(const std::wstring &path)
{
    ASSERT_TRUE(CreateDirectoryW(ExtendedPath(path).c_str(), nullptr)) << ToUtf8(path);
}

void MakeFile(const std::wstring &path)
{
    HANDLE file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << ToUtf8(path);
    CloseHandle(file);
}

#ifndef LINK_TREE
// A junction at link that leads to the folder target; false when the file
// system makes none.
bool MakeJunction(const std::wstring &link, const std::wstring &target)
{
    if (!CreateDirectoryW(link.c_str(), nullptr))
        return false;
    std::wstring substitute = L"\\??\\" + target;
    struct {
        DWORD tag;
        WORD dataLength;
        WORD reserved;
        WORD substituteOffset, substituteLength, printOffset, printLength;
        wchar_t names[1024];
    } buffer = {};
    buffer.tag = IO_REPARSE_TAG_MOUNT_POINT;
    buffer.substituteLength = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    buffer.printOffset = buffer.substituteLength + sizeof(wchar_t);
    buffer.printLength = static_cast<WORD>(target.size() * sizeof(wchar_t));
    substitute.copy(buffer.names, substitute.size());
    target.copy(buffer.names + substitute.size() + 1, target.size());
    buffer.dataLength = static_cast<WORD>(8 + buffer.printOffset + buffer.printLength + sizeof(wchar_t));
    HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD returned = 0;
    bool made = handle != INVALID_HANDLE_VALUE &&
                DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, &buffer, 8 + buffer.dataLength, nullptr, 0,
                                &returned, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    // The link works when the target's contents show through it.
    if (made && GetFileAttributesW((link + L"\\.").c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    RemoveDirectoryW(link.c_str());
    return false;
}
#endif

std::string Show(const std::vector<std::wstring> &paths)
{
    std::string text;
    for (const std::wstring &path : paths)
        text += ToUtf8(path) + "\n";
    return text;
}

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(temp.path.empty()); }

    std::wstring At(const std::wstring &relative) const { return temp / relative; }

    FixtureFiles::CTempFolder temp;
};

}  // namespace

TEST(PathOrder, IgnoresCaseThenFallsBackToTheExactText)
{
    struct {
        const wchar_t *a, *b;
        bool less, equal;
    } const cases[] = {
        {L"a", L"B", true, false},
        {L"B", L"a", false, false},
        {L"A", L"a", true, true},   // the same path: the exact text decides
        {L"a", L"A", false, true},
        {L"a", L"a", false, true},
        // Letters compare as capitals, as the file system compares names.
        {L"Z\\a", L"Z\\_", true, false},
        {L"C:\\\u00dcn\u00ef", L"c:\\\u00fcN\u00cf", true, true},
        {L"C:\\x", L"C:\\x\\y", true, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(PathLess(c.a, c.b), c.less) << ToUtf8(c.a) << " < " << ToUtf8(c.b);
        EXPECT_EQ(PathsEqual(c.a, c.b), c.equal) << ToUtf8(c.a) << " = " << ToUtf8(c.b);
    }
}

TEST(PathOrder, ExtendedPathReachesBeyondMaxPath)
{
    EXPECT_EQ(ExtendedPath(L"C:\\x\\y.dll"), L"\\\\?\\C:\\x\\y.dll");
    EXPECT_EQ(ExtendedPath(L"\\\\host\\share\\y.dll"), L"\\\\?\\UNC\\host\\share\\y.dll");
    EXPECT_EQ(ExtendedPath(L"\\\\?\\C:\\y.dll"), L"\\\\?\\C:\\y.dll");
    EXPECT_EQ(ExtendedPath(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
}

TEST_F(DiscoveryTest, FindsEveryDllInEveryFolderInPathOrder)
{
    for (const wchar_t *folder : {L"sub", L"sub\\deep", L"sub\\with space", L"sub\\\u00fcn\u00efc\u00f8d\u00e9",
                                  L"folder.dll", L"empty"})
        MakeFolder(At(folder));
    for (const wchar_t *file : {L"a.dll", L"B.DLL", L"c.Dll", L"_x.dll", L"notes.txt", L"x.dll.bak", L"dll",
                                L"sub\\deep\\e.dll", L"sub\\with space\\f.dll",
                                L"sub\\\u00fcn\u00efc\u00f8d\u00e9\\\u00d6l\u00e9.dll", L"folder.dll\\g.dll"})
        MakeFile(At(file));

    CDiscovery found = DiscoverModules({temp.path});

    std::vector<std::wstring> expected;
    for (const wchar_t *file : {L"a.dll", L"B.DLL", L"c.Dll", L"folder.dll\\g.dll", L"sub\\deep\\e.dll",
                                L"sub\\with space\\f.dll", L"sub\\\u00fcn\u00efc\u00f8d\u00e9\\\u00d6l\u00e9.dll",
                                L"_x.dll"})
        expected.push_back(At(file));
    EXPECT_EQ(found.modules, expected) << Show(found.modules);
    EXPECT_TRUE(found.problems.empty());
}

TEST_F(DiscoveryTest, NamedFilesAreTakenAsGivenAndEveryFileOnce)
{
    MakeFolder(At(L"sub"));
    for (const wchar_t *file : {L"a.dll", L"B.DLL", L"notes.txt", L"sub\\c.dll"})
        MakeFile(At(file));

    CDiscovery found = DiscoverModules({At(L"sub"), temp.path, At(L"notes.txt"), At(L"a.dll"), At(L"B.dll"),
                                        At(L"SUB\\C.DLL"), temp.path + L"\\"});

    // Of the spellings of one path, the first in path order is listed.
    std::vector<std::wstring> expected = {At(L"a.dll"), At(L"B.DLL"), At(L"notes.txt"), At(L"SUB\\C.DLL")};
    EXPECT_EQ(found.modules, expected) << Show(found.modules);
    EXPECT_TRUE(found.problems.empty());
}

TEST_F(DiscoveryTest, TheSameFileUnderAnotherNameIsListedOnce)
{
    MakeFolder(At(L"one"));
    MakeFolder(At(L"two"));
    MakeFile(At(L"one\\a.dll"));
    ASSERT_TRUE(CreateHardLinkW(At(L"two\\b.dll").c_str(), At(L"one\\a.dll").c_str(), nullptr));

    CDiscovery found = DiscoverModules({At(L"two"), At(L"one")});

    EXPECT_EQ(found.modules, std::vector<std::wstring>{At(L"one\\a.dll")}) << Show(found.modules);
}

TEST_F(DiscoveryTest, RelativePathsBecomeFullPaths)
{
    MakeFolder(At(L"sub"));
    MakeFile(At(L"sub\\a.dll"));
    MakeFile(At(L"b.dll"));
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(temp.path.c_str()));
    CDiscovery found = DiscoverModules({L"sub", L".\\b.dll"});
    SetCurrentDirectoryW(saved);

    EXPECT_EQ(found.modules, (std::vector<std::wstring>{At(L"b.dll"), At(L"sub\\a.dll")})) << Show(found.modules);
}

TEST_F(DiscoveryTest, MissingPathsAreProblemsAndTheRestIsFound)
{
    MakeFile(At(L"a.dll"));

    CDiscovery found = DiscoverModules({At(L"missing.dll"), temp.path, At(L"nofolder\\x.dll"), L""});

    EXPECT_EQ(found.modules, std::vector<std::wstring>{At(L"a.dll")});
    ASSERT_EQ(found.problems.size(), 3u);
    EXPECT_EQ(found.problems[0].path, L"");
    EXPECT_EQ(found.problems[0].reason, "is an empty path");
    EXPECT_EQ(found.problems[1].path, At(L"missing.dll"));
    EXPECT_EQ(found.problems[1].reason, "does not exist");
    EXPECT_EQ(found.problems[2].path, At(L"nofolder\\x.dll"));
    EXPECT_EQ(found.problems[2].reason, "does not exist");
}

TEST_F(DiscoveryTest, FolderWithoutModulesGivesNothing)
{
    MakeFolder(At(L"sub"));
    MakeFile(At(L"sub\\readme.txt"));

    CDiscovery found = DiscoverModules({temp.path});

    EXPECT_TRUE(found.modules.empty()) << Show(found.modules);
    EXPECT_TRUE(found.problems.empty());
}

TEST_F(DiscoveryTest, PathsBeyondMaxPathAreSearched)
{
    std::wstring folder = temp.path;
    while (folder.size() < 400) {
        folder += L"\\" + std::wstring(60, L'n');
        MakeFolder(folder);
    }
    MakeFile(folder + L"\\deep.dll");

    CDiscovery found = DiscoverModules({temp.path});

    EXPECT_EQ(found.modules, std::vector<std::wstring>{folder + L"\\deep.dll"}) << Show(found.modules);
    EXPECT_TRUE(found.problems.empty());
}

TEST_F(DiscoveryTest, LinkedFoldersAreFollowedButNotIntoACycle)
{
    // root holds a.dll, a link sub\loop back to root and a link other to a
    // folder elsewhere that holds b.dll. Under Wine the tree is made of Unix
    // links by the build (Wine makes no junctions); elsewhere of junctions.
#ifdef LINK_TREE
    const std::wstring tree = FixtureFiles::WindowsPath(LINK_TREE);
#else
    const std::wstring tree = temp.path;
    MakeFolder(tree + L"\\root");
    MakeFolder(tree + L"\\root\\sub");
    MakeFolder(tree + L"\\elsewhere");
    MakeFile(tree + L"\\root\\a.dll");
    MakeFile(tree + L"\\elsewhere\\b.dll");
    if (!MakeJunction(tree + L"\\root\\sub\\loop", tree + L"\\root") ||
        !MakeJunction(tree + L"\\root\\other", tree + L"\\elsewhere"))
        GTEST_SKIP() << "this file system makes no junctions";
#endif
    ASSERT_NE(GetFileAttributesW((tree + L"\\root\\sub\\loop\\a.dll").c_str()), INVALID_FILE_ATTRIBUTES);

    CDiscovery found = DiscoverModules({tree + L"\\root"});

    EXPECT_EQ(found.modules,
              (std::vector<std::wstring>{tree + L"\\root\\a.dll", tree + L"\\root\\other\\b.dll"}))
        << Show(found.modules);
    EXPECT_TRUE(found.problems.empty());
}
