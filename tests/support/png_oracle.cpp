#include "support/png_oracle.h"

#include <new>

#include "support/libpng_read.h"
#include "support/libpng_write.h"

LibpngPicture decodeWithLibpng(const Bytes& file) {
  LibpngPicture result;
  auto intoPixels = [&result](const LibpngLayout& layout) noexcept -> std::uint8_t* {
    result.width = layout.width;
    result.height = layout.height;
    result.channels = layout.channels;
    try {
      result.pixels.assign(layout.rowBytes * layout.height, 0);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    return result.pixels.data();
  };
  result.ok = readWithLibpng(file, intoPixels);
  return result;
}

Bytes encodeWithLibpng(const PngPicture& picture, int flushRows) {
  PngPicture eightBit = picture;
  eightBit.bitDepth = 8;
  LibpngWriteOptions options;
  options.flushRows = flushRows;
  return encodeAnyWithLibpng(eightBit, options);
}
