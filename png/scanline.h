#pragma once
// Scanline reconstruction: pulls filtered rows out of the zlib stream, undoes the filters and
// spreads the pixels into pngState.pixels.

#include <cstdint>

[[nodiscard]] bool readPlainRows() noexcept;
[[nodiscard]] bool readInterlacedRows() noexcept;
