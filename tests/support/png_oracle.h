#pragma once
// libpng as the test oracle for the PNG reader: decodes a whole file from memory with the
// classic png_read_* calls, and writes files the way libpng's users do.

#include <cstdint>

#include "support/png_writer.h"
#include "support/test_files.h"

struct LibpngPicture {
  bool ok = false;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  unsigned channels = 0;
  Bytes pixels;  // rows from the top, samples as stored (R,G,B(,A) for truecolour)
};

// Decodes an 8-bit truecolour or truecolour-with-alpha file; ok is false when libpng refuses it
// or it has another format.
[[nodiscard]] LibpngPicture decodeWithLibpng(const Bytes& file);

// Encodes an 8-bit truecolour or truecolour-with-alpha picture with libpng, with the picture's
// interlacing and libpng's own filter choice, flushing the zlib stream every flushRows rows
// (png_set_flush, 0 for never); empty when libpng fails.
[[nodiscard]] Bytes encodeWithLibpng(const PngPicture& picture, int flushRows);
