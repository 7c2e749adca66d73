// The crash dump filter, in child processes that really crash: one dump with
// the time-stamped name and exit code 9; exit code 9 and no dump without a
// folder, or when the name would not fit in its 260 units.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <string>
#include <vector>

#include "crash/crashdump.h"

namespace {

TEST(DumpFileName, FormatsFolderPrefixAndTime)
{
    SYSTEMTIME time = {};
    time.wYear = 2025;
    time.wMonth = 3;
    time.wDay = 7;
    time.wHour = 14;
    time.wMinute = 5;
    time.wSecond = 9;
    const struct {
        int number;
        const wchar_t *name;
    } cases[] = {
        {1, L"C:\\dumps\\RavoZazora-x86-2025-03-07-14-05-09.mdmp"},
        {2, L"C:\\dumps\\RavoZazora-x86-2025-03-07-14-05-09-2.mdmp"},
        {kMaxDumpNames, L"C:\\dumps\\RavoZazora-x86-2025-03-07-14-05-09-1000.mdmp"},
    };
    for (const auto &c : cases) {
        wchar_t name[kDumpNameUnits];
        ASSERT_TRUE(FormatDumpFileName(name, L"C:\\dumps", L"RavoZazora-x86", time, c.number));
        EXPECT_EQ(std::wstring(name), c.name);
    }
}

TEST(DumpFileName, MustFitWithItsTerminator)
{
    SYSTEMTIME time = {};
    time.wYear = 2025;
    time.wMonth = 12;
    time.wDay = 31;
    // The name is the folder and 40 more units, and the suffix "-<number>"
    // from the second name on.
    struct {
        int folderLength;
        int number;
        int suffixLength;
        bool fits;
    } cases[] = {{219, 1, 0, true}, {220, 1, 0, false}, {221, 1, 0, false}, {400, 1, 0, false},
                 {217, 2, 2, true}, {218, 2, 2, false}, {214, 1000, 5, true}, {215, 1000, 5, false}};
    for (const auto &c : cases) {
        std::wstring folder(c.folderLength, L'f');
        wchar_t name[kDumpNameUnits + 8];
        for (wchar_t &unit : name)
            unit = L'#';
        EXPECT_EQ(FormatDumpFileName(name, folder.c_str(), L"RavoZazora-x86", time, c.number), c.fits)
            << c.folderLength << " " << c.number;
        if (c.fits)
            EXPECT_EQ(wcslen(name), static_cast<size_t>(c.folderLength + 40 + c.suffixLength));
        else
            EXPECT_EQ(name[0], 0);
        // Nothing is written past the 260 units.
        EXPECT_EQ(name[kDumpNameUnits], L'#');
    }
}

// A folder of its own for each test (the same in the test's child process),
// emptied, with its full path padded to length units when length is given.
std::wstring DumpFolder(const wchar_t *name, size_t length = 0)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + name;
    if (length > folder.size())
        folder.append(length - folder.size(), L'x');
    CreateDirectoryW(folder.c_str(), nullptr);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return folder;
}

std::vector<std::wstring> FilesIn(const std::wstring &folder)
{
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && found.nFileSizeLow > 0)
                files.push_back(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return files;
}

// The start-up of the server as far as crash handling goes, then a fault.
void CrashWithDumpsIn(const std::wstring &folder)
{
    InitializeCriticalSection(&g_csCrash);
    g_strDumpPrefix = L"RavoZazora";
    g_strDumpPrefix.Append(L"-x86");
    g_strDumpFolder = folder.empty() ? nullptr : folder.c_str();
    PrepareCrashHandling();
    InstallCrashDumpFilter();
    volatile int *volatile target = nullptr;
    *target = 1;
}

TEST(CrashDumpDeathTest, ACrashLeavesOneDumpAndExitCode9)
{
    std::wstring folder = DumpFolder(L"scan-crash-dump");
    EXPECT_EXIT(CrashWithDumpsIn(folder), ::testing::ExitedWithCode(9), "");
    std::vector<std::wstring> files = FilesIn(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0], std::wregex(L"RavoZazora-x86-\\d{4}-\\d{2}-\\d{2}-\\d{2}-\\d{2}-\\d{2}\\.mdmp")))
        << std::string(files[0].begin(), files[0].end());
}

TEST(CrashDumpDeathTest, WithoutAFolderExitCode9AndNoDump)
{
    EXPECT_EXIT(CrashWithDumpsIn(L""), ::testing::ExitedWithCode(9), "");
}

TEST(CrashDumpDeathTest, ANameThatWouldNotFitGivesNoDumpButExitCode9)
{
    // The longest folder whose dump name fits, and one unit more.
    std::wstring fits = DumpFolder(L"scan-crash-fit-", 219);
    ASSERT_EQ(fits.size(), 219u);
    EXPECT_EXIT(CrashWithDumpsIn(fits), ::testing::ExitedWithCode(9), "");
    EXPECT_EQ(FilesIn(fits).size(), 1u);

    std::wstring tooLong = DumpFolder(L"scan-crash-long-", 220);
    ASSERT_EQ(tooLong.size(), 220u);
    EXPECT_EXIT(CrashWithDumpsIn(tooLong), ::testing::ExitedWithCode(9), "");
    EXPECT_EQ(FilesIn(tooLong).size(), 0u);
}

}  // namespace
