#pragma once
// One file through the converter, the same for a batch run, check mode and one file per call:
// load it, check its sides and, when an output is asked for, write its padded BMP. What came of
// it is a typed outcome; the modes only print it (a batch and one file per call through
// reportOutcome, check mode in its own columns).

#include <cstdint>
#include <cstdio>

#include "app/bmp_writer.h"
#include "app/padding.h"
#include "base/counted_string.h"
#include "base/decode_report.h"
#include "base/platform.h"

enum class FileOutcome : std::uint8_t {
  converted,     // loaded, sides in range, and the output (when one was asked for) written
  skipped,       // an entry of img/ that a run does not convert (folder, special file): no line
  cannotLoad,    // not a picture the readers take, damaged, or unreadable: decode.reason says why
  badSize,       // decoded, but a side lies outside kMinConvertedSide..kMaxConvertedSide
  cannotCreate,  // the output file could not be created, or not put in place
  cannotWrite,   // writing the output failed
  noMemory,      // a block it needed could not be had, or its estimate passes the usable memory
};

// Where the padded BMP goes.
enum class OutputKind : std::uint8_t {
  none,       // nowhere: the file is only checked
  temporary,  // a temporary file beside `path`, put in place later by commitOutput
  inPlace,    // the existing device or FIFO at `path`, written through
  stream,     // the open `stream` (standard output)
};

struct FileRequest {
  CountedString inputPath;   // empty: the path could not be built (noMemory)
  bool folderEntry = false;  // an entry of img/: folders and special files are skipped
  OutputKind output = OutputKind::none;
  const char* outputPath = nullptr;  // for temporary and inPlace
  // temporary: the missing folders on the way to outputPath are made before the file is written
  bool makeParentFolders = false;
  std::FILE* stream = nullptr;  // for stream
  // Files whose estimated peak (estimateLoadBytes) passes this many bytes are not read: they are
  // noMemory at once, rather than started and ended by the system's out-of-memory killer.
  // 0: no such bound, unless usableBytesSource gives one.
  std::uint64_t usableBytes = 0;
  // With usableBytes 0, asked for the bound only when the file's estimate passes
  // kSurelyUsableBytes, so a call that converts one small picture reads no memory limits (the
  // cgroup files, the address-space limit and the mapped size are a good part of its cost).
  std::uint64_t (*usableBytesSource)() noexcept = nullptr;
  // Read the layouts a default run refuses too (and estimate the file with them).
  bool expand = false;
};

// The estimated peak below which usableBytesSource is not asked: a limit that leaves a started
// process less than this for one picture leaves it no room to work either.
inline constexpr std::uint64_t kSurelyUsableBytes = std::uint64_t{16} << 20;

struct FileResult {
  FileOutcome outcome = FileOutcome::skipped;
  DecodeReport decode;  // the reader's format, the reason of a refusal, the library's warnings
  unsigned width = 0;   // the picture's own sides and channels, once decoded
  unsigned height = 0;
  unsigned channels = 0;
  TemporaryFile output;  // OutputKind::temporary: the written file waiting to be put in place
};

// Runs one file through loading, the side check and, as asked, the output. stage holds the
// rows on their way out, kept by the caller from one file to the next.
[[nodiscard]] FileResult processFile(const FileRequest& request, BmpRowStage& stage) noexcept;

// Puts the temporary output of a converted result in place at outputPath: the outcome stays
// converted, or becomes cannotCreate when the rename fails (the temporary file is then gone).
void commitOutput(FileResult& result, const char* outputPath) noexcept;

// The line of a batch run (and of one file per call) for the result, flushed; nothing for
// skipped. The input and output paths are the ones the lines name.
void reportOutcome(std::FILE* out, const FileResult& result, const char* inputPath,
                   const char* outputPath) noexcept;
