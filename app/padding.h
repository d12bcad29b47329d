#pragma once
// Power-of-two padding by edge replication and the BMP file that stores the result.

#include <array>
#include <cstdint>

#include "image/image.h"

constexpr std::size_t kBmpHeaderBytes = 54;

// The smallest power of two that is at least 4 and at least side.
[[nodiscard]] unsigned paddedSide(unsigned side) noexcept;

// Enlarges the canvas to power-of-two width and height: new columns to the right repeat each
// row's last pixel, new rows above repeat the top row. Returns the picture unchanged when it is
// already of such a size; null (the picture released) when the new one cannot be allocated.
[[nodiscard]] ImagePtr padToPowerOfTwo(ImagePtr image) noexcept;

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
