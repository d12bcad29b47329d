#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_io.h"
#include "base/decode_report.h"
#include "base/image.h"

// Decodes a whole TGA file held in memory; null when the bytes are not a TGA picture this
// reader accepts. The bytes stay the caller's. TGA has no signature, so a report, when given,
// is marked TGA only when the header holds together as a TGA header of any kind (colour map type
// 0 or 1, a known image type, a known pixel depth, both sides non-zero), and then gets the
// reason of any refusal; the result is the same with or without one.
[[nodiscard]] ImagePtr decodeTga(ByteSpan bytes, DecodeReport* report = nullptr,
                                 bool expand = false) noexcept;

// Unpacks TGA run-length packets of pixelSize-byte pixels from input into output, writing at
// most outputBytes bytes and reading at most inputBytes bytes. Packets run on across rows; a run
// that passes the end of the output is cut there, a raw packet is cut to the whole pixels the
// input still holds. Output bytes that no packet reached are set to zero. Returns the number of
// input bytes not consumed.
[[nodiscard]] std::size_t unpackTgaRle(std::uint8_t* output, std::size_t outputBytes,
                                       const std::uint8_t* input, std::size_t inputBytes,
                                       std::size_t pixelSize) noexcept;
