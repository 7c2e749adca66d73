// The host library's own helpers: telling output lines apart by their level
// and quoting arguments for the server's command line.
#include "host/scanhost.h"

#include <shellapi.h>

#include <gtest/gtest.h>

using namespace ScanHost;

TEST(SplitLine, LevelIsTheWordBeforeTheFirstColon)
{
    const struct {
        const char *line, *level, *text;
    } cases[] = {
        {"info:Freed", "info", "Freed"},
        {">:{", ">", "{"},
        {">:  \"id\":        \"00000000\",", ">", "  \"id\":        \"00000000\","},
        {"error:", "error", ""},
        {"warn:a:b", "warn", "a:b"},
        {"ready:", "ready", ""},
        // No known level: the whole line is text.
        {"C:\\x.dll", "", "C:\\x.dll"},
        {"infos:x", "", "infos:x"},
        {"Info:x", "", "Info:x"},
        {"", "", ""},
        {"no colon", "", "no colon"},
    };
    for (const auto &c : cases) {
        CLine line = SplitLine(c.line);
        EXPECT_EQ(line.level, c.level) << c.line;
        EXPECT_EQ(line.text, c.text) << c.line;
    }
}

TEST(QuoteArgument, CommandLineToArgvGivesItBack)
{
    const wchar_t *cases[] = {
        L"plain",
        L"",
        L"with space",
        L"C:\\dumps",
        L"C:\\dump folder\\",
        L"trailing\\\\",
        L"quote\"inside",
        L"back\\\"slash quote",
        L"\\\\server\\share\\x y",
        L"tab\there",
        L"caf\u00e9",
    };
    for (const wchar_t *argument : cases) {
        std::wstring commandLine = L"server.exe " + QuoteArgument(argument) + L" next";
        int count = 0;
        LPWSTR *argv = CommandLineToArgvW(commandLine.c_str(), &count);
        ASSERT_NE(argv, nullptr);
        EXPECT_EQ(count, 3) << ToUtf8(commandLine);
        if (count == 3) {
            EXPECT_EQ(std::wstring(argv[1]), argument) << ToUtf8(commandLine);
            EXPECT_EQ(std::wstring(argv[2]), L"next") << ToUtf8(commandLine);
        }
        LocalFree(argv);
    }
}

TEST(Utf8, ConvertsBothWays)
{
    EXPECT_EQ(ToUtf8(L"caf\u00e9 \U0001F3B9"), "caf\xc3\xa9 \xf0\x9f\x8e\xb9");
    EXPECT_EQ(FromUtf8("caf\xc3\xa9 \xf0\x9f\x8e\xb9"), L"caf\u00e9 \U0001F3B9");
    EXPECT_EQ(ToUtf8(L""), "");
    EXPECT_EQ(FromUtf8("\xff"), L"\ufffd");
}
