// Version texts: every range of the vendor version table at its edges, the
// product-then-file choice of the file version, and reading a real version
// block (this test program carries one, see probe_tests.rc).
#include <gtest/gtest.h>
#include <limits.h>
#include <windows.h>

#include <string>

#include "probe/version.h"

namespace {

std::wstring Text(const Simple::CWideString &text)
{
    return text.text ? std::wstring(text.text) : std::wstring(L"<null>");
}

TEST(VendorVersion, EveryRangeAtItsEdges)
{
    struct {
        int version;
        const wchar_t *text;
    } cases[] = {
        {0, L""},
        {1, L"1.0.0.0"},
        {9, L"9.0.0.0"},
        {-1, L"-1.0.0.0"},
        {INT_MIN, L"-2147483648.0.0.0"},
        {10, L"0.0.1.0"},
        {1000, L"1.0.0.0"},
        {1234, L"1.2.3.4"},
        {9999, L"9.9.9.9"},
        {10000, L"1.0.0.0"},
        {12345, L"1.2.3.4"},
        {65535, L"6.5.5.3"},
        {65536, L"1.0.0.0"},
        {0x010203, L"1.2.3.0"},
        {6619135, L"100.255.255.0"},
        {6619136, L"0.66.19.136"},
        {12345678, L"1.23.45.678"},
        {INT_MAX, L"214.74.83.647"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Text(FormatVendorVersion(c.version)), c.text) << "version " << c.version;
}

TEST(FileVersion, ProductVersionFirstThenFileVersion)
{
    struct {
        DWORD productMS, productLS, fileMS, fileLS;
        const wchar_t *text;
    } cases[] = {
        {0x00020001, 0x00000005, 0x00010004, 0x00000000, L"2.1.0.5"},
        {0x00000000, 0x00000000, 0x00010004, 0x00000000, L"1.4.0.0"},
        // Either word of a pair being non-zero selects the pair.
        {0x00000000, 0x00000007, 0x00010004, 0x00000000, L"0.0.0.7"},
        {0x00000000, 0x00000000, 0x00000000, 0x00030000, L"0.0.3.0"},
        {0xFFFFFFFF, 0xFFFEFFFD, 0, 0, L"65535.65535.65534.65533"},
        {0, 0, 0, 0, L"<null>"},
    };
    for (const auto &c : cases) {
        VS_FIXEDFILEINFO record = {};
        record.dwProductVersionMS = c.productMS;
        record.dwProductVersionLS = c.productLS;
        record.dwFileVersionMS = c.fileMS;
        record.dwFileVersionLS = c.fileLS;
        EXPECT_EQ(Text(FormatFileVersion(record)), c.text) << "product " << c.productMS << "," << c.productLS;
    }
}

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

TEST(FileVersion, ReadsTheFixedRecordOfAFile)
{
    VS_FIXEDFILEINFO record = {};
    ASSERT_TRUE(GetFixedFileVersion(OwnPath().c_str(), record));
    EXPECT_EQ(record.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(record.dwFileVersionMS, 0x00010004u);
    EXPECT_EQ(record.dwFileVersionLS, 0x00000000u);
    EXPECT_EQ(record.dwProductVersionMS, 0x00020001u);
    EXPECT_EQ(record.dwProductVersionLS, 0x00000005u);
    EXPECT_EQ(Text(FormatFileVersion(record)), L"2.1.0.5");
}

TEST(FileVersion, NoRecordForAMissingFileOrOneWithoutVersionBlock)
{
    VS_FIXEDFILEINFO record = {};
    EXPECT_FALSE(GetFixedFileVersion(L"C:\\no such folder\\missing.dll", record));

    // A plain file that is no module at all.
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"ver", 0, path);
    EXPECT_FALSE(GetFixedFileVersion(path, record));
    DeleteFileW(path);
}

}  // namespace
