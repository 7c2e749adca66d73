// The channel to a child: lines whole and in order however the bytes arrive,
// a last line without a line feed, deadlines on reads and on writes to a
// child that stops reading, and a reader that stops while the child writes.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "host/channel/channel.h"
#include "host/text/utf8.h"
#include "support/piped_child.h"

using namespace ScanHost;

namespace {

const Milliseconds kTimeout{30000};

std::wstring ChildPath()
{
    return FromUtf8(TEST_BIN_DIR) + L"/process-child.exe";
}

void Start(CPipedChild &child, const wchar_t *arguments)
{
    std::string error;
    ASSERT_TRUE(child.Start(ChildPath(), arguments, false, &error)) << error;
}

TEST(Channel, ALastLineWithoutLineFeedIsALine)
{
    CPipedChild child;
    ASSERT_NO_FATAL_FAILURE(Start(child, L"write {out} first\\n\\nlast"));
    std::string line;
    for (const char *expected : {"first", "", "last"}) {
        ASSERT_EQ(child.channel.ReadLine(&line, kTimeout), ERead::Line);
        EXPECT_EQ(line, expected);
    }
    EXPECT_EQ(child.channel.ReadLine(&line, kTimeout), ERead::Closed);
    EXPECT_EQ(child.channel.ReadLine(&line, kTimeout), ERead::Closed);
}

// More than either pipe holds, in one write: the child copies it back in
// pieces of its own size, and every line comes back whole and in turn.
TEST(Channel, LinesComeBackWholeAndInOrder)
{
    CPipedChild child;
    ASSERT_NO_FATAL_FAILURE(Start(child, L"echo {in} {out}"));
    const int kLines = 5000;
    std::string bytes;
    for (int i = 0; i < kLines; ++i)
        bytes += "line " + std::to_string(i) + " " + std::string(i % 97, 'x') + "\n";
    ASSERT_GT(bytes.size(), 200000u);
    ASSERT_EQ(child.channel.Write(bytes, kTimeout), EWrite::Written);
    std::string line;
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(child.channel.ReadLine(&line, kTimeout), ERead::Line) << "line " << i;
        ASSERT_EQ(line, "line " + std::to_string(i) + " " + std::string(i % 97, 'x'));
    }
    child.channel.CloseInput();
    EXPECT_EQ(child.channel.ReadLine(&line, kTimeout), ERead::Closed);
    EXPECT_EQ(child.channel.Write("late\n", kTimeout), EWrite::Closed);
    EXPECT_EQ(child.process.WaitExit(kTimeout), std::optional<uint32_t>(0));
}

TEST(Channel, ReadGivesUpAtItsDeadline)
{
    CPipedChild child;
    ASSERT_NO_FATAL_FAILURE(Start(child, L"sleep"));
    std::string line = "untouched";
    EXPECT_EQ(child.channel.ReadLine(&line, Milliseconds(200)), ERead::Timeout);
    EXPECT_EQ(line, "untouched");
    // The child's end closes with the child: the output ends.
    child.process.Terminate();
    EXPECT_EQ(child.channel.ReadLine(&line, kTimeout), ERead::Closed);
}

// A child that never reads: a write of more than the pipe holds gives up at
// its deadline instead of blocking, and once the child is gone a write finds
// the pipe closed.
TEST(Channel, WriteGivesUpWhenTheChildStopsReading)
{
    CPipedChild child;
    ASSERT_NO_FATAL_FAILURE(Start(child, L"sleep"));
    EXPECT_EQ(child.channel.Write(std::string(1 << 20, 'x'), Milliseconds(500)), EWrite::Timeout);
    child.process.Terminate();
    ASSERT_TRUE(child.process.WaitExit(kTimeout));
    EXPECT_EQ(child.channel.Write("x\n", kTimeout), EWrite::Closed);
}

// The reader stops when told even while the child keeps writing; the
// child's writes then fail, and it ends.
TEST(Channel, StopsListeningWhileTheChildWrites)
{
    CPipedChild child;
    ASSERT_NO_FATAL_FAILURE(Start(child, L"flood {out}"));
    std::string line;
    ASSERT_EQ(child.channel.ReadLine(&line, kTimeout), ERead::Line);
    EXPECT_EQ(line, "line 0");
    child.channel.CloseOutput();
    EXPECT_EQ(child.process.WaitExit(kTimeout), std::optional<uint32_t>(0));
}

TEST(Channel, OpensOnce)
{
    CChannel channel;
    CError error;
    ASSERT_TRUE(channel.Open(&error)) << error.Text();
    EXPECT_NE(channel.ChildInput(), nullptr);
    EXPECT_NE(channel.ChildOutput(), nullptr);
    EXPECT_FALSE(channel.Open(&error));
    EXPECT_EQ(error.code, static_cast<uint32_t>(ERROR_ALREADY_INITIALIZED));
}

}  // namespace
