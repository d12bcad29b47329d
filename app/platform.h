#pragma once
// The small portable layer: folder listing, entry classification, opening an input file without
// blocking, the pause before exit.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "image/heap.h"

// The native path separator as a one-character text ("/" here).
extern const char kPathSeparator[2];

// Creates the folder; an existing folder (or any failure) is ignored, as the first write to it
// reports the real problem.
void createFolder(const char* path) noexcept;

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

  HeapPtr<char[]> text_;             // the names, each with its terminating zero
  std::size_t textBytes_ = 0;        // bytes of text_ in use
  std::size_t textCapacity_ = 0;     // bytes allocated for text_
  HeapPtr<std::size_t[]> offsets_;   // where each name starts in text_, in byte order once read
  std::size_t count_ = 0;            // names in the listing
  std::size_t offsetCapacity_ = 0;   // entries allocated for offsets_
};

enum class EntryKind {
  file,  // a regular file, a link to one, or a link that leads nowhere: to be converted
  skip,  // a folder, a link to a folder, or a special file (FIFO, socket, device)
};

// Classifies an entry with a stat that follows links.
[[nodiscard]] EntryKind classifyEntry(const char* path) noexcept;

// Opens a regular file for binary reading without ever blocking (a FIFO swapped in after the
// listing is refused) and returns the file with its size taken from the open file; null when the
// path cannot be opened or is not a regular file.
[[nodiscard]] std::FILE* openInputFile(const char* path, std::int64_t& size) noexcept;

// Sleeps for the given number of milliseconds.
void pauseMilliseconds(unsigned milliseconds) noexcept;
