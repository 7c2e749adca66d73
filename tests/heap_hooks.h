// Hooks around the C heap for the foundation library's tests: simple_tests is
// linked with --wrap for malloc, realloc and free, so a test can make
// allocations fail and see which blocks were freed. Hooks act only while a
// test arms them; otherwise every call goes straight to the C run time.
#pragma once

#include <stddef.h>

namespace HeapHooks {

// While one exists, malloc and realloc (to a non-zero size) return null.
class CFailAllocations {
public:
    CFailAllocations();
    ~CFailAllocations();
};

// Records every non-null pointer given to free from construction (or Start)
// until Stop or destruction; up to a few thousand, more than that fails the
// recording test itself. Start forgets what was recorded before.
class CRecordFrees {
public:
    CRecordFrees() { Start(); }
    ~CRecordFrees();
    void Start();
    void Stop();
    // Pointers recorded, in the order they were freed.
    int Count() const;
    const void *At(int index) const;
    bool Contains(const void *block) const;
};

}  // namespace HeapHooks
