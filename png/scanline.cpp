// Scanline reconstruction for PNG filter method 0 and the Adam7 interlace.
//
// Each scanline arrives from the zlib stream as one filter-type byte and the filtered bytes. It
// is reconstructed in place in one of two alternating buffers, the other holding the previous
// scanline of the picture (or of the current pass); the first scanline of the picture and of
// every pass is reconstructed against zeros. Samples are then spread straight into their final
// place in pngState.pixels: bits of depths 1, 2 and 4 are unpacked most significant first (grey
// widened to 0..255, palette indices kept), truecolour samples reordered to blue, green, red.
// Exactly the bytes of the picture are requested from the stream; what follows the last row is
// never asked for. A filter type above 4 ends the decode.

#include "png/scanline.h"

#include <cstddef>
#include <cstring>

#include "png/decode_state.h"
#include "png/inflate.h"

namespace {

constexpr std::uint8_t kFilterNone = 0;
constexpr std::uint8_t kFilterSub = 1;
constexpr std::uint8_t kFilterUp = 2;
constexpr std::uint8_t kFilterAverage = 3;
constexpr std::uint8_t kFilterPaeth = 4;

inline std::uint8_t paeth(int left, int above, int upperLeft) noexcept {
  const int estimate = left + above - upperLeft;
  const int distanceLeft = estimate > left ? estimate - left : left - estimate;
  const int distanceAbove = estimate > above ? estimate - above : above - estimate;
  const int distanceUpperLeft = estimate > upperLeft ? estimate - upperLeft : upperLeft - estimate;
  if (distanceLeft <= distanceAbove && distanceLeft <= distanceUpperLeft) {
    return static_cast<std::uint8_t>(left);
  }
  if (distanceAbove <= distanceUpperLeft) return static_cast<std::uint8_t>(above);
  return static_cast<std::uint8_t>(upperLeft);
}

inline std::uint8_t wrapAdd(std::uint8_t a, int b) noexcept {
  return static_cast<std::uint8_t>(a + b);
}

// Unpacks count samples of kBits bits each (most significant first) and writes each, multiplied
// by scale, every dstStep bytes.
template <unsigned kBits>
void spreadPackedSamples(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                         std::size_t dstStep, unsigned scale) noexcept {
  constexpr unsigned kPerByte = 8 / kBits;
  constexpr unsigned kMask = (1u << kBits) - 1;
  for (std::size_t k = 0; k < count; ++k) {
    const unsigned shift = 8 - kBits * (static_cast<unsigned>(k % kPerByte) + 1);
    const unsigned packed = src[k / kPerByte];
    const unsigned value = (packed >> shift) & kMask;
    dst[k * dstStep] = static_cast<std::uint8_t>(value * scale);
  }
}

// Writes count pixels of the reconstructed scanline src to dst, one every dstStep bytes, in the
// layout of pngState.pixels.
void spreadPixels(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                  std::size_t dstStep) noexcept {
  const bool grey = pngState.colourType == kColourGrey;
  switch (pngState.bitDepth) {
    case 1:
      spreadPackedSamples<1>(src, dst, count, dstStep, grey ? 255u : 1u);
      return;
    case 2:
      spreadPackedSamples<2>(src, dst, count, dstStep, grey ? 85u : 1u);
      return;
    case 4:
      spreadPackedSamples<4>(src, dst, count, dstStep, grey ? 17u : 1u);
      return;
    default:
      break;
  }
  switch (pngState.bytesPerPixel) {
    case 1:  // 8-bit grey or palette index
      if (dstStep == 1) {
        std::memcpy(dst, src, count);
      } else {
        for (std::size_t k = 0; k < count; ++k) dst[k * dstStep] = src[k];
      }
      return;
    case 2:  // grey, alpha
      for (std::size_t k = 0; k < count; ++k, src += 2, dst += dstStep) {
        dst[0] = src[0];
        dst[1] = src[1];
      }
      return;
    case 3:  // red, green, blue -> blue, green, red
      for (std::size_t k = 0; k < count; ++k, src += 3, dst += dstStep) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
      return;
    case 4:  // red, green, blue, alpha -> blue, green, red, alpha
      for (std::size_t k = 0; k < count; ++k, src += 4, dst += dstStep) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
        dst[3] = src[3];
      }
      return;
    default:
      return;
  }
}

// Zeroes both scanline buffers over rowBytes and makes rows[0] the current one.
void clearRows() noexcept {
  const auto length = static_cast<std::size_t>(pngState.rowBytes);
  std::memset(pngState.rows[0].get(), 0, length);
  std::memset(pngState.rows[1].get(), 0, length);
  pngState.currentRow = 0;
}

// Pulls the filter byte and length scanline bytes into the current buffer and reconstructs
// them; false when the stream delivers less or the filter type is above 4.
bool readScanline(std::int32_t length) noexcept {
  std::uint8_t filterType = 0;
  if (inflateRead(&filterType, 1) != 1) return false;
  if (filterType > kFilterPaeth) return false;  // filter type
  const auto count = static_cast<std::uint32_t>(length);
  if (inflateRead(pngState.rows[pngState.currentRow].get(), count) != count) return false;
  unfilterRow(filterType, length);
  return true;
}

}  // namespace

std::uint8_t paethPredictor(std::uint8_t left, std::uint8_t above,
                            std::uint8_t upperLeft) noexcept {
  return paeth(left, above, upperLeft);
}

void unfilterRow(std::int32_t filterType, std::int32_t length) noexcept {
  std::uint8_t* const x = pngState.rows[pngState.currentRow].get();
  const std::uint8_t* const prior = pngState.rows[1 - pngState.currentRow].get();
  const auto n = static_cast<std::size_t>(length);
  const auto distance = static_cast<std::size_t>(pngState.bytesPerPixel);
  const std::size_t head = distance < n ? distance : n;  // bytes with no left neighbour

  switch (filterType) {
    case kFilterNone:
      return;
    case kFilterSub:
      for (std::size_t i = distance; i < n; ++i) x[i] = wrapAdd(x[i], x[i - distance]);
      return;
    case kFilterUp:
      for (std::size_t i = 0; i < n; ++i) x[i] = wrapAdd(x[i], prior[i]);
      return;
    case kFilterAverage:
      for (std::size_t i = 0; i < head; ++i) x[i] = wrapAdd(x[i], prior[i] >> 1);
      for (std::size_t i = head; i < n; ++i) {
        x[i] = wrapAdd(x[i], (x[i - distance] + prior[i]) >> 1);
      }
      return;
    case kFilterPaeth:
      // With left and upper-left both 0 the predictor is the byte above.
      for (std::size_t i = 0; i < head; ++i) x[i] = wrapAdd(x[i], prior[i]);
      for (std::size_t i = head; i < n; ++i) {
        x[i] = wrapAdd(x[i], paeth(x[i - distance], prior[i], prior[i - distance]));
      }
      return;
    default:
      return;
  }
}

void convertPlainRow(std::int32_t row) noexcept {
  const auto bytesPerPixel = static_cast<std::size_t>(pngState.bytesPerPixel);
  const auto width = static_cast<std::size_t>(pngState.width);
  std::uint8_t* const dst =
      pngState.pixels.get() + static_cast<std::size_t>(row) * width * bytesPerPixel;
  spreadPixels(pngState.rows[pngState.currentRow].get(), dst, width, bytesPerPixel);
}

void convertPassRow(const Adam7Pass& pass, std::int32_t row, std::int32_t count) noexcept {
  const auto bytesPerPixel = static_cast<std::size_t>(pngState.bytesPerPixel);
  const auto width = static_cast<std::size_t>(pngState.width);
  const std::size_t firstPixel =
      static_cast<std::size_t>(row) * width + static_cast<std::size_t>(pass.firstColumn);
  spreadPixels(pngState.rows[pngState.currentRow].get(),
               pngState.pixels.get() + firstPixel * bytesPerPixel, static_cast<std::size_t>(count),
               static_cast<std::size_t>(pass.columnStep) * bytesPerPixel);
}

bool readPlainRows() noexcept {
  clearRows();
  for (std::int32_t row = 0; row < pngState.height; ++row) {
    if (!readScanline(pngState.rowBytes)) return false;
    convertPlainRow(row);
    pngState.currentRow ^= 1;
  }
  return true;
}

bool readInterlacedRows() noexcept {
  for (std::int32_t p = 0; p < 7; ++p) {
    pngState.passIndex = p;
    const Adam7Pass& pass = adam7Passes[p];
    if (pass.firstRow >= pngState.height || pass.firstColumn >= pngState.width) continue;
    clearRows();
    const std::int32_t passWidth =
        (pngState.width - pass.firstColumn + pass.columnStep - 1) / pass.columnStep;
    const auto passRowLength = static_cast<std::int32_t>(
        (std::int64_t{pngState.bitDepth} * pngState.bytesPerPixel * passWidth + 7) / 8);
    for (std::int32_t row = pass.firstRow; row < pngState.height; row += pass.rowStep) {
      if (!readScanline(passRowLength)) return false;
      convertPassRow(pass, row, passWidth);
      pngState.currentRow ^= 1;
    }
  }
  return true;
}
