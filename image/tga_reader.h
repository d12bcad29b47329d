#pragma once

#include "image/byte_io.h"
#include "image/image.h"

// Decodes a whole TGA file held in memory; null when the bytes are not a TGA picture this
// reader accepts. The bytes stay the caller's.
[[nodiscard]] ImagePtr decodeTga(ByteSpan bytes) noexcept;
