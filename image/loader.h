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
[[nodiscard]] ImagePtr loadImageFile(const CountedString& path,
                                     DecodeReport* report = nullptr) noexcept;

// Offers the bytes to the BMP, TGA, PNG and JPEG readers in that order and returns the first
// picture one of them returns; null when none does. No reader keeps a pointer into bytes.
//
// A report, when given, is filled in full: for a picture, the format of the reader that made it
// and an empty reason; without one, always a reason. The reason is that of the reader whose
// signature the bytes carry (BMP, PNG, JPEG); else the name of another format whose signature
// they carry (GIF, TIFF, ...); else TGA's, when the header holds together as a TGA header (TGA
// has no signature); else that the file is empty or is not a BMP, TGA, PNG or JPEG file.
// Either way it holds the warnings the readers gave.
[[nodiscard]] ImagePtr decodeImage(ByteSpan bytes, DecodeReport* report = nullptr) noexcept;

// An estimate, made before loading, of the most bytes that loading the file named by path may
// hold at once: the file, the picture and the readers' scratch (a JPEG's coefficient arrays, a
// PNG's palette-index plane), for the sides the file's header gives, each side at most
// kMaxImageSide. (The padded picture is never held whole: its rows are written a stage at a
// time.) It errs high for the formats' usual
// layouts; a file whose header cannot be read costs its size and a picture of the largest
// sides. 0 when the file cannot be opened (loading fails at once).
[[nodiscard]] std::uint64_t estimateLoadBytes(const CountedString& path) noexcept;
