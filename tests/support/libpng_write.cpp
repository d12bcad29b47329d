#include "support/libpng_write.h"

#include <png.h>

#include <csetjmp>
#include <vector>

namespace {

void ignoreWarning(png_structp, png_const_charp) {}

void writeToMemory(png_structp png, png_bytep data, png_size_t count) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + count);
}

void flushNothing(png_structp) {}

// The samples of a picture as PNG stores them: rows of packed samples (most significant bits
// first) below 8 bits, big-endian pairs at 16.
Bytes packedRows(const PngPicture& picture, std::size_t rowBytes) {
  const unsigned channels = pngChannels(picture.colourType);
  const std::size_t perRow = std::size_t{picture.width} * channels;
  Bytes rows(rowBytes * picture.height, 0);
  for (std::size_t y = 0; y < picture.height; ++y) {
    std::uint8_t* row = rows.data() + y * rowBytes;
    for (std::size_t i = 0; i < perRow; ++i) {
      const std::uint16_t sample = picture.samples[y * perRow + i];
      switch (picture.bitDepth) {
        case 16:
          row[2 * i] = static_cast<std::uint8_t>(sample >> 8);
          row[2 * i + 1] = static_cast<std::uint8_t>(sample);
          break;
        case 8:
          row[i] = static_cast<std::uint8_t>(sample);
          break;
        default: {
          const std::size_t bit = i * picture.bitDepth;
          const unsigned shift = 8 - picture.bitDepth - static_cast<unsigned>(bit % 8);
          row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | (sample << shift));
        }
      }
    }
  }
  return rows;
}

bool writeAll(png_structp png, png_infop info, const PngPicture& picture,
              const LibpngWriteOptions& options, std::vector<png_bytep>& rows,
              std::vector<png_color>& palette) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, picture.width, picture.height, picture.bitDepth, picture.colourType,
               picture.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (picture.colourType == PNG_COLOR_TYPE_PALETTE) {
    png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    if (!options.alphas.empty()) {
      png_set_tRNS(png, info, options.alphas.data(), static_cast<int>(options.alphas.size()),
                   nullptr);
    }
  }
  if (options.filterMask != 0) png_set_filter(png, PNG_FILTER_TYPE_BASE, options.filterMask);
  if (options.flushRows > 0) png_set_flush(png, options.flushRows);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

Bytes encodeAnyWithLibpng(const PngPicture& picture, const LibpngWriteOptions& options) {
  const unsigned bitsPerPixel = pngChannels(picture.colourType) * picture.bitDepth;
  const std::size_t rowBytes = (std::size_t{picture.width} * bitsPerPixel + 7) / 8;
  Bytes samples = packedRows(picture, rowBytes);
  std::vector<png_bytep> rows(picture.height);
  for (std::size_t y = 0; y < picture.height; ++y) rows[y] = samples.data() + y * rowBytes;
  std::vector<png_color> palette(options.palette.size() / 3);
  for (std::size_t i = 0; i < palette.size(); ++i) {
    palette[i] =
        png_color{options.palette[3 * i], options.palette[3 * i + 1], options.palette[3 * i + 2]};
  }
  Bytes file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, ignoreWarning);
  if (png == nullptr) return {};
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return {};
  }
  png_set_benign_errors(png, 1);
  png_set_check_for_invalid_index(png, 0);
  png_set_write_fn(png, &file, writeToMemory, flushNothing);
  const bool written = writeAll(png, info, picture, options, rows, palette);
  png_destroy_write_struct(&png, &info);
  return written ? file : Bytes{};
}
