#pragma once
// The BMP file that stores a padded picture: an uncompressed, bottom-up BMP whose two
// pixels-per-metre fields carry the picture's own size.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/heap.h"
#include "base/image.h"
#include "base/platform.h"

constexpr std::size_t kBmpHeaderBytes = 54;

enum class BmpWriteResult { written, cannotCreate, cannotWrite };

// The rows the padded writers build before they are written, kept from one call to the next.
struct BmpRowStage {
  HeapPtr<std::uint8_t[]> block;
  std::size_t bytes = 0;
};

// Makes stage large enough for writing the picture; false when it cannot be allocated (stage is
// then empty).
[[nodiscard]] bool reserveBmpRowStage(BmpRowStage& stage, const Image& picture) noexcept;

// Writes the BMP file of the picture padded to power-of-two sides to an open stream (standard
// output, a device or FIFO written in place), and flushes it. The padded picture is never built:
// each row of the picture, its last pixel repeated to the padded width, then the padded top row
// repeated to the padded height, go out through stage a few hundred kilobytes at a time; rows
// that need no padding go out straight from the picture. False when a write or the flush fails
// or stage cannot grow.
[[nodiscard]] bool writePaddedBmpStream(std::FILE* stream, const Image& picture,
                                        BmpRowStage& stage) noexcept;

// The same file written in two steps, so that files can be written by several threads and put
// in place in order by one. The first writes every byte under a temporary name in the folder of
// path (see TemporaryFile) and leaves the file in temporary (written), or leaves temporary empty
// (cannotCreate, cannotWrite). The second renames it over path: written, or cannotCreate when the
// rename fails (the temporary file is then removed). An existing file at path is untouched until
// the rename.
[[nodiscard]] BmpWriteResult writePaddedBmpTemporary(const char* path, const Image& picture,
                                                     BmpRowStage& stage,
                                                     TemporaryFile& temporary) noexcept;
[[nodiscard]] BmpWriteResult commitBmpFile(TemporaryFile& temporary, const char* path) noexcept;
