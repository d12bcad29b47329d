// Heap allocation with a test-only fault injection counter and optional reuse of large blocks.

#include "base/heap.h"

#include <array>
#include <atomic>
#include <mutex>

#include "base/platform.h"

namespace {

// Shared by every thread, so a test can starve a parallel run as well as a sequential one.
std::atomic<long> allocationsBeforeFailure{-1};
std::atomic<bool> failOnlyOne{false};  // the injected failure is a single one
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
    if (left == 0) {
      if (!failOnlyOne.load(std::memory_order_relaxed)) return true;
      // The one failure; the allocations after it succeed.
      if (allocationsBeforeFailure.compare_exchange_weak(left, -1, std::memory_order_relaxed)) {
        return true;
      }
      continue;
    }
    if (allocationsBeforeFailure.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
      return false;
    }
  }
}

// Large blocks released while reuse is on, oldest first. Blocks are taken from and given to it
// by every thread, seldom (a few times per picture), so one mutex is enough.
class KeptBlocks {
 public:
  static constexpr std::size_t kMaxSlots = 64;

  bool enabled() const noexcept { return enabled_.load(std::memory_order_relaxed); }

  void configure(std::size_t maxBlocks, std::size_t maxBytes) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    maxBlocks_ = maxBlocks < kMaxSlots ? maxBlocks : kMaxSlots;
    maxBytes_ = maxBytes;
    while (count_ > maxBlocks_ || bytes_ > maxBytes_) evictOldest();
    enabled_.store(maxBlocks_ != 0 && maxBytes_ != 0, std::memory_order_relaxed);
  }

  // The smallest kept block of bytes..bytes + bytes / 4 bytes (of equal ones, the last kept),
  // removed from the kept ones; null
  // when there is none.
  void* take(std::size_t bytes) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t most = bytes + bytes / 4;
    std::size_t best = count_;
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t size = blocks_[i].bytes;
      if (size >= bytes && size <= most && (best == count_ || size <= blocks_[best].bytes)) {
        best = i;
      }
    }
    if (best == count_) return nullptr;
    void* block = blocks_[best].block;
    bytes_ -= blocks_[best].bytes;
    removeAt(best);
    return block;
  }

  // Keeps block (of size bytes), freeing the oldest kept blocks to make room; false when it
  // cannot be kept at all (reuse off, or the block alone passes the byte bound).
  bool keep(void* block, std::size_t bytes) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (maxBlocks_ == 0 || bytes > maxBytes_) return false;
    while (count_ >= maxBlocks_ || bytes_ + bytes > maxBytes_) evictOldest();
    blocks_[count_] = {block, bytes};
    ++count_;
    bytes_ += bytes;
    return true;
  }

  // Frees every kept block; false when there was none.
  bool releaseAll() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const bool any = count_ != 0;
    while (count_ != 0) evictOldest();
    return any;
  }

  std::size_t bytes() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

 private:
  struct Kept {
    void* block;
    std::size_t bytes;
  };

  void evictOldest() noexcept {
    std::free(blocks_[0].block);
    bytes_ -= blocks_[0].bytes;
    removeAt(0);
  }

  void removeAt(std::size_t index) noexcept {
    for (std::size_t i = index + 1; i < count_; ++i) blocks_[i - 1] = blocks_[i];
    --count_;
  }

  std::atomic<bool> enabled_{false};
  std::mutex mutex_;
  std::array<Kept, kMaxSlots> blocks_{};
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
  std::size_t maxBlocks_ = 0;
  std::size_t maxBytes_ = 0;
};

KeptBlocks keptBlocks;

// A large request rounded up to the next eighth of its power of two, so that requests of nearly
// the same size get blocks of the same size and a kept block serves the next one. The pages of
// the rounding that nobody writes are never touched.
std::size_t sizeClass(std::size_t bytes) noexcept {
  std::size_t power = kReusedBlockMinBytes;
  while (power <= bytes / 2) power *= 2;
  const std::size_t step = power / 8;
  const std::size_t rounded = (bytes + step - 1) / step * step;
  return rounded < bytes ? bytes : rounded;
}

// A failed system allocation is tried again once the kept blocks are freed, so that keeping them
// never makes an allocation fail.
template <class Allocate>
void* withKeptReleased(Allocate allocate) noexcept {
  void* block = allocate();
  if (block == nullptr && keptBlocks.releaseAll()) block = allocate();
  return counted(block);
}

}  // namespace

void* heapAllocate(std::size_t bytes) noexcept {
  if (injectedFailure()) return counted(nullptr);
  if (bytes >= kReusedBlockMinBytes && keptBlocks.enabled()) {
    if (void* block = keptBlocks.take(bytes)) return block;
    return withKeptReleased([bytes] { return allocateLargeBlock(sizeClass(bytes)); });
  }
  if (bytes >= kLargeBlockBytes) {
    return withKeptReleased([bytes] { return allocateLargeBlock(bytes); });
  }
  return withKeptReleased([bytes] { return std::malloc(bytes == 0 ? 1 : bytes); });
}

void* heapAllocateZeroed(std::size_t bytes) noexcept {
  // Always fresh: a fresh large block is zero pages nobody has touched, cheaper than clearing a
  // kept one when the caller leaves most of it zero.
  if (injectedFailure()) return counted(nullptr);
  return withKeptReleased([bytes] { return std::calloc(bytes == 0 ? 1 : bytes, 1); });
}

void* heapReallocate(void* block, std::size_t bytes) noexcept {
  if (injectedFailure()) return counted(nullptr);
  return withKeptReleased([block, bytes] { return std::realloc(block, bytes == 0 ? 1 : bytes); });
}

void heapRelease(void* block) noexcept {
  if (block == nullptr) return;
  if (keptBlocks.enabled()) {
    const std::size_t size = allocatedBytes(block);
    if (size >= kReusedBlockMinBytes && keptBlocks.keep(block, size)) return;
  }
  std::free(block);
}

void setLargeBlockReuse(std::size_t maxBlocks, std::size_t maxBytes) noexcept {
  keptBlocks.configure(maxBlocks, maxBytes);
}

std::size_t keptBlockBytes() noexcept { return keptBlocks.bytes(); }

unsigned long heapFailureCount() noexcept { return failureCount; }

void failAllocationsAfter(long count) noexcept {
  failOnlyOne = false;
  allocationsBeforeFailure = count;
}

void failOneAllocationAfter(long count) noexcept {
  failOnlyOne = true;
  allocationsBeforeFailure = count;
}

bool armedFailureHappened() noexcept {
  return failOnlyOne && allocationsBeforeFailure.load(std::memory_order_relaxed) < 0;
}

ExcusedHeapFailures::ExcusedHeapFailures() noexcept : failuresBefore_(failureCount) {}

ExcusedHeapFailures::~ExcusedHeapFailures() { failureCount = failuresBefore_; }
