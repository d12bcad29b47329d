#include "png/inflate.h"

bool inflateBegin() noexcept { return false; }
std::uint32_t inflateRead(std::uint8_t*, std::uint32_t) noexcept { return 0; }
void inflateReleaseWindow() noexcept {}
