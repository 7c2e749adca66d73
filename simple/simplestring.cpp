// Reference-counted strings: block management, copy on write and formatting.
#include "simple/simplestring.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace Simple {

namespace {

template <typename T>
int MeasureText(const T *source)
{
    int n = 0;
    while (source[n])
        ++n;
    return n;
}

}  // namespace

template <typename T>
CStringT<T>::CStringT(const T *source, int count) : text(nullptr)
{
    if (!source)
        return;
    if (count < 0)
        count = MeasureText(source);
    T *buffer = GetBuffer(count);
    if (!buffer)
        return;
    memcpy(buffer, source, count * sizeof(T));
    buffer[count] = 0;
    Header()->length = count;
}

template <typename T>
CStringT<T>::CStringT(const CStringT &other) : text(other.text)
{
    if (text)
        ++Header()->refCount;
}

template <typename T>
CStringT<T> &CStringT<T>::operator=(const CStringT &other)
{
    if (text == other.text)
        return *this;
    if (other.text)
        ++other.Header()->refCount;
    Release();
    text = other.text;
    return *this;
}

template <typename T>
CStringT<T> &CStringT<T>::operator=(CStringT &&other) noexcept
{
    if (this != &other) {
        Release();
        text = other.text;
        other.text = nullptr;
    }
    return *this;
}

template <typename T>
CStringT<T> &CStringT<T>::operator=(const T *source)
{
    // The copy is made before the old block goes, so a source inside that
    // block stays readable.
    CStringT copy(source);
    return *this = static_cast<CStringT &&>(copy);
}

template <typename T>
void CStringT<T>::Release()
{
    if (!text)
        return;
    SStringHeader *header = Header();
    if (header->refCount <= 1)
        free(header);
    else
        --header->refCount;
    text = nullptr;
}

template <typename T>
int CStringT<T>::GetLength() const
{
    if (!text)
        return 0;
    SStringHeader *header = Header();
    if (header->length < 0)
        header->length = MeasureText(text);
    return header->length;
}

template <typename T>
T *CStringT<T>::GetBuffer(int n)
{
    // A capacity whose block size does not fit in a size_t cannot be had
    // (for wide strings the size would wrap round to a tiny block).
    if (n < 0 || static_cast<size_t>(n) > (SIZE_MAX - sizeof(SStringHeader) - 4) / sizeof(T))
        return nullptr;
    SStringHeader *header = text ? Header() : nullptr;

    if (header && header->refCount > 1) {
        SStringHeader *fresh = static_cast<SStringHeader *>(malloc(BlockSize(n)));
        if (!fresh)
            return nullptr;
        int kept = header->capacity < n ? header->capacity : n;
        memcpy(fresh, header, BlockSize(kept));
        fresh->refCount = 1;
        fresh->capacity = n;
        fresh->length = -1;
        --header->refCount;
        text = reinterpret_cast<T *>(fresh + 1);
        text[n] = 0;
        return text;
    }

    if (header && header->capacity >= n) {
        header->length = -1;
        return text;
    }

    SStringHeader *grown = static_cast<SStringHeader *>(realloc(header, BlockSize(n)));
    if (!grown)
        return nullptr;
    T *characters = reinterpret_cast<T *>(grown + 1);
    if (!header)
        characters[0] = 0;
    grown->refCount = 1;
    grown->capacity = n;
    grown->length = -1;
    characters[n] = 0;
    text = characters;
    return text;
}

template <typename T>
bool CStringT<T>::Insert(int position, const T *source, int count)
{
    if (count == 0)
        return true;
    if (count < 0 || !source)
        count = source ? MeasureText(source) : 0;

    // A source inside this string's own block could move when the block
    // grows; insert from a copy then.
    if (source && text && source >= text && source <= text + Header()->capacity) {
        CStringT copy(source, count);
        if (!copy.text)
            return false;
        return Insert(position, copy.text, count);
    }

    int oldLength = GetLength();
    if (position < 0 || position > oldLength)
        position = oldLength;
    if (count > INT_MAX - oldLength)
        return false;
    int newLength = oldLength + count;

    T *buffer;
    if (!text || Header()->refCount > 1) {
        buffer = GetBuffer(newLength);
    } else if (newLength > Header()->capacity) {
        int capacity = Header()->capacity;
        int doubled = capacity > INT_MAX / 2 ? INT_MAX : 2 * capacity;
        buffer = GetBuffer(newLength > doubled ? newLength : doubled);
    } else {
        buffer = text;
    }
    if (!buffer)
        return false;

    if (position != oldLength && count > 0)
        memmove(buffer + position + count, buffer + position, (oldLength - position) * sizeof(T));
    if (count > 0)
        memcpy(buffer + position, source, count * sizeof(T));
    buffer[newLength] = 0;
    Header()->length = newLength;
    return true;
}

template <typename T>
bool CStringT<T>::Equals(const T *other) const
{
    if (text == other)
        return true;
    if (!text || !other)
        return false;
    const T *a = text;
    const T *b = other;
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

template <>
CWideString CWideString::FormatV(const wchar_t *format, va_list arguments)
{
    CWideString result;
    va_list measuring;
    va_copy(measuring, arguments);
    int n = _vscwprintf(format, measuring);
    va_end(measuring);
    if (n < 0)
        return result;
    wchar_t *buffer = result.GetBuffer(n + 1);
    if (!buffer)
        return result;
    _vsnwprintf(buffer, n + 1, format, arguments);
    buffer[n] = 0;
    return result;
}

template <>
CWideString CWideString::Format(const wchar_t *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    CWideString result = FormatV(format, arguments);
    va_end(arguments);
    return result;
}

CWideString Widen(const char *source)
{
    CWideString result;
    if (!source)
        return result;
    int m = MeasureText(source);
    if (m > (INT_MAX - 1) / 2)
        return result;
    wchar_t *buffer = result.GetBuffer(2 * m + 1);
    if (!buffer)
        return result;
    for (int i = 0; i <= m; ++i)
        buffer[i] = static_cast<unsigned char>(source[i]);
    return result;
}

template class CStringT<char>;
template class CStringT<wchar_t>;

}  // namespace Simple
