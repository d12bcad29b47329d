#pragma once
// Builds BMP files for the tests, with every header field settable.

#include <cstdint>
#include <filesystem>

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

// Writes buildBmp's file of the given size and depth at path.
void putBmp(const std::filesystem::path& path, std::int32_t width, std::int32_t height,
            std::uint16_t bitsPerPixel = 24);
