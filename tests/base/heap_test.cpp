#include "base/heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// A quarter of the smallest block that is kept.
constexpr std::size_t kQuarter = kReusedBlockMinBytes / 4;

// Turns large-block reuse on for one test and off (every kept block freed) after it.
class Reuse {
 public:
  Reuse(std::size_t blocks, std::size_t bytes) { setLargeBlockReuse(blocks, bytes); }
  ~Reuse() { setLargeBlockReuse(0, 0); }
  Reuse(const Reuse&) = delete;
  Reuse& operator=(const Reuse&) = delete;
};

TEST(Heap, ReleasedLargeBlockServesASimilarRequestOnlyWhileReuseIsOn) {
  {
    const Reuse reuse(4, 64 * kQuarter);
    void* first = heapAllocate(6 * kQuarter);
    ASSERT_NE(first, nullptr);
    std::memset(first, 0x11, 6 * kQuarter);
    heapRelease(first);
    EXPECT_GE(keptBlockBytes(), 6 * kQuarter);
    // A request more than a quarter smaller than the kept block gets a block of its own.
    HeapPtr<std::uint8_t[]> small = allocateArray<std::uint8_t>(4 * kQuarter);
    ASSERT_TRUE(small);
    EXPECT_NE(static_cast<void*>(small.get()), first);
    // One nearly as large gets the kept block, its bytes as they were.
    HeapPtr<std::uint8_t[]> again = allocateArray<std::uint8_t>(6 * kQuarter - 4096);
    ASSERT_TRUE(again);
    EXPECT_EQ(static_cast<void*>(again.get()), first);
    EXPECT_EQ(again[100], 0x11);
    EXPECT_EQ(keptBlockBytes(), 0u);
    // Small blocks are never kept.
    heapRelease(heapAllocate(1000));
    EXPECT_EQ(keptBlockBytes(), 0u);
  }
  EXPECT_EQ(keptBlockBytes(), 0u);
  void* block = heapAllocate(6 * kQuarter);
  heapRelease(block);
  EXPECT_EQ(keptBlockBytes(), 0u);
}

TEST(Heap, KeptBlocksStayWithinTheirBoundsOldestFreedFirst) {
  const Reuse reuse(3, 14 * kQuarter);
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < 6; ++i) blocks.push_back(heapAllocate((4 + 2 * (i % 2)) * kQuarter));
  for (void* block : blocks) {
    heapRelease(block);
    EXPECT_LE(keptBlockBytes(), 14 * kQuarter);
  }
  // The last released of the larger size is among the kept ones.
  HeapPtr<std::uint8_t[]> again = allocateArray<std::uint8_t>(6 * kQuarter);
  EXPECT_EQ(static_cast<void*>(again.get()), blocks[5]);
  // A block larger than the byte bound is freed at once.
  heapRelease(heapAllocate(15 * kQuarter));
  EXPECT_LE(keptBlockBytes(), 14 * kQuarter);
  setLargeBlockReuse(1, 14 * kQuarter);
  EXPECT_LE(keptBlockBytes(), 7 * kQuarter);
}

TEST(Heap, InjectedFailuresApplyToKeptBlocks) {
  const Reuse reuse(4, 64 * kQuarter);
  heapRelease(heapAllocate(4 * kQuarter));
  ASSERT_GT(keptBlockBytes(), 0u);
  const unsigned long failures = heapFailureCount();
  failAllocationsAfter(0);
  EXPECT_EQ(heapAllocate(4 * kQuarter), nullptr);
  failAllocationsAfter(-1);
  EXPECT_EQ(heapFailureCount(), failures + 1);
  EXPECT_GT(keptBlockBytes(), 0u);
}

// Blocks taken on one thread and released on another, as a parallel run does with pictures;
// each thread checks that no other thread wrote into a block it holds.
TEST(Heap, KeptBlocksAreSharedSafelyBetweenThreads) {
  const Reuse reuse(8, 64 * kQuarter);
  std::vector<std::thread> threads;
  std::vector<int> errors(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &errors] {
      for (int round = 0; round < 100; ++round) {
        const std::size_t bytes =
            kReusedBlockMinBytes + static_cast<std::size_t>((round + t) % 5) * 65536;
        auto* block = static_cast<std::uint8_t*>(heapAllocate(bytes));
        if (block == nullptr) continue;
        const auto mark = static_cast<std::uint8_t>(t * 50 + round % 50);
        // The first and the last page are enough to see another thread's writes.
        std::memset(block, mark, 4096);
        std::memset(block + bytes - 4096, mark, 4096);
        if (block[0] != mark || block[bytes - 1] != mark) ++errors[static_cast<std::size_t>(t)];
        heapRelease(block);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const int count : errors) EXPECT_EQ(count, 0);
}

}  // namespace
