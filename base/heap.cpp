// Heap allocation with a test-only fault injection counter.

#include "base/heap.h"

namespace {

long allocationsBeforeFailure = -1;

bool injectedFailure() noexcept {
  if (allocationsBeforeFailure < 0) return false;
  if (allocationsBeforeFailure == 0) return true;
  --allocationsBeforeFailure;
  return false;
}

}  // namespace

void* heapAllocate(std::size_t bytes) noexcept {
  if (injectedFailure()) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void* heapAllocateZeroed(std::size_t bytes) noexcept {
  if (injectedFailure()) return nullptr;
  return std::calloc(bytes == 0 ? 1 : bytes, 1);
}

void* heapReallocate(void* block, std::size_t bytes) noexcept {
  if (injectedFailure()) return nullptr;
  return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void failAllocationsAfter(long count) noexcept { allocationsBeforeFailure = count; }
