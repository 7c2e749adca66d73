// The wrapped heap functions. State is volatile: the compiler may assume that
// malloc and free touch none of this program's variables.
#include "heap_hooks.h"

#include <gtest/gtest.h>

extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_realloc(void *block, size_t size);
extern "C" void __real_free(void *block);

namespace {

const int kMaxRecorded = 4096;

volatile bool g_bFail = false;
volatile bool g_bRecord = false;
volatile int g_nRecorded = 0;
volatile bool g_bOverflow = false;
const void *volatile g_recorded[kMaxRecorded];

}  // namespace

extern "C" void *__wrap_malloc(size_t size)
{
    if (g_bFail)
        return nullptr;
    return __real_malloc(size);
}

extern "C" void *__wrap_realloc(void *block, size_t size)
{
    if (g_bFail && size > 0)
        return nullptr;
    return __real_realloc(block, size);
}

extern "C" void __wrap_free(void *block)
{
    if (g_bRecord && block) {
        int n = g_nRecorded;
        if (n < kMaxRecorded) {
            g_recorded[n] = block;
            g_nRecorded = n + 1;
        } else {
            g_bOverflow = true;
        }
    }
    __real_free(block);
}

namespace HeapHooks {

CFailAllocations::CFailAllocations() { g_bFail = true; }
CFailAllocations::~CFailAllocations() { g_bFail = false; }

void CRecordFrees::Start()
{
    g_nRecorded = 0;
    g_bOverflow = false;
    g_bRecord = true;
}

void CRecordFrees::Stop() { g_bRecord = false; }

CRecordFrees::~CRecordFrees()
{
    Stop();
    EXPECT_FALSE(g_bOverflow) << "more frees than the hooks can record";
}

int CRecordFrees::Count() const { return g_nRecorded; }
const void *CRecordFrees::At(int index) const { return g_recorded[index]; }

bool CRecordFrees::Contains(const void *block) const
{
    for (int i = 0; i < g_nRecorded; ++i) {
        if (g_recorded[i] == block)
            return true;
    }
    return false;
}

}  // namespace HeapHooks
