// Version texts: the vendor version ranges and the file's version block.
#include "probe/version.h"

#include <stdlib.h>
#include <string.h>

Simple::CWideString FormatVendorVersion(int v)
{
    if (v == 0)
        return Simple::CWideString(L"");
    if (v < 10)
        return Simple::CWideString::Format(L"%i.0.0.0", v);
    if (v < 10000)
        return Simple::CWideString::Format(L"%i.%i.%i.%i", v / 1000 % 10, v / 100 % 10, v / 10 % 10, v % 10);
    if (v < 65536)
        return Simple::CWideString::Format(L"%i.%i.%i.%i", v / 10000 % 10, v / 1000 % 10, v / 100 % 10,
                                           v / 10 % 10);
    if (v < 0x650000)
        return Simple::CWideString::Format(L"%i.%i.%i.%i", (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF, 0);
    return Simple::CWideString::Format(L"%i.%i.%i.%i", v / 10000000, v / 100000 % 100, v / 1000 % 100, v % 1000);
}

bool GetFixedFileVersion(const wchar_t *path, VS_FIXEDFILEINFO &record)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0)
        return false;
    // The block's size is whatever the file says, so it lives on the heap,
    // never on the stack.
    void *block = malloc(size);
    if (!block)
        return false;
    bool found = false;
    void *fixed = nullptr;
    UINT length = 0;
    if (GetFileVersionInfoW(path, 0, size, block) && VerQueryValueW(block, L"\\", &fixed, &length) && fixed &&
        length >= 4) {
        // Only bytes inside the block are read: a record that the block
        // cuts short is taken as far as it goes, the rest left zero.
        const char *begin = static_cast<const char *>(fixed);
        const char *end = static_cast<const char *>(block) + size;
        size_t available = begin >= static_cast<const char *>(block) && begin < end ? end - begin : 0;
        size_t copied = length < sizeof record ? length : sizeof record;
        if (copied > available)
            copied = available;
        memset(&record, 0, sizeof record);
        memcpy(&record, fixed, copied);
        found = copied >= 4;
    }
    free(block);
    return found;
}

Simple::CWideString FormatFileVersion(const VS_FIXEDFILEINFO &record)
{
    DWORD ms, ls;
    if (record.dwProductVersionMS || record.dwProductVersionLS) {
        ms = record.dwProductVersionMS;
        ls = record.dwProductVersionLS;
    } else if (record.dwFileVersionMS || record.dwFileVersionLS) {
        ms = record.dwFileVersionMS;
        ls = record.dwFileVersionLS;
    } else {
        return Simple::CWideString();
    }
    return Simple::CWideString::Format(L"%i.%i.%i.%i", static_cast<int>(ms >> 16), static_cast<int>(ms & 0xFFFF),
                                       static_cast<int>(ls >> 16), static_cast<int>(ls & 0xFFFF));
}
