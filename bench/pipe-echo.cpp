// The floor for a request's round trip: a process that speaks the server's
// handshake on the same kind of pipes and does no work. Started with the
// server's first two arguments (hexadecimal pipe handles) and a count of lines
// (1 when absent), it writes "ready:", reads a line and writes it back that
// many times, one write and one flush per line as the server does, until its
// input ends.
#include <windows.h>

#include <string>

namespace {

HANDLE ParseHandle(const wchar_t *text)
{
    return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(wcstoul(text, nullptr, 16)));
}

void Write(HANDLE output, const std::string &bytes)
{
    DWORD written;
    WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    FlushFileBuffers(output);
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3)
        return 2;
    HANDLE input = ParseHandle(argv[1]);
    HANDLE output = ParseHandle(argv[2]);
    int lines = argc > 3 ? _wtoi(argv[3]) : 1;
    std::string pending;
    for (;;) {
        Write(output, "ready:\n");
        size_t feed;
        while ((feed = pending.find('\n')) == std::string::npos) {
            char chunk[4096];
            DWORD got = 0;
            if (!ReadFile(input, chunk, sizeof chunk, &got, nullptr) || got == 0)
                return 0;
            pending.append(chunk, got);
        }
        for (int i = 0; i < lines; ++i)
            Write(output, "info:" + pending.substr(0, feed + 1));
        pending.erase(0, feed + 1);
    }
}
