#pragma once
// The small portable layer: folder listing, entry classification, opening an input file without
// blocking, the pause before exit.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// The native path separator as a one-character text ("/" here).
extern const char kPathSeparator[2];

// Creates the folder; an existing folder (or any failure) is ignored, as the first write to it
// reports the real problem.
void createFolder(const char* path) noexcept;

// The names of the entries of a folder, "." and ".." excluded, sorted by name in byte order;
// nullopt when the folder cannot be listed.
[[nodiscard]] std::optional<std::vector<std::string>> listFolder(const char* path);

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
