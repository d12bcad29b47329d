#pragma once
// Heap blocks with one owner. Every block of the converter comes from heapAllocate, so an
// allocation failure is a null pointer (never an exception) and tests can make allocations fail.

#include <cstddef>
#include <cstdlib>
#include <memory>

// Gives a block from heapAllocate, heapAllocateZeroed or heapReallocate back: kept for reuse
// while large-block reuse is on and the block is large enough (see setLargeBlockReuse), else
// freed. Null is ignored.
void heapRelease(void* block) noexcept;

struct FreeDeleter {
  void operator()(void* block) const noexcept { heapRelease(block); }
};

// An owning pointer to a block from heapAllocate; T may be an array type (std::uint8_t[]).
template <class T>
using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// std::malloc that never asks for 0 bytes (a request for 0 gets 1) and returns null on failure
// or when a test has armed failAllocationsAfter.
[[nodiscard]] void* heapAllocate(std::size_t bytes) noexcept;

// Large-block reuse, off by default. While on, a released block of at least
// kReusedBlockMinBytes is kept (the most recently released first, up to maxBlocks blocks and
// maxBytes bytes in all; older ones are freed to make room) and heapAllocate serves a request of
// at least that size from the smallest kept block that holds it and is at most a quarter larger,
// so a batch of large pictures of similar sizes stops paying for fresh zero pages on every file.
// Kept blocks are shared by every thread. setLargeBlockReuse(0, 0) frees every kept block and turns
// reuse off. A block served from the kept ones counts like any allocation for
// failAllocationsAfter.
// Smaller blocks are left to the system allocator, which reuses the memory of blocks below
// about this size itself; larger ones it maps fresh and unmaps on release every time.
constexpr std::size_t kReusedBlockMinBytes = std::size_t{32} << 20;
void setLargeBlockReuse(std::size_t maxBlocks, std::size_t maxBytes) noexcept;

// Bytes held in kept blocks now (for tests and the memory budget).
[[nodiscard]] std::size_t keptBlockBytes() noexcept;

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

// Test hook: the next `count` allocations succeed, the one after fails, and later ones succeed.
void failOneAllocationAfter(long count) noexcept;

// Test hook: whether the failure failOneAllocationAfter armed has happened.
[[nodiscard]] bool armedFailureHappened() noexcept;

// While one lives, allocations of this thread that fail are not counted by heapFailureCount: for
// a block the caller can do without, so that its absence does not turn a later refusal for
// another reason into a memory one.
class ExcusedHeapFailures {
 public:
  ExcusedHeapFailures() noexcept;
  ~ExcusedHeapFailures();
  ExcusedHeapFailures(const ExcusedHeapFailures&) = delete;
  ExcusedHeapFailures& operator=(const ExcusedHeapFailures&) = delete;

 private:
  unsigned long failuresBefore_;
};

template <class T>
[[nodiscard]] HeapPtr<T[]> allocateArray(std::size_t count) noexcept {
  return HeapPtr<T[]>(static_cast<T*>(heapAllocate(count * sizeof(T))));
}
