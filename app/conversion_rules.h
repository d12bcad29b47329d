#pragma once
// What every way of converting shares: the folders of a batch, the output name of an input, the
// sides a picture may have, the report line of a run and the warnings of a decode.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "app/ordered_run.h"
#include "base/counted_string.h"
#include "base/decode_report.h"
#include "base/folder_listing.h"
#include "base/platform.h"
#include "base/printf_format.h"

// The folders a batch reads from and writes to, under the working directory.
inline constexpr const char* kInputFolder = "img";
inline constexpr const char* kOutputFolder = "bmp";

// The sides a picture may have to be converted; the report of a refusal names these bounds.
inline constexpr unsigned kMinConvertedSide = 4;
inline constexpr unsigned kMaxConvertedSide = 8192;

// True when both sides lie in kMinConvertedSide..kMaxConvertedSide.
[[nodiscard]] constexpr bool convertedSides(unsigned width, unsigned height) noexcept {
  return width >= kMinConvertedSide && width <= kMaxConvertedSide && height >= kMinConvertedSide &&
         height <= kMaxConvertedSide;
}

// folder + separator + name; the empty string when it cannot be built whole.
[[nodiscard]] CountedString folderPath(const char* folder, const char* name) noexcept;

// The output path of the entry `name` of the input folder: the name in the output folder, with
// an extension of at most four bytes after its last dot replaced by ".bmp" (a name without a
// dot, or with a longer extension, is kept whole). The empty string when it cannot be built.
[[nodiscard]] CountedString outputPathFor(const char* name) noexcept;

// The line of a run, or of one file, that ran out of memory.
inline constexpr char kMemoryLine[] = "ERROR: memory\n";

// printf to out, flushed at once: each line of a report reaches its reader as it happens.
void report(std::FILE* out, const char* format, ...) noexcept POW2BMP_PRINTF_FORMAT(2, 3);

// Writes the warnings a decode held (DecodeReport::warnings) to `warnings`, flushed: each file's
// when the file is reported, just before its line, so they come in the report's order, once.
void reportWarnings(std::FILE* warnings, const DecodeReport& decode) noexcept;

// Lists the input folder into names. On failure reports the run's line ("ERROR: Cannot find any
// image in folder img/*.*" or "ERROR: memory") to out and returns false.
[[nodiscard]] bool listInputFolder(FolderListing& names, std::FILE* out) noexcept;

// The bytes the pictures in flight may take: `asked`, or when it is 0 half of `usable`, the
// memory this process may use (usableMemoryBytes).
[[nodiscard]] constexpr std::uint64_t pictureBudget(std::uint64_t asked,
                                                    std::uint64_t usable) noexcept {
  return asked != 0 ? asked : usable / 2;
}

// True when the estimated peak of loading the file at path (estimateLoadBytes) is above `usable`
// bytes: such a file is refused for want of memory before it is read, the same way at every
// number of jobs, rather than started and ended by the system's out-of-memory killer.
[[nodiscard]] bool exceedsMemory(const CountedString& path, std::uint64_t usable) noexcept;

// The workers asked for, at least one.
[[nodiscard]] constexpr unsigned workerCount(unsigned asked) noexcept {
  return asked == 0 ? 1 : asked;
}

// One result per slot of a run with `workers` workers; null, after the run's "ERROR: memory" line
// to out, when they cannot be had.
template <class Result>
[[nodiscard]] std::unique_ptr<Result[]> resultSlots(unsigned workers, std::FILE* out) noexcept {
  std::unique_ptr<Result[]> results(new (std::nothrow) Result[slotCount(workers)]);
  if (!results) report(out, "%s", kMemoryLine);
  return results;
}
