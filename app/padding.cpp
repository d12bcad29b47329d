// Power-of-two sides. The padded picture itself is never built: the BMP writer repeats the
// edge pixels as it writes the rows.

#include "app/padding.h"

namespace {

constexpr unsigned kMinPaddedSide = 4;

}  // namespace

unsigned paddedSide(unsigned side) noexcept {
  unsigned padded = kMinPaddedSide;
  while (padded < side) padded *= 2;
  return padded;
}
