#pragma once

#include "base/byte_io.h"
#include "base/decode_report.h"
#include "base/image.h"

// Decodes a whole PNG file held in memory into a 3- or 4-channel picture; null when the bytes are
// not a PNG picture this reader accepts. The bytes stay the caller's. A report, when given, is
// marked PNG once the bytes start with the 8-byte signature and then gets the reason of any
// refusal; the result is the same with or without one.
[[nodiscard]] ImagePtr decodePng(ByteSpan bytes, DecodeReport* report = nullptr,
                                 bool expand = false) noexcept;

// decodePng for bytes the caller no longer needs: the reader may overwrite them (the picture data
// is then gathered where it stands instead of being copied into a block of its own). The picture
// and the report are those decodePng gives for the same bytes.
[[nodiscard]] ImagePtr decodePngInPlace(std::uint8_t* bytes, std::size_t size,
                                        DecodeReport* report = nullptr,
                                        bool expand = false) noexcept;
