// The wrapped WriteFile. The linker sends the program's calls through the
// import pointer __imp__WriteFile@20 to the pointer defined here instead,
// and keeps the system's one as the "real" pointer.
#include "split_writes.h"

#include <atomic>

namespace {

std::atomic<HANDLE> g_split{nullptr};

}  // namespace

extern "C" {

extern decltype(&WriteFile) g_realWriteFile __asm__("___real__imp__WriteFile@20");

BOOL WINAPI SplitWriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (file != g_split.load() || count < 2 || overlapped)
        return g_realWriteFile(file, bytes, count, written, overlapped);
    DWORD first = count / 2, firstWritten = 0, secondWritten = 0;
    BOOL ok = g_realWriteFile(file, bytes, first, &firstWritten, nullptr);
    // Long enough for any other thread's write to come in between.
    Sleep(1);
    ok = ok && g_realWriteFile(file, static_cast<const char *>(bytes) + first, count - first, &secondWritten,
                               nullptr);
    if (written)
        *written = firstWritten + secondWritten;
    return ok;
}

decltype(&WriteFile) g_wrapWriteFile __asm__("___wrap__imp__WriteFile@20") = SplitWriteFile;

}  // extern "C"

CSplitWrites::CSplitWrites(HANDLE handle)
{
    g_split = handle;
}

CSplitWrites::~CSplitWrites()
{
    g_split = nullptr;
}
