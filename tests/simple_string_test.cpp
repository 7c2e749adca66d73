// Tests of the reference-counted strings: block layout, null versus empty,
// equality, copy on write through GetBuffer, Insert and its growth, Format,
// Widen, and running out of memory.
#include "simple/simplestring.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <malloc.h>

#include <algorithm>
#include <string>
#include <vector>

#include "heap_hooks.h"

using Simple::CByteString;
using Simple::CStringT;
using Simple::CWideString;
using Simple::SStringHeader;

namespace {

// An ASCII literal as a text of the string's own characters.
template <typename T>
std::basic_string<T> Text(const char *ascii)
{
    std::basic_string<T> result;
    for (const char *p = ascii; *p; ++p)
        result += static_cast<T>(static_cast<unsigned char>(*p));
    return result;
}

template <typename T>
std::basic_string<T> Contents(const CStringT<T> &s)
{
    return s.text ? std::basic_string<T>(s.text) : std::basic_string<T>();
}

// Checks the block of a non-null string: the header sits right before the
// text, holds these values, and the heap block is exactly 16 bytes plus the
// capacity's characters.
template <typename T>
::testing::AssertionResult HasBlock(const CStringT<T> &s, const char *text, int capacity, int length,
                                    int refCount = 1)
{
    if (!s.text)
        return ::testing::AssertionFailure() << "the string is null";
    const SStringHeader *header = s.GetHeader();
    if (reinterpret_cast<const char *>(s.text) - reinterpret_cast<const char *>(header) != 12)
        return ::testing::AssertionFailure() << "the header is not the 12 bytes before the text";
    if (header->refCount != refCount || header->capacity != capacity || header->length != length)
        return ::testing::AssertionFailure()
               << "header {refCount " << header->refCount << ", capacity " << header->capacity << ", length "
               << header->length << "}, expected {" << refCount << ", " << capacity << ", " << length << "}";
    size_t size = _msize(const_cast<SStringHeader *>(header));
    if (size != 16 + capacity * sizeof(T))
        return ::testing::AssertionFailure() << "block of " << size << " bytes for capacity " << capacity;
    if (Contents(s) != Text<T>(text))
        return ::testing::AssertionFailure() << "the text differs from \"" << text << "\"";
    return ::testing::AssertionSuccess();
}

template <typename T>
class StringTest : public ::testing::Test {};
using CharacterTypes = ::testing::Types<char, wchar_t>;
TYPED_TEST_SUITE(StringTest, CharacterTypes);

}  // namespace

TYPED_TEST(StringTest, NullStringIsEmptyButNotEqualToEmpty)
{
    using S = CStringT<TypeParam>;
    S null;
    S otherNull;
    S empty(Text<TypeParam>("").c_str());

    EXPECT_EQ(null.text, nullptr);
    EXPECT_EQ(null.GetHeader(), nullptr);
    EXPECT_EQ(null.GetLength(), 0);
    EXPECT_TRUE(null.IsEmpty());
    EXPECT_TRUE(null == otherNull);
    EXPECT_TRUE(null == static_cast<const TypeParam *>(nullptr));

    EXPECT_TRUE(HasBlock(empty, "", 0, 0));
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_FALSE(null == empty);
    EXPECT_TRUE(null != empty);
    EXPECT_FALSE(empty == static_cast<const TypeParam *>(nullptr));
}

TYPED_TEST(StringTest, ConstructionFromText)
{
    struct Case {
        const char *source;  // null for a null text
        int count;
        const char *text;    // null when the result is the null string
        int capacity;
    };
    const Case cases[] = {
        {"RavoZazora", -1, "RavoZazora", 10},
        {"RavoZazora", 4, "Ravo", 4},
        {"path>12", 4, "path", 4},
        {"", -1, "", 0},
        {"abc", 0, "", 0},
        {nullptr, -1, nullptr, 0},
        {nullptr, 5, nullptr, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.source ? c.source : "(null)") << ", " << c.count);
        std::basic_string<TypeParam> source = c.source ? Text<TypeParam>(c.source) : std::basic_string<TypeParam>();
        CStringT<TypeParam> s(c.source ? source.c_str() : nullptr, c.count);
        if (!c.text)
            EXPECT_EQ(s.text, nullptr);
        else
            EXPECT_TRUE(HasBlock(s, c.text, c.capacity, c.capacity));
    }
}

TYPED_TEST(StringTest, LengthIsMeasuredOnceAfterAWrite)
{
    CStringT<TypeParam> s;
    TypeParam *buffer = s.GetBuffer(8);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer[0], 0) << "a fresh block holds an empty text";
    EXPECT_TRUE(HasBlock(s, "", 8, -1));

    std::basic_string<TypeParam> abc = Text<TypeParam>("abc");
    std::copy(abc.c_str(), abc.c_str() + 4, buffer);
    EXPECT_EQ(s.GetHeader()->length, -1);
    EXPECT_EQ(s.GetLength(), 3);
    EXPECT_EQ(s.GetHeader()->length, 3) << "the measured length is cached";
}

TYPED_TEST(StringTest, Equality)
{
    using S = CStringT<TypeParam>;
    struct Case {
        const char *a;
        const char *b;
        bool equal;
    };
    const Case cases[] = {
        {"abc", "abc", true},  {"abc", "abC", false}, {"abc", "ab", false},
        {"ab", "abc", false},  {"", "", true},        {"", "a", false},
        {nullptr, "", false},  {"", nullptr, false},  {nullptr, nullptr, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)"));
        std::basic_string<TypeParam> a = c.a ? Text<TypeParam>(c.a) : std::basic_string<TypeParam>();
        std::basic_string<TypeParam> b = c.b ? Text<TypeParam>(c.b) : std::basic_string<TypeParam>();
        S sa(c.a ? a.c_str() : nullptr);
        S sb(c.b ? b.c_str() : nullptr);
        EXPECT_EQ(sa == sb, c.equal);
        EXPECT_EQ(sa != sb, !c.equal);
        EXPECT_EQ(sa == sb.text, c.equal) << "against a text pointer";
    }

    S shared(Text<TypeParam>("x").c_str());
    S copy(shared);
    EXPECT_TRUE(shared == copy);
}

TYPED_TEST(StringTest, CopiesShareTheBlockAndReleaseIt)
{
    using S = CStringT<TypeParam>;
    S a(Text<TypeParam>("shared").c_str());
    {
        S b(a);
        EXPECT_EQ(b.text, a.text);
        EXPECT_TRUE(HasBlock(a, "shared", 6, 6, 2));
        S c;
        c = b;
        EXPECT_EQ(a.GetHeader()->refCount, 3);
        c = c;
        EXPECT_EQ(a.GetHeader()->refCount, 3) << "assigning a string to itself changes nothing";
    }
    EXPECT_EQ(a.GetHeader()->refCount, 1);

    // Assignment lets go of the target's old block: the other holder of it
    // is the only one left.
    S target(Text<TypeParam>("old").c_str());
    S keeper(target);
    target = a;
    EXPECT_EQ(target.text, a.text);
    EXPECT_EQ(a.GetHeader()->refCount, 2);
    EXPECT_TRUE(HasBlock(keeper, "old", 3, 3, 1));

    // Assigning a text makes a private block of its own.
    target = Text<TypeParam>("new").c_str();
    EXPECT_TRUE(HasBlock(target, "new", 3, 3, 1));
    EXPECT_EQ(a.GetHeader()->refCount, 1);

    // A text from the target's own block is still readable while it is copied.
    target = target.text + 1;
    EXPECT_TRUE(HasBlock(target, "ew", 2, 2));

    S null;
    S nullCopy(null);
    EXPECT_EQ(nullCopy.text, nullptr);
    target = null;
    EXPECT_EQ(target.text, nullptr);

    a.Release();
    EXPECT_EQ(a.text, nullptr);
}

TYPED_TEST(StringTest, GetBufferCopiesASharedBlock)
{
    using S = CStringT<TypeParam>;
    S a(Text<TypeParam>("abcdef").c_str());
    S b(a);
    const TypeParam *oldText = a.text;

    TypeParam *buffer = b.GetBuffer(10);
    ASSERT_NE(buffer, nullptr);
    EXPECT_NE(buffer, oldText);
    EXPECT_EQ(b.text, buffer);
    EXPECT_TRUE(HasBlock(b, "abcdef", 10, -1));
    EXPECT_EQ(a.text, oldText);
    EXPECT_TRUE(HasBlock(a, "abcdef", 6, 6, 1)) << "the old block's count drops back to 1";

    // Writing into the private copy leaves the other holder's text alone.
    buffer[0] = 'X';
    EXPECT_TRUE(HasBlock(a, "abcdef", 6, 6, 1));
    EXPECT_EQ(b.GetLength(), 6);
    EXPECT_EQ(Contents(b), Text<TypeParam>("Xbcdef"));

    // A smaller private copy keeps the characters that fit and ends there.
    S c(a);
    ASSERT_NE(c.GetBuffer(2), nullptr);
    EXPECT_TRUE(HasBlock(c, "ab", 2, -1));
    EXPECT_TRUE(HasBlock(a, "abcdef", 6, 6, 1));
}

TYPED_TEST(StringTest, GetBufferOnAPrivateBlock)
{
    using S = CStringT<TypeParam>;
    S s(Text<TypeParam>("abcdef").c_str());
    const TypeParam *text = s.text;

    // Large enough: same pointer, only the cached length is forgotten, and
    // the block never shrinks.
    for (int n : {6, 2, 0}) {
        SCOPED_TRACE(n);
        s.GetLength();
        EXPECT_EQ(s.GetBuffer(n), text);
        EXPECT_TRUE(HasBlock(s, "abcdef", 6, -1));
    }

    // Too small: the block grows to exactly n and keeps the text.
    TypeParam *grown = s.GetBuffer(40);
    ASSERT_NE(grown, nullptr);
    EXPECT_TRUE(HasBlock(s, "abcdef", 40, -1));
    EXPECT_EQ(grown[40], 0) << "a zero character at position n";
}

TYPED_TEST(StringTest, Insert)
{
    struct Case {
        const char *initial;  // null for the null string
        int position;
        const char *source;   // null for a null source
        int count;
        const char *text;     // null when the result is the null string
        int capacity;
    };
    const Case cases[] = {
        // Inserting in the middle moves the tail up.
        {"abc", 1, "XY", -1, "aXYbc", 6},
        {"abc", 0, "XY", -1, "XYabc", 6},
        {"abc", -1, "XY", -1, "abcXY", 6},
        {"abc", 3, "XY", -1, "abcXY", 6},
        // Beyond the length counts as the end.
        {"abc", 7, "XY", -1, "abcXY", 6},
        // A count takes that many characters of the source.
        {"abc", -1, "defgh", 2, "abcde", 6},
        {"abc", 1, "defgh", 2, "adebc", 6},
        // Growth doubles a private block, unless the text needs more.
        {"RavoZazora", -1, "-x86", -1, "RavoZazora-x86", 20},
        {"ab", -1, "cdefgh", -1, "abcdefgh", 8},
        // A null string gets exactly the room it needs.
        {nullptr, -1, "abc", -1, "abc", 3},
        {nullptr, 0, "abc", 2, "ab", 2},
        // Nothing to insert: an explicit 0 changes nothing, a measured 0
        // still leaves a block.
        {nullptr, -1, "", -1, "", 0},
        {nullptr, -1, nullptr, -1, "", 0},
        {nullptr, 0, "abc", 0, nullptr, 0},
        {"abc", 1, "XY", 0, "abc", 3},
        {"abc", 1, nullptr, 5, "abc", 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.initial ? c.initial : "(null)") << " insert at " << c.position
                                          << " " << (c.source ? c.source : "(null)") << ", " << c.count);
        std::basic_string<TypeParam> initial = c.initial ? Text<TypeParam>(c.initial) : std::basic_string<TypeParam>();
        std::basic_string<TypeParam> source = c.source ? Text<TypeParam>(c.source) : std::basic_string<TypeParam>();
        CStringT<TypeParam> s(c.initial ? initial.c_str() : nullptr);
        EXPECT_TRUE(s.Insert(c.position, c.source ? source.c_str() : nullptr, c.count));
        if (!c.text) {
            EXPECT_EQ(s.text, nullptr);
            continue;
        }
        int length = static_cast<int>(Text<TypeParam>(c.text).size());
        EXPECT_TRUE(HasBlock(s, c.text, c.capacity, length));
    }
}

TYPED_TEST(StringTest, InsertInPlaceAndIntoASharedBlock)
{
    using S = CStringT<TypeParam>;
    S s;
    ASSERT_NE(s.GetBuffer(16), nullptr);
    const TypeParam *text = s.text;
    EXPECT_TRUE(s.Append(Text<TypeParam>("abc").c_str()));
    EXPECT_TRUE(s.Insert(1, Text<TypeParam>("XY").c_str()));
    EXPECT_EQ(s.text, text) << "a text that fits is written in place";
    EXPECT_TRUE(HasBlock(s, "aXYbc", 16, 5));

    // A shared block is copied with exactly the room needed; the other
    // holder keeps the old text.
    S other(s);
    EXPECT_TRUE(s.Append(Text<TypeParam>("!").c_str()));
    EXPECT_TRUE(HasBlock(s, "aXYbc!", 6, 6));
    EXPECT_TRUE(HasBlock(other, "aXYbc", 16, 5, 1));

    // Appending a string to itself reads the source before the block moves.
    S twice(Text<TypeParam>("abc").c_str());
    EXPECT_TRUE(twice.Append(twice.text));
    EXPECT_TRUE(HasBlock(twice, "abcabc", 6, 6));
}

TYPED_TEST(StringTest, RepeatedAppendsDoubleTheCapacity)
{
    CStringT<TypeParam> s(Text<TypeParam>("a").c_str());
    std::vector<int> capacities;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(s.Append(Text<TypeParam>("b").c_str()));
        capacities.push_back(s.GetHeader()->capacity);
    }
    EXPECT_EQ(capacities, (std::vector<int>{2, 4, 4, 8, 8, 8, 8, 16}));
    EXPECT_TRUE(HasBlock(s, "abbbbbbbb", 16, 9));
}

TYPED_TEST(StringTest, RunningOutOfMemoryLeavesTheStringUnchanged)
{
    using S = CStringT<TypeParam>;
    const std::basic_string<TypeParam> abc = Text<TypeParam>("abc");
    const std::basic_string<TypeParam> digits = Text<TypeParam>("0123456789");
    const std::basic_string<TypeParam> bang = Text<TypeParam>("!");
    const std::basic_string<TypeParam> none;
    S s(abc.c_str());
    S shared(Text<TypeParam>("xyz").c_str());
    S holder(shared);
    S null;

    // Results are gathered while the heap fails and checked afterwards, when
    // reporting a failure can allocate again.
    bool failed[4];
    TypeParam *buffers[3];
    const TypeParam *copied;
    bool fitted;
    {
        HeapHooks::CFailAllocations fail;
        buffers[0] = s.GetBuffer(100);
        failed[0] = !s.Insert(1, digits.c_str());
        failed[1] = !s.Append(s.text);  // the copy of an own source fails too
        buffers[1] = shared.GetBuffer(1);
        failed[2] = !shared.Append(bang.c_str());
        buffers[2] = null.GetBuffer(0);
        failed[3] = !null.Append(none.c_str());
        S copy(abc.c_str());
        copied = copy.text;
        fitted = s.Insert(0, none.c_str(), 0);  // nothing to insert needs no memory
    }
    EXPECT_EQ(buffers[0], nullptr);
    EXPECT_EQ(buffers[1], nullptr);
    EXPECT_EQ(buffers[2], nullptr);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(failed[i]) << "insertion " << i << " should have failed";
    EXPECT_EQ(copied, nullptr) << "a copy that cannot be made is the null string";
    EXPECT_TRUE(fitted);
    EXPECT_TRUE(HasBlock(s, "abc", 3, 3));
    EXPECT_TRUE(HasBlock(shared, "xyz", 3, 3, 2));
    EXPECT_EQ(holder.text, shared.text);
    EXPECT_EQ(null.text, nullptr);

    // A capacity whose block size cannot be represented is refused without
    // asking the heap.
    for (int n : {INT_MAX, INT_MAX - 7, INT_MAX / 2 + 1}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(s.GetBuffer(n), nullptr);
        EXPECT_TRUE(HasBlock(s, "abc", 3, 3));
    }
    EXPECT_EQ(s.GetBuffer(-1), nullptr);
}

// Formatting follows the run time's wide formatter: "%s" takes a wide text and
// "%S" an 8-bit one.
TEST(FormatTest, Conversions)
{
    struct Case {
        CWideString result;
        const wchar_t *expected;
    };
    const Case cases[] = {
        {CWideString::Format(L"%i.%i.%i.%i", 1, 2, 3, 4), L"1.2.3.4"},
        {CWideString::Format(L"%s", L"wide text"), L"wide text"},
        {CWideString::Format(L"[%s]", static_cast<const wchar_t *>(nullptr)), L"[(null)]"},
        {CWideString::Format(L"%S", "8-bit \x41\xE9"), L"8-bit \x0041\x00E9"},
        {CWideString::Format(L"[%S]", static_cast<const char *>(nullptr)), L"[(null)]"},
        {CWideString::Format(L"%i", -42), L"-42"},
        {CWideString::Format(L"%.2i:%.2i", 7, 123), L"07:123"},
        {CWideString::Format(L"%.4i", 42), L"0042"},
        {CWideString::Format(L"%.8X", 0xBEEFu), L"0000BEEF"},
        {CWideString::Format(L"%.8X", 0x80000001u), L"80000001"},
        {CWideString::Format(L"%.4x", 0xABu), L"00ab"},
        {CWideString::Format(L"%.4x", 0x12345u), L"12345"},
        {CWideString::Format(L"%p", reinterpret_cast<void *>(0x1234AB)), L"001234AB"},
        {CWideString::Format(L""), L""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.expected);
        ASSERT_NE(c.result.text, nullptr);
        EXPECT_STREQ(c.result.text, c.expected);
    }
}

TEST(FormatTest, ResultBlockHasRoomForOneMore)
{
    CWideString s = CWideString::Format(L"%i.%i.%i.%i", 1, 2, 3, 4);
    EXPECT_TRUE(HasBlock(s, "1.2.3.4", 8, -1));
    EXPECT_EQ(s.GetLength(), 7);
    EXPECT_EQ(s.GetHeader()->length, 7);

    CWideString empty = CWideString::Format(L"");
    EXPECT_TRUE(HasBlock(empty, "", 1, -1));
}

TEST(FormatTest, LongResult)
{
    std::wstring part(700, L'x');
    CWideString s = CWideString::Format(L"%s-%s", part.c_str(), part.c_str());
    EXPECT_EQ(std::wstring(s.text), part + L"-" + part);
    EXPECT_EQ(s.GetHeader()->capacity, 1402);
}

namespace {

CWideString FormatThrough(const wchar_t *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    CWideString result = CWideString::FormatV(format, arguments);
    va_end(arguments);
    return result;
}

}  // namespace

TEST(FormatTest, FormatVTakesGatheredArguments)
{
    CWideString s = FormatThrough(L"%s: %.8X %S", L"warn", 0xC0000005u, "done");
    ASSERT_NE(s.text, nullptr);
    EXPECT_STREQ(s.text, L"warn: C0000005 done");
}

TEST(FormatTest, OutOfMemoryGivesTheNullString)
{
    const wchar_t *text;
    {
        HeapHooks::CFailAllocations fail;
        CWideString s = CWideString::Format(L"%i", 1);
        text = s.text;
    }
    EXPECT_EQ(text, nullptr);
}

TEST(WidenTest, EachByteBecomesTheUnitOfTheSameValue)
{
    CWideString s = Simple::Widen("\x41\xE9");
    ASSERT_NE(s.text, nullptr);
    EXPECT_EQ(s.text[0], 0x0041);
    EXPECT_EQ(s.text[1], 0x00E9);
    EXPECT_EQ(s.text[2], 0);
    EXPECT_TRUE(HasBlock(s, "\x41\xE9", 5, -1));
    EXPECT_EQ(s.GetLength(), 2);

    char all[256];
    for (int i = 1; i < 256; ++i)
        all[i - 1] = static_cast<char>(i);
    all[255] = 0;
    CWideString wide = Simple::Widen(all);
    ASSERT_EQ(wide.GetLength(), 255);
    for (int i = 1; i < 256; ++i)
        ASSERT_EQ(wide.text[i - 1], static_cast<wchar_t>(i)) << "byte " << i;
}

TEST(WidenTest, EmptyNullAndOutOfMemory)
{
    CWideString empty = Simple::Widen("");
    EXPECT_TRUE(HasBlock(empty, "", 1, -1)) << "an empty text gives an empty string, not the null string";

    EXPECT_EQ(Simple::Widen(nullptr).text, nullptr);

    const wchar_t *text;
    {
        HeapHooks::CFailAllocations fail;
        CWideString s = Simple::Widen("abc");
        text = s.text;
    }
    EXPECT_EQ(text, nullptr);
}
