#pragma once
// The names in a folder, read whole and sorted. Reading them is the platform files' work
// (FolderListing::read in base/platform.cpp and base/platform_win32.cpp); keeping them is
// base/folder_listing.cpp's.

#include <cstddef>

#include "base/heap.h"

enum class ListingResult { listed, cannotList, outOfMemory };

// The names of the entries of a folder, "." and ".." excluded, sorted by name in byte order. The
// names share one heap block, so a listing costs two blocks however many entries there are, and
// running out of memory is a result, never an exception.
class FolderListing {
 public:
  // Reads the folder, replacing any earlier listing. cannotList when the folder cannot be opened,
  // outOfMemory when a block for the names cannot be had; the listing is empty after either. An
  // error part way through the folder ends the listing there, with the names read so far.
  [[nodiscard]] ListingResult read(const char* path) noexcept;

  [[nodiscard]] std::size_t count() const noexcept { return count_; }
  // The zero-terminated name at index (below count()), valid until the next read.
  [[nodiscard]] const char* name(std::size_t index) const noexcept {
    return text_.get() + offsets_[index];
  }

 private:
  void clear() noexcept;
  [[nodiscard]] bool append(const char* name) noexcept;
  void sortNames() noexcept;  // into byte order, once every name is in

  HeapPtr<char[]> text_;            // the names, each with its terminating zero
  std::size_t textBytes_ = 0;       // bytes of text_ in use
  std::size_t textCapacity_ = 0;    // bytes allocated for text_
  HeapPtr<std::size_t[]> offsets_;  // where each name starts in text_, in byte order once read
  std::size_t count_ = 0;           // names in the listing
  std::size_t offsetCapacity_ = 0;  // entries allocated for offsets_
};
