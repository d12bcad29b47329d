#pragma once
// Builds PNG files for the tests: every colour type and bit depth, a chosen filter for each
// scanline (the writer applies it), Adam7 interlacing, and free-form chunk sequences with right
// or wrong CRCs. zlib compresses the picture data here only; the reader never uses it.

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "support/test_files.h"

// A picture as sample values in PNG order: rows from the top, pixels left to right, the
// samples of a pixel in file order (R,G,B,A; grey, alpha; palette index). Each sample fits the
// bit depth (0..65535 at depth 16).
struct PngPicture {
  std::uint32_t width = 1;
  std::uint32_t height = 1;
  std::uint8_t bitDepth = 8;
  std::uint8_t colourType = 2;
  bool interlaced = false;
  std::vector<std::uint16_t> samples;
  // Filter type of each scanline in stream order (pass by pass when interlaced), repeated when
  // there are more scanlines; a type above 4 is written as stored, with that filter byte.
  std::vector<std::uint8_t> filters = {0};
};

// Samples per pixel of a colour type: 1, 3, 1, 2 or 4 for types 0, 2, 3, 4, 6.
[[nodiscard]] unsigned pngChannels(std::uint8_t colourType);

// A picture of the given format filled with pseudo-random samples determined by seed.
[[nodiscard]] PngPicture makePngPicture(std::uint32_t width, std::uint32_t height,
                                        std::uint8_t bitDepth, std::uint8_t colourType,
                                        bool interlaced, std::uint32_t seed);

// The uncompressed picture data: one filter byte and one filtered scanline per row (per row of
// each non-empty pass when interlaced).
[[nodiscard]] Bytes pngScanlines(const PngPicture& picture);

// Reference filter of one scanline: raw and prior are unfiltered, distance is the filter
// distance in bytes; prior may be all zeros.
[[nodiscard]] Bytes pngFilterScanline(std::uint8_t filterType, const Bytes& raw, const Bytes& prior,
                                      std::size_t distance);

// A complete zlib stream of data.
[[nodiscard]] Bytes zlibCompress(const Bytes& data, int level = 9);

// Chunk layout: big-endian length, type, data, CRC of type and data XORed with crcXor.
[[nodiscard]] Bytes pngChunk(std::string_view type, const Bytes& data, std::uint32_t crcXor = 0);

// The 13 IHDR data bytes.
[[nodiscard]] Bytes pngHeaderData(std::uint32_t width, std::uint32_t height, std::uint8_t bitDepth,
                                  std::uint8_t colourType, std::uint8_t interlaceMethod = 0,
                                  std::uint8_t compressionMethod = 0,
                                  std::uint8_t filterMethod = 0);

[[nodiscard]] Bytes pngSignature();

// A "tEXt" chunk of exactly totalBytes bytes (at least 20), to lift small files over a size.
[[nodiscard]] Bytes pngFillerChunk(std::size_t totalBytes);

[[nodiscard]] Bytes joinBytes(std::initializer_list<Bytes> parts);

// A palette of n entries for palette pictures (n <= 256).
[[nodiscard]] Bytes pngPaletteData(unsigned entries);

// Signature, IHDR, PLTE (palette pictures, full size for the depth), one IDAT and IEND; a
// filler chunk after IHDR brings files that would be shorter up to 100 bytes.
[[nodiscard]] Bytes buildPng(const PngPicture& picture);

// Start offsets of the chunks of a well-formed file (after the signature), IEND included.
[[nodiscard]] std::vector<std::size_t> pngChunkOffsets(const Bytes& file);
