#pragma once
// Builds BMP files for the tests, with every header field settable.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "support/test_files.h"

struct BmpFields {
  std::int32_t width = 4;
  std::int32_t height = 4;  // negative: first stored row is the top row
  std::uint16_t bitsPerPixel = 24;
  std::uint16_t planes = 1;
  std::uint32_t compression = 0;
  std::uint32_t infoHeaderSize = 40;
  std::uint32_t dataOffset = 54;   // gap after the headers is zero-filled
  std::int64_t fileSizeDelta = 0;  // added to the true file size in the file size field
};

// The pixel value of stored row r, column x, channel k: distinct across the picture.
[[nodiscard]] std::uint8_t bmpTestPixel(std::uint32_t row, std::uint32_t column,
                                        std::uint32_t channel);

// A complete file: headers, then |height| stored rows of test pixels, each padded to a multiple
// of 4 bytes with 0xEE.
[[nodiscard]] Bytes buildBmp(const BmpFields& fields);

// A file of any layout from parts made by the test: the headers of `fields` (whose pixel data
// offset is ignored), the colour masks from file offset 54 on (inside an info header of 52 bytes
// or more, after a 40-byte one), the colour table after the info header and masks, then the
// stored pixel data as given. coloursUsed goes into its field of the info header.
[[nodiscard]] Bytes buildBmpFrom(const BmpFields& fields, const std::vector<std::uint32_t>& masks,
                                 const Bytes& colourTable, const Bytes& pixelData,
                                 std::uint32_t coloursUsed = 0);

// An OS/2 1.x file: 14-byte file header, 12-byte info header (16-bit width and height, planes 1,
// bits per pixel), the colour table of 3-byte entries as given, then the stored pixel data.
[[nodiscard]] Bytes buildOs2Bmp(std::uint16_t width, std::uint16_t height,
                                std::uint16_t bitsPerPixel, const Bytes& colourTable,
                                const Bytes& pixelData);

// Writes buildBmp's file of the given size and depth at path.
void putBmp(const std::filesystem::path& path, std::int32_t width, std::int32_t height,
            std::uint16_t bitsPerPixel = 24);
