#pragma once
// JPEG reader: the library's decompressor fed from the file in memory.

#include <cstdint>

#include "base/byte_io.h"
#include "base/decode_report.h"
#include "base/image.h"

struct jpeg_decompress_struct;

// Where the memory source stands in the file being decoded. The library calls the source with
// nothing but the decompression object, so the file is reached through this record, one per
// thread: decodes on different threads each have their own. It keeps its last values after a
// decode.
struct JpegInputCursor {
  const std::uint8_t* next;  // first byte not yet handed to the library
  std::int32_t remaining;    // bytes from next to the end of the file
};

extern thread_local JpegInputCursor jpegInputCursor;

// Decodes a whole JPEG file held in memory into a three-channel picture (B,G,R, rows
// bottom-up): grey widened to three equal bytes, CMYK and YCCK pictures converted from CMYK
// stored inverted (red = C * K / 255, green = M * K / 255, blue = Y * K / 255, rounded). Null when
// the bytes do not start FF D8 FF, are fewer than 20 or more than 2^31 - 1, the library fails
// before the last row, the picture has other than 1, 3 or 4 components or a side outside 1..16384,
// or memory runs out. The bytes stay the caller's. A report, when given, is marked JPEG once the
// bytes start FF D8 and then gets the reason of any refusal (a fatal library error in the
// library's own words) and the library's warnings, which are never printed; the result is the
// same with or without one.
[[nodiscard]] ImagePtr decodeJpeg(ByteSpan bytes, DecodeReport* report = nullptr,
                                  bool expand = false) noexcept;

// Makes the decompression object read from jpegInputCursor: the first fill hands over the rest
// of the file in place. The source record comes from the object's permanent pool (allocated
// once, when src is still null). Past the end of the file every fill yields an end-of-image marker
// with the library's premature-end warning; an empty first fill is the library's fatal empty-input
// error.
void installJpegMemorySource(jpeg_decompress_struct* cinfo) noexcept;
