#pragma once
// Whole-file loading and format detection by content.

#include "base/byte_io.h"
#include "base/counted_string.h"
#include "base/decode_report.h"
#include "base/image.h"

// Reads the whole file named by path and decodes it; null when the file cannot be opened or
// read, is not a regular file (a FIFO or device is refused without blocking), is larger than
// kMaxInputFileBytes (refused before anything is allocated), or no reader accepts it. A report,
// when given, says which reader took the file or why none did, reasons of reading the file
// included ("cannot be read: permission denied"); the result is the same with or without one.
[[nodiscard]] ImagePtr loadImageFile(const CountedString& path, DecodeReport* report = nullptr,
                                     bool expand = false) noexcept;

// A bound on the memory a load may take, asked between reading the file's head and the rest:
// given the estimate estimateLoadBytes would make for the file, refuses(estimate, context) true
// refuses the load.
struct LoadBound {
  bool (*refuses)(std::uint64_t estimate, const void* context) noexcept = nullptr;
  const void* context = nullptr;
};

// loadImageFile with a bound, the file opened and its head read once for the estimate and the
// picture both: a file that fits in the head is not read again. When the bound refuses, refused
// is set and null returned before the file's block is allocated, the report left empty; else the
// result and the report are loadImageFile's.
[[nodiscard]] ImagePtr loadImageFileWithin(const CountedString& path, const LoadBound& bound,
                                           bool& refused, DecodeReport* report = nullptr,
                                           bool expand = false) noexcept;

// Offers the bytes to the BMP, TGA, PNG and JPEG readers in that order and returns the first
// picture one of them returns; null when none does. No reader keeps a pointer into bytes.
//
// A report, when given, is filled in full: for a picture, the format of the reader that made it
// and an empty reason; without one, always a reason. The reason is that of the reader whose
// signature the bytes carry (BMP, PNG, JPEG); else the name of another format whose signature
// they carry (GIF, TIFF, ...); else TGA's, when the header holds together as a TGA header (TGA
// has no signature); else that the file is empty or is not a BMP, TGA, PNG or JPEG file.
// Either way it holds the warnings the readers gave.
//
// With expand, each reader also takes the layouts of its format that a default run refuses
// (palette, grey and 16-bit PNG; palette, run-length and bit-field BMP; colour-mapped, grey and
// 15/16-bit TGA) and the report's layout says which one it was. A file a default run converts
// gives the same picture either way.
[[nodiscard]] ImagePtr decodeImage(ByteSpan bytes, DecodeReport* report = nullptr,
                                   bool expand = false) noexcept;

// An estimate, made before loading, of the peak of memory of a process that loads the file named
// by path and writes its padded BMP: the process's own few MiB, the file, the picture and the
// readers' blocks (a PNG's gathered picture data and its slice of filtered scanlines, a JPEG's
// coefficient arrays for a progressive or multi-scan file and the library's buffers), for the
// sides and layout the file's header states, each side at most kMaxImageSide. (The padded
// picture is never held whole: its rows are written a stage at a time.) Measured on real files
// of every format it errs high by 1 to 25 %. A file its reader refuses before allocating (too
// large, a layout that is not converted, too short for the picture it states) counts without a
// picture; a JPEG whose frame header is not in its first 64 KiB counts as the largest
// progressive picture. 0 when the file cannot be opened (loading fails at once). With expand,
// the estimate is that of the load with expand: the expanded picture of the layouts a default
// run refuses; the other files count the same either way.
[[nodiscard]] std::uint64_t estimateLoadBytes(const CountedString& path,
                                              bool expand = false) noexcept;
