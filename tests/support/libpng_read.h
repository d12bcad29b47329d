#pragma once
// libpng's reading of an 8-bit truecolour (RGB) or truecolour-with-alpha (RGBA) PNG file held in
// memory, with the classic png_read_* calls: rows from the top, samples as stored, Adam7 passes
// combined. The caller provides the destination once the layout is known, so the test oracle can
// read into a vector and the decoding benchmark into a fresh block of its own.

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
