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
bool readAll(png_structp png, png_infop info, LibpngDestination destination, void* context,
             HeapPtr<png_bytep[]>& rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  if (png_get_bit_depth(png, info) != 8) return false;
  const int colourType = png_get_color_type(png, info);
  if (colourType != PNG_COLOR_TYPE_RGB && colourType != PNG_COLOR_TYPE_RGB_ALPHA) return false;
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  LibpngLayout layout;
  layout.width = png_get_image_width(png, info);
  layout.height = png_get_image_height(png, info);
  layout.channels = png_get_channels(png, info);
  layout.rowBytes = png_get_rowbytes(png, info);
  std::uint8_t* out = destination(context, layout);
  if (out == nullptr) return false;
  rows = allocateArray<png_bytep>(layout.height);
  if (!rows) return false;
  for (std::size_t y = 0; y < layout.height; ++y) rows[y] = out + y * layout.rowBytes;
  png_read_image(png, rows.get());
  png_read_end(png, nullptr);
  return true;
}

}  // namespace

bool readWithLibpng(std::span<const std::uint8_t> file, LibpngDestination destination,
                    void* context) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, ignoreWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  MemorySource source{file, 0};
  png_set_read_fn(png, &source, readFromMemory);
  HeapPtr<png_bytep[]> rows;
  const bool ok = readAll(png, info, destination, context, rows);
  png_destroy_read_struct(&png, &info, nullptr);
  return ok;
}
