#pragma once
// Scanline reconstruction: pulls filtered rows out of the zlib stream, undoes the filters and
// spreads the pixels into pngState.pixels. Only png/ includes this header.

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

// Both loops need width, height, bitDepth, colourType, bytesPerPixel, rowBytes, both rows
// buffers and pixels set up, and a stream started with inflateBegin. They request exactly the
// filter bytes and scanlines of the picture, nothing after the last row, and return true once
// every byte of pixels is written; false when a row arrives short, a filter type is above 4 or
// the stream is bad. Rows placed before a failure stay in pixels.
[[nodiscard]] bool readPlainRows() noexcept;
[[nodiscard]] bool readInterlacedRows() noexcept;

// Reverses filter type 0..4 in place on the first length bytes of rows[currentRow], against
// the other buffer as the previous scanline and bytesPerPixel as the distance. Types above 4
// leave the row unchanged (the loops refuse them before calling).
void unfilterRow(std::int32_t filterType, std::int32_t length) noexcept;

// The Paeth predictor with the tie order left, above, upper-left.
[[nodiscard]] std::uint8_t paethPredictor(std::uint8_t left, std::uint8_t above,
                                          std::uint8_t upperLeft) noexcept;

// Spreads the reconstructed rows[currentRow] into picture row `row` (0 = top) of pixels, width
// pixels: grey of depth 1, 2, 4 widened to 0..255, palette indices unchanged, RGB(A) reordered
// to B,G,R(,A).
void convertPlainRow(std::int32_t row) noexcept;

// Same for count pixels of an Adam7 pass scanline, placed at columns firstColumn,
// firstColumn + columnStep, ... of picture row `row`.
void convertPassRow(const Adam7Pass& pass, std::int32_t row, std::int32_t count) noexcept;
