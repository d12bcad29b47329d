#pragma once

#include "base/byte_io.h"
#include "base/image.h"

// Decodes a whole PNG file held in memory into a 3- or 4-channel picture; null when the bytes are
// not a PNG picture this reader accepts. The bytes stay the caller's.
[[nodiscard]] ImagePtr decodePng(ByteSpan bytes) noexcept;
