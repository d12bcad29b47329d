#include "support/png_oracle.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <vector>

namespace {

struct MemorySource {
  const Bytes* file;
  std::size_t position;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t count) {
  auto* source = static_cast<MemorySource*>(png_get_io_ptr(png));
  if (count > source->file->size() - source->position) png_error(png, "file too short");
  std::memcpy(out, source->file->data() + source->position, count);
  source->position += count;
}

void ignoreWarning(png_structp, png_const_charp) {}

// The libpng calls between setjmp and the end. Everything that must outlive a longjmp lives in
// the caller; this frame holds nothing with a destructor.
bool readAll(png_structp png, png_infop info, LibpngPicture& result, std::vector<png_bytep>& rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  if (png_get_bit_depth(png, info) != 8) return false;
  const int colourType = png_get_color_type(png, info);
  if (colourType != PNG_COLOR_TYPE_RGB && colourType != PNG_COLOR_TYPE_RGB_ALPHA) return false;
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  result.width = png_get_image_width(png, info);
  result.height = png_get_image_height(png, info);
  result.channels = png_get_channels(png, info);
  const std::size_t rowBytes = png_get_rowbytes(png, info);
  result.pixels.assign(rowBytes * result.height, 0);
  rows.resize(result.height);
  for (std::size_t y = 0; y < result.height; ++y) rows[y] = result.pixels.data() + y * rowBytes;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  return true;
}

}  // namespace

LibpngPicture decodeWithLibpng(const Bytes& file) {
  LibpngPicture result;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, ignoreWarning);
  if (png == nullptr) return result;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return result;
  }
  MemorySource source{&file, 0};
  png_set_read_fn(png, &source, readFromMemory);
  std::vector<png_bytep> rows;
  result.ok = readAll(png, info, result, rows);
  png_destroy_read_struct(&png, &info, nullptr);
  return result;
}

namespace {

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
