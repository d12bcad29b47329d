#pragma once
// Builds TGA files for the tests: an 18-byte header with every field settable, an optional image
// ID field, then pixel data given as stored bytes (uncompressed) or as explicit run-length
// packets.

#include <cstdint>

#include "support/test_files.h"

struct TgaFields {
  std::uint8_t colourMapType = 0;
  std::uint8_t imageType = 2;  // 2 uncompressed, 10 run-length encoded
  std::uint16_t colourMapLength = 0;
  std::uint16_t width = 2;
  std::uint16_t height = 2;
  std::uint8_t pixelDepth = 24;
  std::uint8_t descriptor = 0;  // 0x20: first stored row is the top row
  Bytes id = {};                // image ID field; its size is the ID length byte
  std::uint16_t colourMapFirstEntry = 0;
  std::uint8_t colourMapEntrySize = 0;  // bits per colour map entry
  Bytes colourMap = {};                 // stored after the ID field, before the pixel data
};

// Header, ID field and colour map followed by data, the pixel data exactly as given.
[[nodiscard]] Bytes buildTga(const TgaFields& fields, const Bytes& data);

// The value of stored row r, column x, channel k: distinct across small pictures, never 0.
[[nodiscard]] std::uint8_t tgaTestPixel(std::uint32_t row, std::uint32_t column,
                                        std::uint32_t channel);

// width * height pixels of channels bytes each, in stored order, from tgaTestPixel.
[[nodiscard]] Bytes tgaTestPixels(std::uint32_t width, std::uint32_t height,
                                  std::uint32_t channels);

// Appends a run packet: header 0x80 | (count - 1), then the one pixel. count is 1..128.
void appendRunPacket(Bytes& data, unsigned count, const Bytes& pixel);

// Appends a raw packet: header (count - 1), then the pixels as given. count is 1..128.
void appendRawPacket(Bytes& data, unsigned count, const Bytes& pixels);

// Run-length encodes stored pixels: runs of two or more equal pixels become run packets, the
// rest raw packets, packets carrying on across rows and holding at most 128 pixels.
[[nodiscard]] Bytes encodeTgaRle(const Bytes& pixels, std::size_t pixelSize);
