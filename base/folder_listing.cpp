// The part of the folder listing that no system call touches: the name blocks and their order.
// Reading the folder is the platform's (platform.cpp, platform_win32.cpp).

#include "base/folder_listing.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kFirstTextCapacity = 4096;
constexpr std::size_t kFirstOffsetCapacity = 64;

// Grows a block to hold at least `needed` elements of `elementBytes`, doubling its capacity; false
// (the block and capacity unchanged) when the size overflows or the allocation fails.
template <class T>
bool reserve(HeapPtr<T[]>& block, std::size_t& capacity, std::size_t needed,
             std::size_t first) noexcept {
  if (needed <= capacity) return true;
  std::size_t grown = capacity == 0 ? first : capacity;
  while (grown < needed) {
    if (grown > std::numeric_limits<std::size_t>::max() / 2 / sizeof(T)) return false;
    grown *= 2;
  }
  void* moved = heapReallocate(block.get(), grown * sizeof(T));
  if (moved == nullptr) return false;
  (void)block.release();
  block.reset(static_cast<T*>(moved));
  capacity = grown;
  return true;
}

}  // namespace

void FolderListing::clear() noexcept {
  text_.reset();
  offsets_.reset();
  textBytes_ = textCapacity_ = count_ = offsetCapacity_ = 0;
}

bool FolderListing::append(const char* name) noexcept {
  const std::size_t bytes = std::strlen(name) + 1;
  if (!reserve(text_, textCapacity_, textBytes_ + bytes, kFirstTextCapacity)) return false;
  if (!reserve(offsets_, offsetCapacity_, count_ + 1, kFirstOffsetCapacity)) return false;
  std::memcpy(text_.get() + textBytes_, name, bytes);
  offsets_[count_++] = textBytes_;
  textBytes_ += bytes;
  return true;
}

void FolderListing::sortNames() noexcept {
  // strcmp compares bytes as unsigned char, which is byte order.
  const char* text = text_.get();
  std::sort(offsets_.get(), offsets_.get() + count_,
            [text](std::size_t a, std::size_t b) { return std::strcmp(text + a, text + b) < 0; });
}
