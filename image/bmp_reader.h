#pragma once

#include "base/byte_io.h"
#include "base/decode_report.h"
#include "base/image.h"

// Decodes a whole BMP file held in memory; null when the bytes are not a BMP picture this
// reader accepts. The bytes stay the caller's. A report, when given, is marked BMP once the
// bytes start with the signature 'BM' and then gets the reason of any refusal; the result is the
// same with or without one.
[[nodiscard]] ImagePtr decodeBmp(ByteSpan bytes, DecodeReport* report = nullptr,
                                 bool expand = false) noexcept;
