#pragma once
// The BMP file that stores a padded picture: an uncompressed, bottom-up BMP whose two
// pixels-per-metre fields carry the picture's own size.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/heap.h"
#include "base/image.h"
#include "base/platform.h"

constexpr std::size_t kBmpHeaderBytes = 54;

// The 54-byte header of an uncompressed bottom-up BMP of the padded picture, with the picture's
// own size in the two pixels-per-metre fields.
[[nodiscard]] std::array<std::uint8_t, kBmpHeaderBytes> buildBmpHeader(
    const Image& image, std::uint32_t unpaddedWidth, std::uint32_t unpaddedHeight) noexcept;

enum class BmpWriteResult { written, cannotCreate, cannotWrite };

// Writes the header and the pixel block. The file is written under a temporary name in the same
// folder (see TemporaryFile) and renamed over path only when every byte is written and the file
// closed without error; on failure, or when an interrupting signal ends the process, the
// temporary file is removed and an existing file at path stays as it was.
[[nodiscard]] BmpWriteResult writeBmpFile(const char* path, const Image& image,
                                          std::uint32_t unpaddedWidth,
                                          std::uint32_t unpaddedHeight) noexcept;

// The rows writePaddedBmpFile builds before they are written, kept from one call to the next.
struct BmpRowStage {
  HeapPtr<std::uint8_t[]> block;
  std::size_t bytes = 0;
};

// Makes stage large enough for writePaddedBmpFile(..., picture, stage); false when it cannot
// be allocated (stage is then empty).
[[nodiscard]] bool reserveBmpRowStage(BmpRowStage& stage, const Image& picture) noexcept;

// Writes the BMP file of the picture padded to power-of-two sides without building the padded
// picture: the same bytes, and the same handling of the temporary file, as
// writeBmpFile(path, *padToPowerOfTwo(picture), picture.width, picture.height). Each row of the
// picture, its last pixel repeated to the padded width, then the padded top row repeated to the
// padded height, go out through stage a few hundred kilobytes at a time; rows that need no
// padding go out straight from the picture. cannotWrite also when stage cannot grow (see
// reserveBmpRowStage).
[[nodiscard]] BmpWriteResult writePaddedBmpFile(const char* path, const Image& picture,
                                                BmpRowStage& stage) noexcept;

// Writes the BMP file of the picture padded to power-of-two sides, the bytes writePaddedBmpFile
// stores, to an open stream (standard output, a device or FIFO written in place), and flushes
// it. False when a write or the flush fails or stage cannot grow.
[[nodiscard]] bool writePaddedBmpStream(std::FILE* stream, const Image& picture,
                                        BmpRowStage& stage) noexcept;

// writePaddedBmpFile in two steps, so that files can be written by several threads and put in
// place in order by one. The first writes every byte under a temporary name in the folder of
// path and leaves the file in temporary (written), or leaves temporary empty (cannotCreate,
// cannotWrite). The second renames it over path: written, or cannotCreate when the rename
// fails (the temporary file is then removed). An existing file at path is untouched until the
// rename.
[[nodiscard]] BmpWriteResult writePaddedBmpTemporary(const char* path, const Image& picture,
                                                     BmpRowStage& stage,
                                                     TemporaryFile& temporary) noexcept;
[[nodiscard]] BmpWriteResult commitBmpFile(TemporaryFile& temporary, const char* path) noexcept;
