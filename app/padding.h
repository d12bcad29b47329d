#pragma once
// Power-of-two padding by edge replication.

#include "base/image.h"

// The smallest power of two that is at least 4 and at least side.
[[nodiscard]] unsigned paddedSide(unsigned side) noexcept;

// Enlarges the canvas to power-of-two width and height: new columns to the right repeat each
// row's last pixel, new rows above repeat the top row. Returns the picture unchanged when it is
// already of such a size; null (the picture released) when the new one cannot be allocated.
[[nodiscard]] ImagePtr padToPowerOfTwo(ImagePtr image) noexcept;
