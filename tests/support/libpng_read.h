#pragma once
// libpng's reading of a PNG file held in memory, with the classic png_read_* calls: rows from the
// top, 8-bit R,G,B or R,G,B,A samples, Adam7 passes combined. The caller provides the destination
// once the layout is known, so the test oracle can read into a vector and the decoding benchmark
// into a fresh block of its own. The benchmarks compile the reader in; the tests and the
// differential fuzz target link it.

#include <cstddef>
#include <cstdint>
#include <span>

struct LibpngLayout {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  unsigned channels = 0;     // 3 or 4
  std::size_t rowBytes = 0;  // width * channels
};

// Returns the first byte of a block of at least layout.rowBytes * layout.height bytes for the
// rows, or null to refuse the picture (the read then fails). Must not throw through libpng.
using LibpngDestination = std::uint8_t* (*)(void* context, const LibpngLayout& layout);

// False when libpng refuses the file, when it is not 8-bit RGB or RGBA, or when the destination
// refuses the layout. libpng's warnings are ignored.
[[nodiscard]] bool readWithLibpng(std::span<const std::uint8_t> file, LibpngDestination destination,
                                  void* context);

// The same with any callable taking the layout and returning the destination (or null).
template <class Provide>
[[nodiscard]] bool readWithLibpng(std::span<const std::uint8_t> file, Provide& provide) {
  return readWithLibpng(
      file,
      [](void* context, const LibpngLayout& layout) -> std::uint8_t* {
        return (*static_cast<Provide*>(context))(layout);
      },
      &provide);
}

// Reads any PNG with the transformations of an expanding run: palette to RGB with a palette's
// tRNS as alpha, grey to RGB, low-depth grey widened by value, 16-bit samples scaled to the
// nearest 8-bit value, colour keys left alone. libpng's warnings, benign errors included, are
// ignored.
[[nodiscard]] bool readExpandedWithLibpng(std::span<const std::uint8_t> file,
                                          LibpngDestination destination, void* context);

template <class Provide>
[[nodiscard]] bool readExpandedWithLibpng(std::span<const std::uint8_t> file, Provide& provide) {
  return readExpandedWithLibpng(
      file,
      [](void* context, const LibpngLayout& layout) -> std::uint8_t* {
        return (*static_cast<Provide*>(context))(layout);
      },
      &provide);
}
