// Heap allocation with a test-only fault injection counter.

#include "base/heap.h"

namespace {

long allocationsBeforeFailure = -1;
thread_local unsigned long failureCount = 0;

// Counts a failed allocation; returns block.
void* counted(void* block) noexcept {
  if (block == nullptr) ++failureCount;
  return block;
}

bool injectedFailure() noexcept {
  if (allocationsBeforeFailure < 0) return false;
  if (allocationsBeforeFailure == 0) return true;
  --allocationsBeforeFailure;
  return false;
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
