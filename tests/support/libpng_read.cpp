#include "support/libpng_read.h"

#include <png.h>

#include <csetjmp>
#include <cstring>

#include "base/heap.h"

namespace {

struct MemorySource {
  std::span<const std::uint8_t> file;
  std::size_t position = 0;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t count) {
  auto* source = static_cast<MemorySource*>(png_get_io_ptr(png));
  if (count > source->file.size() - source->position) png_error(png, "file too short");
  std::memcpy(out, source->file.data() + source->position, count);
  source->position += count;
}

void ignoreWarning(png_structp, png_const_charp) {}

// The libpng calls that may jump back. Everything that must outlive a longjmp (the row pointers)
// lives in the caller; this frame holds nothing with a destructor.
bool readAll(png_structp png, png_infop info, bool expand, LibpngDestination destination,
             void* context, HeapPtr<png_bytep[]>& rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  const int colourType = png_get_color_type(png, info);
  const int bitDepth = png_get_bit_depth(png, info);
  if (!expand) {
    if (bitDepth != 8) return false;
    if (colourType != PNG_COLOR_TYPE_RGB && colourType != PNG_COLOR_TYPE_RGB_ALPHA) return false;
  } else if (colourType == PNG_COLOR_TYPE_PALETTE) {
    png_set_palette_to_rgb(png);  // with the palette's tRNS as alpha
  } else if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA) {
    if (bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    png_set_gray_to_rgb(png);
  }
  if (expand && bitDepth == 16) png_set_scale_16(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  LibpngLayout layout;
  layout.width = png_get_image_width(png, info);
  layout.height = png_get_image_height(png, info);
  layout.channels = png_get_channels(png, info);
  layout.rowBytes = png_get_rowbytes(png, info);
  if (png_get_bit_depth(png, info) != 8 || (layout.channels != 3 && layout.channels != 4)) {
    return false;
  }
  std::uint8_t* out = destination(context, layout);
  if (out == nullptr) return false;
  rows = allocateArray<png_bytep>(layout.height);
  if (!rows) return false;
  for (std::size_t y = 0; y < layout.height; ++y) rows[y] = out + y * layout.rowBytes;
  png_read_image(png, rows.get());
  png_read_end(png, nullptr);
  return true;
}

bool read(std::span<const std::uint8_t> file, bool expand, LibpngDestination destination,
          void* context) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, ignoreWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  if (expand) png_set_benign_errors(png, 1);
  MemorySource source{file, 0};
  png_set_read_fn(png, &source, readFromMemory);
  HeapPtr<png_bytep[]> rows;
  const bool ok = readAll(png, info, expand, destination, context, rows);
  png_destroy_read_struct(&png, &info, nullptr);
  return ok;
}

}  // namespace

bool readWithLibpng(std::span<const std::uint8_t> file, LibpngDestination destination,
                    void* context) {
  return read(file, false, destination, context);
}

bool readExpandedWithLibpng(std::span<const std::uint8_t> file, LibpngDestination destination,
                            void* context) {
  return read(file, true, destination, context);
}
