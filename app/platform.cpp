// Folder listing, classification, non-blocking input open and the pause, on POSIX with
// std::filesystem.

#include "app/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

const char kPathSeparator[2] = {static_cast<char>(std::filesystem::path::preferred_separator), '\0'};

void createFolder(const char* path) noexcept {
  std::error_code ignored;
  std::filesystem::create_directory(path, ignored);
}

std::optional<std::vector<std::string>> listFolder(const char* path) {
  std::error_code error;
  std::filesystem::directory_iterator entry(path, error);
  if (error) return std::nullopt;
  std::vector<std::string> names;
  // A listing that fails part way ends there, as a search that finds no further entry.
  for (const std::filesystem::directory_iterator end; entry != end;) {
    names.push_back(entry->path().filename().native());
    entry.increment(error);
    if (error) break;
  }
  // std::string compares its bytes as unsigned char, which is byte order.
  std::sort(names.begin(), names.end());
  return names;
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
