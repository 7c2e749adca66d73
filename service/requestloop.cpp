// The request loop and the line reader beneath it.
#include "service/requestloop.h"

#include <string.h>

#include "service/log.h"
#include "service/processstate.h"
#include "service/scan.h"
#include "simple/simplestring.h"

HANDLE g_hInput;

unsigned int ParseHex(const wchar_t *text)
{
    unsigned int value = 0;
    if (!text)
        return 0;
    for (;; ++text) {
        wchar_t c = *text;
        unsigned int digit;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'a' && c <= L'f')
            digit = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else
            return value;
        value = (value << 4) + digit;
    }
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
}

void RunMessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

namespace {

// Input not yet handed out lies in g_pending[g_start, g_end). A pending line
// never holds more than kMaxRequestBytes before it is given up on, so a read
// always has room for at least kReadChunk bytes.
const int kReadChunk = 4096;
char g_pending[kMaxRequestBytes + kReadChunk];
int g_start;
int g_end;
bool g_inputEnded;
// The last request was taken without its line feed: a line feed that is the
// next byte of input belongs to it.
bool g_feedOwed;

enum ELine { kLineRead, kLineTooLong, kInputEnded };

// Appends more input to the pending bytes; false once the input has ended (a
// failed read or one that returns nothing).
bool ReadMore()
{
    if (g_inputEnded)
        return false;
    if (g_start > 0) {
        memmove(g_pending, g_pending + g_start, g_end - g_start);
        g_end -= g_start;
        g_start = 0;
    }
    DWORD got = 0;
    if (!ReadFile(g_hInput, g_pending + g_end, sizeof g_pending - g_end, &got, nullptr) || got == 0) {
        g_inputEnded = true;
        return false;
    }
    g_end += got;
    return true;
}

// The request is the text of the line up to its first zero byte; a carriage
// return before the line feed stays part of it. A line that cannot be copied
// gives the null string.
void TakeLine(int length, Simple::CByteString &line)
{
    const char *begin = g_pending + g_start;
    const char *zero = static_cast<const char *>(memchr(begin, 0, length));
    line = Simple::CByteString(begin, zero ? static_cast<int>(zero - begin) : length);
}

// Whether the request pipe holds no more input right now; false when that
// cannot be told (the input is not a pipe).
bool NothingWaiting()
{
    DWORD available = 0;
    return PeekNamedPipe(g_hInput, nullptr, 0, nullptr, &available, nullptr) && available == 0;
}

// Takes the next line of input, without its line feed. A last line that the
// input ends without a line feed still counts, and so does input of up to
// kMaxUnendedRequestBytes without one when nothing more is waiting. A line
// longer than kMaxRequestBytes is dropped up to its line feed and reported as
// too long.
ELine NextLine(Simple::CByteString &line)
{
    bool tooLong = false;
    int searched = 0;  // pending bytes already known to hold no line feed
    for (;;) {
        if (g_feedOwed && g_end > g_start) {
            g_feedOwed = false;
            if (g_pending[g_start] == '\n')
                ++g_start;
        }
        char *begin = g_pending + g_start;
        char *feed = static_cast<char *>(memchr(begin + searched, '\n', g_end - g_start - searched));
        if (feed) {
            if (feed - begin > kMaxRequestBytes)
                tooLong = true;
            if (!tooLong)
                TakeLine(static_cast<int>(feed - begin), line);
            g_start += static_cast<int>(feed - begin) + 1;
            return tooLong ? kLineTooLong : kLineRead;
        }
        if (g_end - g_start > kMaxRequestBytes) {
            tooLong = true;
            g_start = g_end;
        }
        searched = g_end - g_start;
        if (!tooLong && searched > 0 && searched <= kMaxUnendedRequestBytes && NothingWaiting()) {
            TakeLine(searched, line);
            g_start = g_end;
            g_feedOwed = true;
            return kLineRead;
        }
        if (!ReadMore()) {
            if (tooLong)
                return kLineTooLong;
            if (g_end == g_start)
                return kInputEnded;
            TakeLine(g_end - g_start, line);
            g_start = g_end;
            return kLineRead;
        }
    }
}

// UTF-8 to UTF-16; a null request when a string cannot be allocated.
Simple::CWideString DecodeRequest(const Simple::CByteString &line)
{
    Simple::CWideString request;
    if (!line.text)
        return request;
    int length = line.GetLength();
    wchar_t *buffer = request.GetBuffer(length + 1);
    if (buffer && !MultiByteToWideChar(CP_UTF8, 0, line.text, -1, buffer, length + 1))
        buffer[0] = 0;
    return request;
}

}  // namespace

void RunRequestLoop()
{
    // Loading a module with missing dependencies or from unreadable media
    // fails quietly instead of raising a system dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    CaptureProcessState();
    for (;;) {
        WriteOutput(Protocol::kReadyLine, sizeof Protocol::kReadyLine - 1);
        Simple::CByteString line;
        ELine got = NextLine(line);
        if (got == kInputEnded)
            break;
        PumpMessages();
        if (got == kLineTooLong)
            HandleRejectedRequest(Protocol::kRequestTooLongWide.text);
        else
            HandleRequest(DecodeRequest(line));
    }
}
