#include "base/heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

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
    const Reuse reuse(4, 64 * kMiB);
    void* first = heapAllocate(3 * kMiB);
    ASSERT_NE(first, nullptr);
    std::memset(first, 0x11, 3 * kMiB);
    heapRelease(first);
    EXPECT_GE(keptBlockBytes(), 3 * kMiB);
    // A request more than a quarter smaller than the kept block gets a block of its own.
    HeapPtr<std::uint8_t[]> small = allocateArray<std::uint8_t>(2 * kMiB);
    ASSERT_TRUE(small);
    EXPECT_NE(static_cast<void*>(small.get()), first);
    // One nearly as large gets the kept block, its bytes as they were.
    HeapPtr<std::uint8_t[]> again = allocateArray<std::uint8_t>(3 * kMiB - 4096);
    ASSERT_TRUE(again);
    EXPECT_EQ(static_cast<void*>(again.get()), first);
    EXPECT_EQ(again[100], 0x11);
    EXPECT_EQ(keptBlockBytes(), 0u);
    // Small blocks are never kept.
    heapRelease(heapAllocate(1000));
    EXPECT_EQ(keptBlockBytes(), 0u);
  }
  EXPECT_EQ(keptBlockBytes(), 0u);
  void* block = heapAllocate(3 * kMiB);
  heapRelease(block);
  EXPECT_EQ(keptBlockBytes(), 0u);
}

TEST(Heap, KeptBlocksStayWithinTheirBoundsOldestFreedFirst) {
  const Reuse reuse(3, 10 * kMiB);
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < 6; ++i) blocks.push_back(heapAllocate((2 + i % 2) * kMiB));
  for (void* block : blocks) {
    heapRelease(block);
    EXPECT_LE(keptBlockBytes(), 10 * kMiB);
  }
  // At most three kept; the last released (3 MiB) is among them.
  HeapPtr<std::uint8_t[]> again = allocateArray<std::uint8_t>(3 * kMiB);
  EXPECT_EQ(static_cast<void*>(again.get()), blocks[5]);
  // A block larger than the byte bound is freed at once.
  heapRelease(heapAllocate(11 * kMiB));
  EXPECT_LE(keptBlockBytes(), 10 * kMiB);
  setLargeBlockReuse(1, 10 * kMiB);
  EXPECT_LE(keptBlockBytes(), 3 * kMiB + kMiB);
}

TEST(Heap, InjectedFailuresApplyToKeptBlocks) {
  const Reuse reuse(4, 64 * kMiB);
  heapRelease(heapAllocate(2 * kMiB));
  ASSERT_GT(keptBlockBytes(), 0u);
  const unsigned long failures = heapFailureCount();
  failAllocationsAfter(0);
  EXPECT_EQ(heapAllocate(2 * kMiB), nullptr);
  failAllocationsAfter(-1);
  EXPECT_EQ(heapFailureCount(), failures + 1);
  EXPECT_GT(keptBlockBytes(), 0u);
}

// Blocks taken on one thread and released on another, as a parallel run does with pictures;
// each thread checks that no other thread wrote into a block it holds.
TEST(Heap, KeptBlocksAreSharedSafelyBetweenThreads) {
  const Reuse reuse(8, 64 * kMiB);
  std::vector<std::thread> threads;
  std::vector<int> errors(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &errors] {
      for (int round = 0; round < 200; ++round) {
        const std::size_t bytes = kMiB + static_cast<std::size_t>((round + t) % 5) * 65536;
        auto* block = static_cast<std::uint8_t*>(heapAllocate(bytes));
        if (block == nullptr) continue;
        const auto mark = static_cast<std::uint8_t>(t * 50 + round % 50);
        std::memset(block, mark, bytes);
        if (block[0] != mark || block[bytes - 1] != mark) ++errors[static_cast<std::size_t>(t)];
        heapRelease(block);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const int count : errors) EXPECT_EQ(count, 0);
}

}  // namespace
