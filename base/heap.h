#pragma once
// Heap blocks with one owner. Every block of the converter comes from heapAllocate, so an
// allocation failure is a null pointer (never an exception) and tests can make allocations fail.

#include <cstddef>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
  void operator()(void* block) const noexcept { std::free(block); }
};

// An owning pointer to a block from heapAllocate; T may be an array type (std::uint8_t[]).
template <class T>
using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// std::malloc that never asks for 0 bytes (a request for 0 gets 1) and returns null on failure
// or when a test has armed failAllocationsAfter.
[[nodiscard]] void* heapAllocate(std::size_t bytes) noexcept;

// std::calloc with the same rules: a block of `bytes` zero bytes. The system hands large blocks
// out as fresh pages that are zero already, so pages nobody writes are never touched.
[[nodiscard]] void* heapAllocateZeroed(std::size_t bytes) noexcept;

// std::realloc with the same rules; on failure the old block is untouched and still owned.
[[nodiscard]] void* heapReallocate(void* block, std::size_t bytes) noexcept;

// Allocations of this thread that have returned null so far (injected failures included); a
// reader compares two readings to tell running out of memory from damaged data.
[[nodiscard]] unsigned long heapFailureCount() noexcept;

// Test hook: the next `count` allocations succeed, every later one fails; a negative count turns
// the fault injection off (the default).
void failAllocationsAfter(long count) noexcept;

template <class T>
[[nodiscard]] HeapPtr<T[]> allocateArray(std::size_t count) noexcept {
  return HeapPtr<T[]>(static_cast<T*>(heapAllocate(count * sizeof(T))));
}
