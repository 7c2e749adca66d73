// Reference-counted, copy-on-write strings: CWideString holds UTF-16 units,
// CByteString bytes. A string is one pointer to a zero-terminated text whose
// heap block starts, just before the text, with a reference count, the
// capacity and a cached length. The null string (no block) is distinct from the
// empty one. Running out of memory is reported by a null or false result.
#pragma once

#include <stdarg.h>
#include <stddef.h>

namespace Simple {

// Header of a string block. The characters follow it directly, then room for
// a terminator: a block of capacity c takes sizeof(SStringHeader) + c units
// + 4 bytes.
struct SStringHeader {
    int refCount;  // holders of the block; 1 for a private block
    int capacity;  // characters the text may hold, not counting the terminator
    int length;    // characters before the terminator, or -1 when not measured
};

template <typename T>
class CStringT {
public:
    // The text, or null for the null string. Pass it wherever a zero-terminated
    // text is expected; never assign it.
    T *text;

    CStringT() : text(nullptr) {}
    // Copies count characters of source (all of it when count is negative). A
    // null source gives the null string, so does running out of memory.
    CStringT(const T *source, int count = -1);
    CStringT(const CStringT &other);
    CStringT(CStringT &&other) noexcept : text(other.text) { other.text = nullptr; }
    ~CStringT() { Release(); }

    CStringT &operator=(const CStringT &other);
    CStringT &operator=(CStringT &&other) noexcept;
    // Replaces the text with a copy of source; see the constructor.
    CStringT &operator=(const T *source);

    // Lets go of the block (freeing it when this was its last holder); the
    // string becomes null.
    void Release();

    // Characters before the terminator; 0 for the null string.
    int GetLength() const;
    // True for the null string and for a text of no characters.
    bool IsEmpty() const { return GetLength() == 0; }

    // Returns the characters of a private block with room for at least n
    // characters and a terminator, keeping the text that fits. The caller may
    // write up to n characters and must leave a zero character after them.
    // Returns null when memory runs out; the string is then unchanged. This is
    // the one place where a shared block is copied before a write.
    T *GetBuffer(int n);

    // Inserts count characters of source (all of it when count is negative)
    // before position (the end when position is negative or beyond the
    // length). A null source inserts nothing. An explicit count of 0 changes
    // nothing at all; any other insertion leaves a private block, so a null
    // string becomes empty. Returns false when memory runs out, leaving the
    // string unchanged.
    bool Insert(int position, const T *source, int count = -1);
    bool Append(const T *source) { return Insert(-1, source, -1); }

    // Equal when both are the same block (two null strings included), unequal
    // when only one is null, otherwise compared character by character.
    bool operator==(const CStringT &other) const { return Equals(other.text); }
    bool operator==(const T *other) const { return Equals(other); }
    bool operator!=(const CStringT &other) const { return !Equals(other.text); }
    bool operator!=(const T *other) const { return !Equals(other); }

    // printf-style formatting into a new string with the C run time's wide
    // formatter ("%s" a wide text, "%S" an 8-bit one). Wide strings only. The
    // result is null when memory runs out or the format is malformed.
    static CStringT Format(const T *format, ...);
    static CStringT FormatV(const T *format, va_list arguments);

    // The block header, or null for the null string.
    const SStringHeader *GetHeader() const { return text ? Header() : nullptr; }

private:
    SStringHeader *Header() const { return reinterpret_cast<SStringHeader *>(text) - 1; }
    static size_t BlockSize(int capacity) { return sizeof(SStringHeader) + capacity * sizeof(T) + 4; }
    bool Equals(const T *other) const;
};

typedef CStringT<wchar_t> CWideString;
typedef CStringT<char> CByteString;

template <> CWideString CWideString::Format(const wchar_t *format, ...);
template <> CWideString CWideString::FormatV(const wchar_t *format, va_list arguments);

// Widens 8-bit text byte by byte: each byte becomes the UTF-16 unit of the
// same value. A null source gives the null string, so does running out of
// memory.
CWideString Widen(const char *source);

}  // namespace Simple
