#pragma once
// JPEG files made and decoded with the library itself: the JPEG reader's test oracle.

#include <cstdint>

#include "support/test_files.h"

struct jpeg_decompress_struct;

// Colour layout of an encoded file.
enum class JpegColor {
  Grey,           // one component
  Rgb,            // three components, stored as YCbCr
  Cmyk,           // four components, stored as they are
  Ycck,           // four components, stored as YCCK
  TwoComponents,  // two components of no named colour space
};

struct JpegEncoding {
  int width = 16;
  int height = 16;
  JpegColor color = JpegColor::Rgb;
  bool subsampled = false;  // 2x2 chroma (4:2:0) for Rgb and Ycck; otherwise every component 1x1
  bool progressive = false;
  bool arithmetic = false;
  bool noise = false;  // pseudo-random samples instead of the smooth test pattern
  int quality = 90;
  bool adobeMarker = true;  // Cmyk and Ycck: write the Adobe marker naming the transform
};

[[nodiscard]] int jpegInputComponents(JpegColor color);

// The samples encodeJpeg stores: rows top-down, jpegInputComponents(color) bytes per pixel.
[[nodiscard]] Bytes jpegTestSamples(const JpegEncoding& encoding);

// A complete file of the given samples; empty when the library refuses the encoding (for
// example arithmetic coding in a build without it).
[[nodiscard]] Bytes encodeJpeg(const JpegEncoding& encoding, const Bytes& samples);
[[nodiscard]] Bytes encodeJpeg(const JpegEncoding& encoding);

// The file of the encoding cut halfway through the data of its last scan: the library warns that
// the file ended early ("Premature end of JPEG file") and fills in the rest, so it still gives a
// picture of full size. Empty when the library refuses the encoding.
[[nodiscard]] Bytes encodeJpegCutInsideScan(const JpegEncoding& encoding);

// A stream that holds only quantisation and Huffman tables, no frame.
[[nodiscard]] Bytes encodeJpegTablesOnly();

// What the library makes of a file with its default decompression parameters.
struct JpegReference {
  bool rowsDecoded = false;   // every row was delivered
  bool finishFailed = false;  // a fatal error came from jpeg_finish_decompress
  int errorCode = 0;          // message code of the fatal error, 0 without one
  long warnings = 0;          // warnings issued (none are printed)
  int width = 0;
  int height = 0;
  int components = 0;
  Bytes samples;  // rows top-down, components bytes per pixel
};

// The reference's samples as three-component R,G,B rows: grey repeated, RGB as it is, CMYK read
// as stored inverted (R = (C * K + 127) / 255, G likewise from M, B from Y).
[[nodiscard]] Bytes jpegReferenceRgb(const JpegReference& reference);

// Installs a data source on a freshly created decompression object.
using JpegSourceInstaller = void (*)(jpeg_decompress_struct* cinfo);

// Decodes with plain library calls, reading through the library's memory source or, when
// installSource is given, through the source it installs (bytes are then unused).
[[nodiscard]] JpegReference decodeJpegReference(const Bytes& bytes,
                                                JpegSourceInstaller installSource = nullptr);
