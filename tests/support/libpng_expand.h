#pragma once
// libpng at both ends of the expanded PNG layouts: reading any PNG with the transformations of
// an expanding run (palette to RGB with a palette's tRNS as alpha, grey to RGB, low-depth grey
// widened by value, 16-bit samples scaled to the nearest 8-bit value, colour keys left alone),
// and writing any colour type and bit depth with a chosen set of filters. The benchmarks compile
// the reader in; the tests and the differential fuzz target link it.

#include <cstddef>
#include <cstdint>
#include <span>

#include "support/libpng_read.h"

// Reads the file with those transformations into the destination (rows from the top, R,G,B or
// R,G,B,A, 8 bits a sample); false when libpng refuses the file or the destination the layout.
// libpng's warnings, benign errors included, are ignored.
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
