// Output lines: formatting, UTF-8 conversion and the single write per line.
#include "service/log.h"

#include "protocol/protocol.h"
#include "simple/simplestring.h"

HANDLE g_hOutput;

namespace {

// Plug-ins may call the host callback, and so write lines, from threads of
// their own: one lock keeps each line whole.
SRWLOCK g_lockOutput = SRWLOCK_INIT;

}  // namespace

void WriteOutput(const char *bytes, int count)
{
    AcquireSRWLockExclusive(&g_lockOutput);
    DWORD written = 0;
    WriteFile(g_hOutput, bytes, count, &written, nullptr);
    FlushFileBuffers(g_hOutput);
    ReleaseSRWLockExclusive(&g_lockOutput);
}

void LogWriteV(const char *level, const wchar_t *format, va_list arguments)
{
    Simple::CByteString line(level);
    line.Append(Protocol::kLevelSeparator);
    Simple::CWideString message = Simple::CWideString::FormatV(format, arguments);
    if (!line.text || !message.text)
        return;

    // A message is at most one line: line breaks inside it (from plug-in
    // texts, or a request's carriage return) are shown by their control
    // picture, so that no text can forge a "ready:" or a report line.
    int length = message.GetLength();
    wchar_t *units = message.GetBuffer(length);
    if (!units)
        return;
    for (int i = 0; i + 1 < length; ++i) {
        if (units[i] == L'\n')
            units[i] = L'\u240A';
        else if (units[i] == L'\r')
            units[i] = L'\u240D';
    }

    // Three bytes of UTF-8 for each UTF-16 unit cover every input.
    Simple::CByteString utf8;
    char *buffer = utf8.GetBuffer(3 * (length + 1));
    if (!buffer)
        return;
    if (!WideCharToMultiByte(CP_UTF8, 0, message.text, length + 1, buffer, 3 * (length + 1), nullptr, nullptr))
        buffer[0] = 0;
    if (!line.Append(utf8.text))
        return;
    WriteOutput(line.text, line.GetLength());
}

void LogWrite(const char *level, const wchar_t *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    LogWriteV(level, format, arguments);
    va_end(arguments);
}

#define DEFINE_LEVEL_WRITER(name, level)         \
    void name(const wchar_t *format, ...)        \
    {                                            \
        va_list arguments;                       \
        va_start(arguments, format);             \
        LogWriteV(level, format, arguments);     \
        va_end(arguments);                       \
    }

DEFINE_LEVEL_WRITER(LogError, Protocol::kLevelError)
DEFINE_LEVEL_WRITER(LogWarn, Protocol::kLevelWarn)
DEFINE_LEVEL_WRITER(LogInfo, Protocol::kLevelInfo)
DEFINE_LEVEL_WRITER(LogResult, Protocol::kLevelReport)
