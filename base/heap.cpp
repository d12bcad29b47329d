// Heap allocation with a test-only fault injection counter.

#include "base/heap.h"

#include <atomic>

namespace {

// Shared by every thread, so a test can starve a parallel run as well as a sequential one.
std::atomic<long> allocationsBeforeFailure{-1};
thread_local unsigned long failureCount = 0;

// Counts a failed allocation; returns block.
void* counted(void* block) noexcept {
  if (block == nullptr) ++failureCount;
  return block;
}

bool injectedFailure() noexcept {
  long left = allocationsBeforeFailure.load(std::memory_order_relaxed);
  while (true) {
    if (left < 0) return false;
    if (left == 0) return true;
    if (allocationsBeforeFailure.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
      return false;
    }
  }
}

}  // namespace

void* heapAllocate(std::size_t bytes) noexcept {
  if (injectedFailure()) return counted(nullptr);
  return counted(std::malloc(bytes == 0 ? 1 : bytes));
}

void* heapAllocateZeroed(std::size_t bytes) noexcept {
  if (injectedFailure()) return counted(nullptr);
  return counted(std::calloc(bytes == 0 ? 1 : bytes, 1));
}

void* heapReallocate(void* block, std::size_t bytes) noexcept {
  if (injectedFailure()) return counted(nullptr);
  return counted(std::realloc(block, bytes == 0 ? 1 : bytes));
}

unsigned long heapFailureCount() noexcept { return failureCount; }

void failAllocationsAfter(long count) noexcept { allocationsBeforeFailure = count; }
