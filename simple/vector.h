// CVector: a growable array whose element semantics decide what letting go of
// an element means (SOwnedPtr deletes the object it points to). Elements sit at
// positions 0 to count - 1 in the order they were added; the array comes from
// the C heap, starts at 16 slots and doubles.
#pragma once

#include <stdlib.h>

#include "simple/semantics.h"

namespace Simple {

// T is the element type, Semantics says how elements are let go of, ArgT is
// the type an element is passed as.
template <typename T, typename Semantics, typename ArgT>
class CVector {
public:
    int count;     // elements in use
    int capacity;  // slots allocated
    T *items;      // null until the first element is added

    CVector() : count(0), capacity(0), items(nullptr) {}
    CVector(const CVector &) = delete;
    CVector &operator=(const CVector &) = delete;

    // Lets go of every element in index order and frees the array.
    virtual ~CVector()
    {
        for (int i = 0; i < count; ++i)
            Semantics::Destroy(items[i]);
        count = 0;
        free(items);
    }

    // Appends element. Returns false when the array cannot grow; the element
    // is then not stored and stays the caller's.
    bool Add(ArgT element)
    {
        if (count + 1 > capacity) {
            int grown = 2 * (count + 1);
            if (grown < 16)
                grown = 16;
            T *larger = static_cast<T *>(realloc(items, grown * sizeof(T)));
            if (!larger)
                return false;
            items = larger;
            capacity = grown;
        }
        items[count++] = element;
        return true;
    }

    int GetCount() const { return count; }
    // The element at index, 0 <= index < count.
    ArgT GetAt(int index) const { return items[index]; }
};

}  // namespace Simple
