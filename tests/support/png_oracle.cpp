#include "support/png_oracle.h"

#include <png.h>

#include <csetjmp>
#include <new>
#include <vector>

#include "support/libpng_read.h"

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

namespace {

void ignoreWarning(png_structp, png_const_charp) {}

void writeToMemory(png_structp png, png_bytep data, png_size_t count) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + count);
}

void flushNothing(png_structp) {}

// The libpng calls between setjmp and the end; rows point into the caller's sample bytes.
bool writeAll(png_structp png, png_infop info, const PngPicture& picture, int flushRows,
              std::vector<png_bytep>& rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, picture.width, picture.height, 8, picture.colourType,
               picture.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (flushRows > 0) png_set_flush(png, flushRows);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

Bytes encodeWithLibpng(const PngPicture& picture, int flushRows) {
  const std::size_t rowBytes = std::size_t{picture.width} * pngChannels(picture.colourType);
  Bytes samples(picture.samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::uint8_t>(picture.samples[i]);  // 8-bit samples
  }
  std::vector<png_bytep> rows(picture.height);
  for (std::size_t y = 0; y < picture.height; ++y) rows[y] = samples.data() + y * rowBytes;
  Bytes file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, ignoreWarning);
  if (png == nullptr) return {};
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return {};
  }
  png_set_write_fn(png, &file, writeToMemory, flushNothing);
  const bool written = writeAll(png, info, picture, flushRows, rows);
  png_destroy_write_struct(&png, &info);
  return written ? file : Bytes{};
}
