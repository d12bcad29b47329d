// Folder listing, classification, non-blocking input open and the pause, on POSIX. Nothing here
// throws: the listing grows its blocks with heapReallocate, so a failed allocation comes back as
// a result the driver reports.

#include "app/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <thread>

const char kPathSeparator[2] = {static_cast<char>(std::filesystem::path::preferred_separator), '\0'};

void createFolder(const char* path) noexcept { (void)::mkdir(path, 0777); }

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

// Closes the folder stream when the listing leaves, on every path.
struct FolderStreamCloser {
  void operator()(DIR* folder) const noexcept { ::closedir(folder); }
};

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

ListingResult FolderListing::read(const char* path) noexcept {
  clear();
  errno = 0;
  const std::unique_ptr<DIR, FolderStreamCloser> folder(::opendir(path));
  if (!folder) return errno == ENOMEM ? ListingResult::outOfMemory : ListingResult::cannotList;
  // A listing that fails part way ends there, as a search that finds no further entry.
  while (const dirent* entry = ::readdir(folder.get())) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (!append(name)) {
      clear();
      return ListingResult::outOfMemory;
    }
  }
  // strcmp compares bytes as unsigned char, which is byte order.
  const char* text = text_.get();
  std::sort(offsets_.get(), offsets_.get() + count_, [text](std::size_t a, std::size_t b) {
    return std::strcmp(text + a, text + b) < 0;
  });
  return ListingResult::listed;
}

EntryKind classifyEntry(const char* path) noexcept {
  struct stat info {};
  if (::stat(path, &info) != 0) return EntryKind::file;  // dangling link: fails to load later
  return S_ISREG(info.st_mode) ? EntryKind::file : EntryKind::skip;
}

std::FILE* openInputFile(const char* path, std::int64_t& size) noexcept {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return nullptr;
  }
  size = static_cast<std::int64_t>(info.st_size);
  return file;
}

void pauseMilliseconds(unsigned milliseconds) noexcept {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
