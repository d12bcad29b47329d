#pragma once
// Scanline reconstruction: pulls filtered rows out of the zlib stream, undoes the filters and
// spreads the pixels into their picture rows. Only png/ includes this header.

#include <cstddef>
#include <cstdint>

// One Adam7 pass: every columnStep-th pixel of every rowStep-th row, from (firstRow, firstColumn).
struct Adam7Pass {
  std::int32_t rowStep;
  std::int32_t columnStep;
  std::int32_t firstRow;
  std::int32_t firstColumn;
};

inline constexpr Adam7Pass adam7Passes[7] = {
    {8, 8, 0, 0}, {8, 8, 0, 4}, {8, 4, 4, 0}, {4, 4, 0, 2},
    {4, 2, 2, 0}, {2, 2, 0, 1}, {2, 1, 1, 0},
};

// Where reconstructed picture rows go: picture row r (0 = top) starts at topRow + r * rowStride.
// pngState.pixels is top row first (stride width * bytesPerPixel); an Image is bottom row first,
// so its top row is the last one in memory and the stride is negative.
struct RowTarget {
  std::uint8_t* topRow;
  std::ptrdiff_t rowStride;
};

// Both loops need width, height, bitDepth, colourType, bytesPerPixel, rowBytes and both rows
// buffers set up, a target of height rows of width * bytesPerPixel bytes, and a stream started
// with inflateBegin. They request exactly the filter bytes and scanlines of the picture (in
// slices of whole scanlines of at most 4 MiB, or one scanline), nothing after the last row, and
// return true once every byte of the target is written; false when the stream delivers less, a
// filter type is above 4, the stream is bad or the buffer of filtered scanlines cannot be
// allocated. Rows placed before a failure stay in the target.
[[nodiscard]] bool readPlainRows(const RowTarget& target) noexcept;
[[nodiscard]] bool readInterlacedRows(const RowTarget& target) noexcept;
