// Element semantics for the containers: how a key is compared and what
// letting go of an element means. SValue copies plain values and never destroys
// them; SOwnedPtr owns the object an element points to and deletes it.
#pragma once

namespace Simple {

struct SValue {
    // 1 when a is greater, 0 when equal, -1 when a is smaller.
    template <typename T>
    static int Compare(const T &a, const T &b)
    {
        return a < b ? -1 : (b < a ? 1 : 0);
    }
    template <typename T>
    static void Destroy(T &) {}
};

struct SOwnedPtr {
    template <typename T>
    static void Destroy(T *&element)
    {
        delete element;
        element = nullptr;
    }
};

}  // namespace Simple
