#pragma once

#include "base/byte_io.h"
#include "base/image.h"

// Decodes a whole BMP file held in memory; null when the bytes are not a BMP picture this
// reader accepts. The bytes stay the caller's.
[[nodiscard]] ImagePtr decodeBmp(ByteSpan bytes) noexcept;
