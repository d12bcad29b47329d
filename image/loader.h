#pragma once
// Whole-file loading and format detection by content.

#include "base/byte_io.h"
#include "base/counted_string.h"
#include "base/image.h"

// Reads the whole file named by path and decodes it; null when the file cannot be opened or
// read, is not a regular file (a FIFO or device is refused without blocking), is larger than
// kMaxInputFileBytes (refused before anything is allocated), or no reader accepts it.
[[nodiscard]] ImagePtr loadImageFile(const CountedString& path) noexcept;

// Offers the bytes to the BMP, TGA, PNG and JPEG readers in that order and returns the first
// picture one of them returns; null when none does. No reader keeps a pointer into bytes.
[[nodiscard]] ImagePtr decodeImage(ByteSpan bytes) noexcept;
