// The host library's texts: telling the server's lines apart by their level,
// and UTF-8 both ways.
#include <gtest/gtest.h>

#include "host/server/scanserver.h"
#include "host/text/utf8.h"

using namespace ScanHost;

TEST(SplitServerLine, LevelIsTheWordBeforeTheFirstColon)
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
        CServerLine line = SplitServerLine(c.line);
        EXPECT_EQ(line.level, c.level) << c.line;
        EXPECT_EQ(line.text, c.text) << c.line;
    }
}

TEST(Utf8, ConvertsBothWays)
{
    EXPECT_EQ(ToUtf8(L"caf\u00e9 \U0001F3B9"), "caf\xc3\xa9 \xf0\x9f\x8e\xb9");
    EXPECT_EQ(FromUtf8("caf\xc3\xa9 \xf0\x9f\x8e\xb9"), L"caf\u00e9 \U0001F3B9");
    EXPECT_EQ(ToUtf8(L""), "");
    EXPECT_EQ(FromUtf8("\xff"), L"\ufffd");
}
