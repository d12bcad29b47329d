#pragma once

#include "image/byte_io.h"
#include "image/image.h"

// Decodes a whole JPEG file held in memory; null when the bytes are not a JPEG picture this
// reader accepts. The bytes stay the caller's.
[[nodiscard]] ImagePtr decodeJpeg(ByteSpan bytes) noexcept;
