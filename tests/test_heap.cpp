// The process heap.
#include "platform/platform.h"

#include <gtest/gtest.h>

namespace {

TEST(ProcessHeap, ZeroFilledBlocksAndWindowsResults)
{
    HANDLE heap = GetProcessHeap();
    ASSERT_NE(nullptr, heap);
    EXPECT_EQ(heap, GetProcessHeap());

    // Dirty a block and free it, so that a later block of the same size is
    // likely to reuse the memory: HEAP_ZERO_MEMORY must still clear it.
    BYTE* dirty = static_cast<BYTE*>(HeapAlloc(heap, 0, 4096));
    ASSERT_NE(nullptr, dirty);
    memset(dirty, 0xA5, 4096);
    EXPECT_TRUE(HeapFree(heap, 0, dirty));
    BYTE* zeroed = static_cast<BYTE*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 4096));
    ASSERT_NE(nullptr, zeroed);
    size_t nonZero = 0;
    for (size_t i = 0; i < 4096; ++i) nonZero += zeroed[i] != 0;
    EXPECT_EQ(0u, nonZero);
    EXPECT_TRUE(HeapFree(heap, 0, zeroed));

    // A zero-byte block is a real, distinct block.
    void* a = HeapAlloc(heap, 0, 0);
    void* b = HeapAlloc(heap, 0, 0);
    EXPECT_NE(nullptr, a);
    EXPECT_NE(a, b);
    EXPECT_TRUE(HeapFree(heap, 0, a));
    EXPECT_TRUE(HeapFree(heap, 0, b));

    // Freeing null succeeds; a heap that is not ours is refused.
    EXPECT_TRUE(HeapFree(heap, 0, nullptr));
    int notAHeap = 0;
    SetLastError(0);
    EXPECT_FALSE(HeapFree(&notAHeap, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(nullptr, HeapAlloc(&notAHeap, 0, 16));
}

}  // namespace
