#pragma once
// libpng's writer for pictures of any colour type and bit depth, for the expanded PNG layouts.

#include "support/png_writer.h"
#include "support/test_files.h"

struct LibpngWriteOptions {
  Bytes palette;  // R,G,B triples for a palette picture (1 to 256 entries)
  Bytes alphas;   // a palette picture's tRNS entries; none: no tRNS chunk
  // libpng's filter choice (PNG_FILTER_NONE ... PNG_FILTER_PAETH, or'ed); 0: libpng's default.
  int filterMask = 0;
  // Rows between flushes of the compressed stream (png_set_flush); 0: no flushes.
  int flushRows = 0;
};

// Encodes the picture at its bit depth (samples as in PngPicture, packed or 16-bit big-endian
// as the format has them), with its interlacing; empty when libpng fails. Palette indices past
// the palette are written as given.
[[nodiscard]] Bytes encodeAnyWithLibpng(const PngPicture& picture,
                                        const LibpngWriteOptions& options);
