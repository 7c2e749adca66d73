// Captures what the server writes to its output channel: while a
// COutputCapture lives, g_hOutput is a temporary file whose bytes Text()
// returns.
#pragma once

#include <windows.h>

#include <string>

#include "service/log.h"

class COutputCapture {
public:
    COutputCapture()
    {
        wchar_t folder[MAX_PATH];
        wchar_t path[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"cap", 0, path);
        file_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        saved_ = g_hOutput;
        g_hOutput = file_;
    }
    ~COutputCapture()
    {
        g_hOutput = saved_;
        CloseHandle(file_);
    }
    COutputCapture(const COutputCapture &) = delete;
    COutputCapture &operator=(const COutputCapture &) = delete;

    // Everything written so far.
    std::string Text() const
    {
        LARGE_INTEGER size;
        GetFileSizeEx(file_, &size);
        std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
        LARGE_INTEGER start = {};
        SetFilePointerEx(file_, start, nullptr, FILE_BEGIN);
        DWORD got = 0;
        if (!bytes.empty())
            ReadFile(file_, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
        bytes.resize(got);
        SetFilePointerEx(file_, start, nullptr, FILE_END);
        return bytes;
    }

private:
    HANDLE file_;
    HANDLE saved_;
};
