#pragma once
// Picture and container formats the readers do not take, told by their first bytes, so that a
// refused file can be named for what it is.

#include "base/byte_io.h"

// The name of the format whose signature the bytes start with ("GIF", "WebP", "TIFF", ...);
// null when none matches. BMP, PNG and JPEG are not among them: their readers name those.
[[nodiscard]] const char* foreignFormatName(ByteSpan bytes) noexcept;
