// Scanline reconstruction for PNG filter method 0 and the Adam7 interlace.
//
// Each scanline arrives from the zlib stream as one filter-type byte and the filtered bytes. All
// scanlines of the picture (of each Adam7 pass) are pulled with one inflateRead into one buffer
// in slices of whole scanlines of up to kMaxPullBytes, and reconstructed in place there
// afterwards, each against the one before it; the first scanline of the picture and of every
// pass is reconstructed against zeros. Samples are then spread straight into their final place
// in the target rows (an Image, bottom row first, or pngState.pixels): bits of depths 1, 2
// and 4 are unpacked most significant first (grey widened to 0..255, palette indices kept),
// truecolour samples reordered to blue, green, red. Exactly the bytes of the picture are requested
// from the stream; what follows the last row is never asked for. A filter type above 4 ends the
// decode.
//
// Speed: 8-bit truecolour scanlines are reconstructed a whole pixel at a time, the three or four
// channels side by side (with SSE2 on x86, Paeth with SSE4.1 where present, else a branch-free
// Paeth predictor), and plain (non-interlaced) pictures store each pixel in blue, green, red
// order in the same pass, or with SSSE3 in a pass over the scanline right after it. Grey with
// alpha and 16-bit scanlines (2, 6 and 8 bytes per pixel) take the same pixel-at-a-time forms;
// scanlines of one byte per pixel keep the reconstructed left byte in a register, and two Paeth
// scanlines in a row of a plain picture are reconstructed side by side, so that their chains
// overlap. Expanded 16-bit samples are narrowed to 8 bits 16 at a time (SSE2) into a small
// buffer, and grey is spread to blue, green, red with SSSE3.

#include "png/scanline.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>

#include "base/platform.h"
#include "base/row_sink.h"
#include "base/spare_cores.h"
#include "png/decode_state.h"
#include "png/inflate.h"

#if POW2BMP_X86_SIMD
#include <immintrin.h>
#endif

namespace {

constexpr std::uint8_t kFilterNone = 0;
constexpr std::uint8_t kFilterSub = 1;
constexpr std::uint8_t kFilterUp = 2;
constexpr std::uint8_t kFilterAverage = 3;
constexpr std::uint8_t kFilterPaeth = 4;

// The Paeth predictor without branches. With a = left, b = above, c = upperLeft and the
// estimate p = a + b - c, the distances are pa = |p - a| = |b - c|, pb = |p - b| = |a - c| and
// pc = |p - c| = |a + b - 2c|; the nearest of a, b, c wins, ties in that order. The selects
// compile to conditional moves.
inline int paeth(int left, int above, int upperLeft) noexcept {
  const int aboveStep = above - upperLeft;                          // b - c
  const int leftStep = left - upperLeft;                            // a - c
  const int distanceLeft = aboveStep < 0 ? -aboveStep : aboveStep;  // pa
  const int distanceAbove = leftStep < 0 ? -leftStep : leftStep;    // pb
  const int sum = aboveStep + leftStep;
  const int distanceUpperLeft = sum < 0 ? -sum : sum;  // pc
  const int nearerOfTheOthers = distanceAbove <= distanceUpperLeft ? above : upperLeft;
  const int nearerDistance = distanceAbove <= distanceUpperLeft ? distanceAbove : distanceUpperLeft;
  return distanceLeft <= nearerDistance ? left : nearerOfTheOthers;
}

inline std::uint8_t wrapAdd(std::uint8_t a, int b) noexcept {
  return static_cast<std::uint8_t>(a + b);
}

// Reconstructs count pixels of kBytes (3 or 4) bytes of an 8-bit truecolour scanline in place,
// pixel by pixel with the channels side by side, against prior as the previous scanline. With
// kConvert each reconstructed pixel is also stored at dst as B,G,R(,A), so the scanline is read
// once. The left and upper-left neighbours of the first pixel are zeros.
template <std::size_t kBytes, bool kConvert, std::uint8_t kFilter>
void unfilterTruecolour(std::uint8_t* x, const std::uint8_t* prior, std::uint8_t* dst,
                        std::size_t count) noexcept {
  int left[kBytes] = {};
  int upperLeft[kBytes] = {};
  for (std::size_t k = 0; k < count; ++k, x += kBytes, prior += kBytes) {
    int value[kBytes];
    for (std::size_t c = 0; c < kBytes; ++c) {
      const int above = prior[c];
      int predicted = 0;
      if constexpr (kFilter == kFilterSub) predicted = left[c];
      if constexpr (kFilter == kFilterUp) predicted = above;
      if constexpr (kFilter == kFilterAverage) predicted = (left[c] + above) >> 1;
      if constexpr (kFilter == kFilterPaeth) {
        predicted = paeth(left[c], above, upperLeft[c]);
        upperLeft[c] = above;
      }
      value[c] = (x[c] + predicted) & 0xFF;
      left[c] = value[c];
      if constexpr (kFilter != kFilterNone) x[c] = static_cast<std::uint8_t>(value[c]);
    }
    if constexpr (kConvert) {
      dst[0] = static_cast<std::uint8_t>(value[2]);
      dst[1] = static_cast<std::uint8_t>(value[1]);
      dst[2] = static_cast<std::uint8_t>(value[0]);
      if constexpr (kBytes == 4) dst[3] = static_cast<std::uint8_t>(value[3]);
      dst += kBytes;
    }
  }
}

#if POW2BMP_X86_SIMD
// Vector forms of the truecolour reconstruction. Sub, Average and Paeth depend on the pixel to
// the left, so they take one pixel per step with its channels side by side in one register
// (SSE2, Paeth in 16-bit lanes); Up has no such dependency and adds 16 or 32 bytes per step.
// Pixels are loaded and stored with exactly kBytes bytes, so nothing outside the scanlines is
// touched.

// A pixel of 2, 3 or 4 bytes as a 32-bit value, or of 6 or 8 bytes (16-bit samples) as a 64-bit
// one, built in registers (a 3-byte copy through memory would stall the load that follows it).
template <std::size_t kBytes>
inline std::uint64_t loadBytes(const std::uint8_t* p) noexcept {
  if constexpr (kBytes == 2) {
    std::uint16_t value = 0;
    std::memcpy(&value, p, 2);
    return value;
  } else if constexpr (kBytes == 4) {
    std::uint32_t value = 0;
    std::memcpy(&value, p, 4);
    return value;
  } else if constexpr (kBytes == 8) {
    std::uint64_t value = 0;
    std::memcpy(&value, p, 8);
    return value;
  } else if constexpr (kBytes == 6) {
    std::uint32_t low = 0;
    std::uint16_t high = 0;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + 4, 2);
    return std::uint64_t{low} | std::uint64_t{high} << 32;
  } else {
    static_assert(kBytes == 3);
    std::uint16_t low = 0;
    std::memcpy(&low, p, 2);
    return std::uint32_t{low} | std::uint32_t{p[2]} << 16;
  }
}

template <std::size_t kBytes>
inline void storeBytes(std::uint8_t* p, std::uint64_t value) noexcept {
  if constexpr (kBytes == 2) {
    const auto low = static_cast<std::uint16_t>(value);
    std::memcpy(p, &low, 2);
  } else if constexpr (kBytes == 4) {
    const auto low = static_cast<std::uint32_t>(value);
    std::memcpy(p, &low, 4);
  } else if constexpr (kBytes == 8) {
    std::memcpy(p, &value, 8);
  } else if constexpr (kBytes == 6) {
    const auto low = static_cast<std::uint32_t>(value);
    const auto high = static_cast<std::uint16_t>(value >> 32);
    std::memcpy(p, &low, 4);
    std::memcpy(p + 4, &high, 2);
  } else {
    static_assert(kBytes == 3);
    const auto low = static_cast<std::uint16_t>(value);
    std::memcpy(p, &low, 2);
    p[2] = static_cast<std::uint8_t>(value >> 16);
  }
}

template <std::size_t kBytes>
inline __m128i loadPixel(const std::uint8_t* p) noexcept {
  if constexpr (kBytes > 4) {
    return _mm_cvtsi64_si128(static_cast<long long>(loadBytes<kBytes>(p)));
  } else {
    return _mm_cvtsi32_si128(static_cast<int>(loadBytes<kBytes>(p)));
  }
}

// Stores the pixel in v at x as it is and, with kConvert (3 or 4 bytes), at dst as blue, green,
// red(, alpha).
template <std::size_t kBytes, bool kConvert>
inline void storePixel(__m128i v, std::uint8_t* x, std::uint8_t* dst) noexcept {
  if constexpr (kBytes > 4) {
    storeBytes<kBytes>(x, static_cast<std::uint64_t>(_mm_cvtsi128_si64(v)));
  } else {
    const auto value = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    storeBytes<kBytes>(x, value);
    if constexpr (kConvert) {
      static_assert(kBytes == 3 || kBytes == 4);
      storeBytes<kBytes>(dst,
                         (value & 0xFF00FF00u) | (value >> 16 & 0xFFu) | (value & 0xFFu) << 16);
    }
  }
}

template <std::size_t kBytes, bool kConvert, std::uint8_t kFilter>
void unfilterTruecolourSse2(std::uint8_t* x, const std::uint8_t* prior, std::uint8_t* dst,
                            std::size_t count) noexcept {
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  __m128i left = zero;       // 8-bit lanes
  __m128i upperLeft = zero;  // 16-bit lanes, Paeth only
  for (std::size_t k = 0; k < count; ++k, x += kBytes, prior += kBytes) {
    const __m128i filtered = loadPixel<kBytes>(x);
    __m128i predicted = left;
    if constexpr (kFilter == kFilterAverage) {
      const __m128i above = loadPixel<kBytes>(prior);
      // floor((left + above) / 2): pavgb rounds up, so take the lost low bit off.
      predicted =
          _mm_sub_epi8(_mm_avg_epu8(left, above), _mm_and_si128(_mm_xor_si128(left, above), one));
    }
    if constexpr (kFilter == kFilterPaeth) {
      const __m128i a = _mm_unpacklo_epi8(left, zero);
      const __m128i b = _mm_unpacklo_epi8(loadPixel<kBytes>(prior), zero);
      const __m128i c = upperLeft;
      upperLeft = b;
      const __m128i aboveStep = _mm_sub_epi16(b, c);
      const __m128i leftStep = _mm_sub_epi16(a, c);
      const __m128i sum = _mm_add_epi16(aboveStep, leftStep);
      const __m128i pa = _mm_max_epi16(aboveStep, _mm_sub_epi16(zero, aboveStep));
      const __m128i pb = _mm_max_epi16(leftStep, _mm_sub_epi16(zero, leftStep));
      const __m128i pc = _mm_max_epi16(sum, _mm_sub_epi16(zero, sum));
      const __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
      // Ties go to left, then above, then upper-left: pick in the reverse order.
      const auto pick = [](__m128i mask, __m128i yes, __m128i no) noexcept {
        return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
      };
      __m128i nearest = pick(_mm_cmpeq_epi16(smallest, pc), c, b);
      nearest = pick(_mm_cmpeq_epi16(smallest, pb), b, nearest);
      nearest = pick(_mm_cmpeq_epi16(smallest, pa), a, nearest);
      predicted = _mm_packus_epi16(nearest, nearest);
    }
    left = _mm_add_epi8(filtered, predicted);
    storePixel<kBytes, kConvert>(left, x, dst);
    if constexpr (kConvert) dst += kBytes;
  }
}

// Paeth with a short dependency chain from one pixel to the next (SSE4.1, 16-bit lanes). With
// x = left - upperLeft and y = above - upperLeft the predictor picks left when pa <= pb and
// pa <= pc, which for y >= 0 means left >= above or left <= 3 upperLeft - 2 above; otherwise
// above when pb <= pc, that is 2 left >= 3 upperLeft - above; otherwise upperLeft. For y < 0 every
// comparison turns round. The thresholds depend only on the scanline above, so they are worked
// out off the chain, and the lanes with y < 0 compare the complements (~v = -v - 1) of both sides
// instead. The pixel to the left then goes through one xor, the compares, two blends and the add.
// One Paeth step in 16-bit lanes: the reconstructed pixel from the one to its left, the one above
// and the upper-left one, and the filtered bytes.
__attribute__((target("sse4.1"), always_inline)) inline __m128i paethStepSse41(
    __m128i left, __m128i upperLeft, __m128i above, __m128i filtered) noexcept {
  const __m128i one = _mm_set1_epi16(1);
  const __m128i lowByte = _mm_set1_epi16(0xFF);
  const __m128i turned = _mm_cmpgt_epi16(upperLeft, above);  // y < 0: all ones
  const __m128i estimate =                                   // 3 upperLeft - above
      _mm_sub_epi16(_mm_add_epi16(upperLeft, _mm_add_epi16(upperLeft, upperLeft)), above);
  const __m128i leftBound = _mm_xor_si128(above, turned);
  const __m128i farBound = _mm_xor_si128(_mm_sub_epi16(estimate, above), turned);
  // 2 left >= estimate: left >= ceil(estimate / 2); turned, left <= floor(estimate / 2).
  const __m128i aboveBound =
      _mm_xor_si128(_mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(estimate, one), turned), 1), turned);
  const __m128i a = _mm_xor_si128(left, turned);
  const __m128i notLeft =
      _mm_and_si128(_mm_cmpgt_epi16(leftBound, a), _mm_cmpgt_epi16(a, farBound));
  const __m128i other = _mm_blendv_epi8(above, upperLeft, _mm_cmpgt_epi16(aboveBound, a));
  return _mm_and_si128(_mm_add_epi16(filtered, _mm_blendv_epi8(left, other, notLeft)), lowByte);
}

template <std::size_t kBytes>
__attribute__((target("sse4.1"), always_inline)) inline __m128i widePixelSse41(
    const std::uint8_t* p) noexcept {
  return _mm_unpacklo_epi8(loadPixel<kBytes>(p), _mm_setzero_si128());
}

template <std::size_t kBytes>
__attribute__((target("sse4.1"), always_inline)) inline void storeWidePixelSse41(
    __m128i v, std::uint8_t* p) noexcept {
  storePixel<kBytes, false>(_mm_packus_epi16(v, v), p, nullptr);
}

template <std::size_t kBytes>
__attribute__((target("sse4.1"))) void unfilterPaethSse41(std::uint8_t* x,
                                                          const std::uint8_t* prior,
                                                          std::size_t count) noexcept {
  __m128i left = _mm_setzero_si128();       // 16-bit lanes
  __m128i upperLeft = _mm_setzero_si128();  // 16-bit lanes
  for (std::size_t k = 0; k < count; ++k, x += kBytes, prior += kBytes) {
    const __m128i above = widePixelSse41<kBytes>(prior);
    left = paethStepSse41(left, upperLeft, above, widePixelSse41<kBytes>(x));
    upperLeft = above;
    storeWidePixelSse41<kBytes>(left, x);
  }
}

// Paeth on two scanlines at once, x and the one under it, below: pixel k of below needs pixels
// k - 1 and k of x, so below runs one pixel behind x in the same loop, straight from the
// registers, and the two chains from pixel to pixel overlap.
template <std::size_t kBytes>
__attribute__((target("sse4.1"))) void unfilterPaethPairSse41(std::uint8_t* x,
                                                              const std::uint8_t* prior,
                                                              std::uint8_t* below,
                                                              std::size_t count) noexcept {
  __m128i left = _mm_setzero_si128();            // x[k - 1]
  __m128i upperLeft = _mm_setzero_si128();       // prior[k - 1]
  __m128i leftBelow = _mm_setzero_si128();       // below[k - 2]
  __m128i upperLeftBelow = _mm_setzero_si128();  // x[k - 2]
  for (std::size_t k = 0; k < count; ++k) {
    const __m128i above = widePixelSse41<kBytes>(prior + k * kBytes);
    const __m128i next =
        paethStepSse41(left, upperLeft, above, widePixelSse41<kBytes>(x + k * kBytes));
    upperLeft = above;
    if (k != 0) {
      std::uint8_t* const pixel = below + (k - 1) * kBytes;
      leftBelow = paethStepSse41(leftBelow, upperLeftBelow, left, widePixelSse41<kBytes>(pixel));
      upperLeftBelow = left;
      storeWidePixelSse41<kBytes>(leftBelow, pixel);
    }
    left = next;
    storeWidePixelSse41<kBytes>(left, x + k * kBytes);
  }
  std::uint8_t* const last = below + (count - 1) * kBytes;
  storeWidePixelSse41<kBytes>(
      paethStepSse41(leftBelow, upperLeftBelow, left, widePixelSse41<kBytes>(last)), last);
}

// Blue, green, red(, alpha) of count pixels at src written to dst.
template <std::size_t kBytes>
void reorderPixelsPortable(const std::uint8_t* src, std::uint8_t* dst, std::size_t count) noexcept {
  for (std::size_t k = 0; k < count; ++k, src += kBytes, dst += kBytes) {
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
    if constexpr (kBytes == 4) dst[3] = src[3];
  }
}

// The same with pshufb: 4 pixels of 4 bytes or 5 of 3 bytes per 16-byte step, while a whole
// 16 bytes can be read and written inside the scanline.
template <std::size_t kBytes>
__attribute__((target("ssse3"))) void reorderPixelsSsse3(const std::uint8_t* src, std::uint8_t* dst,
                                                         std::size_t count) noexcept {
  constexpr std::size_t kStep = kBytes == 4 ? 4 : 5;
  const __m128i order = kBytes == 4
                            ? _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15)
                            : _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  std::size_t k = 0;
  for (; (count - k) * kBytes >= 16; k += kStep) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k * kBytes));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k * kBytes), _mm_shuffle_epi8(v, order));
  }
  reorderPixelsPortable<kBytes>(src + k * kBytes, dst + k * kBytes, count - k);
}

// Up: the scanline plus the one above, 32 bytes per step.
__attribute__((target("avx2"))) void addRowsAvx2(std::uint8_t* x, const std::uint8_t* prior,
                                                 std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i sum =
        _mm256_add_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i)),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prior + i)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + i), sum);
  }
  for (; i < n; ++i) x[i] = static_cast<std::uint8_t>(x[i] + prior[i]);
}

void addRowsSse2(std::uint8_t* x, const std::uint8_t* prior, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i sum = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i)),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(prior + i)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(x + i), sum);
  }
  for (; i < n; ++i) x[i] = static_cast<std::uint8_t>(x[i] + prior[i]);
}

// Blue, green, red(, alpha) of count pixels at src written to dst, with SSSE3 where allowed.
template <std::size_t kBytes>
void reorderPixels(const std::uint8_t* src, std::uint8_t* dst, std::size_t count) noexcept {
  if (useSsse3()) {
    reorderPixelsSsse3<kBytes>(src, dst, count);
  } else {
    reorderPixelsPortable<kBytes>(src, dst, count);
  }
}

// unfilterTruecolourSse2 for filter type Sub, Average or Paeth.
template <std::size_t kBytes, bool kConvert>
void unfilterLeftDependentSse2(std::uint8_t filterType, std::uint8_t* x, const std::uint8_t* prior,
                               std::uint8_t* dst, std::size_t count) noexcept {
  switch (filterType) {
    case kFilterSub:
      unfilterTruecolourSse2<kBytes, kConvert, kFilterSub>(x, prior, dst, count);
      return;
    case kFilterAverage:
      unfilterTruecolourSse2<kBytes, kConvert, kFilterAverage>(x, prior, dst, count);
      return;
    default:
      unfilterTruecolourSse2<kBytes, kConvert, kFilterPaeth>(x, prior, dst, count);
      return;
  }
}

// The vector reconstruction of one truecolour scanline; false when the portable form is to do it.
// Sub, Average and Paeth go from pixel to pixel; with SSSE3 the pixels are reordered afterwards,
// 16 bytes at a time, instead of one by one inside that loop.
template <std::size_t kBytes, bool kConvert>
bool unfilterTruecolourVector(std::uint8_t filterType, std::uint8_t* x, const std::uint8_t* prior,
                              std::uint8_t* dst, std::size_t count) noexcept {
  if (codePath() == CodePath::kPortable || filterType > kFilterPaeth) return false;
  if (filterType == kFilterUp) {
    if (useAvx2()) {
      addRowsAvx2(x, prior, count * kBytes);
    } else {
      addRowsSse2(x, prior, count * kBytes);
    }
  } else if (filterType == kFilterPaeth && useSse41()) {
    unfilterPaethSse41<kBytes>(x, prior, count);
  } else if (filterType != kFilterNone) {
    if (kConvert && !useSsse3()) {
      unfilterLeftDependentSse2<kBytes, kConvert>(filterType, x, prior, dst, count);
      return true;
    }
    unfilterLeftDependentSse2<kBytes, false>(filterType, x, prior, nullptr, count);
  }
  if constexpr (kConvert) reorderPixels<kBytes>(x, dst, count);
  return true;
}

// 16-bit big-endian samples to the nearest 8-bit value, 16 per step: with v the sample,
// (v * 255 + 32767) / 65535 equals (v * 0xFF01 + 0x800000) >> 24, and since 0x800000 is a
// multiple of 65536 that is ((v * 0xFF01 >> 16) + 0x80) >> 8, which stays inside 16-bit lanes.
// Returns how many samples it wrote; the rest are left to the caller.
std::size_t narrowSamplesSse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) noexcept {
  const __m128i factor = _mm_set1_epi16(static_cast<short>(0xFF01));
  const __m128i half = _mm_set1_epi16(0x80);
  const auto narrow = [&](__m128i bigEndian) noexcept {
    const __m128i v = _mm_or_si128(_mm_slli_epi16(bigEndian, 8), _mm_srli_epi16(bigEndian, 8));
    return _mm_srli_epi16(_mm_add_epi16(_mm_mulhi_epu16(v, factor), half), 8);
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i low = narrow(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i)));
    const __m128i high =
        narrow(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i + 16)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(low, high));
  }
  return i;
}

// 8-bit grey to B,G,R (kChannels 1) or grey, alpha to B,G,R,A (kChannels 2) of pixels packed
// side by side at dst, 16 source bytes per step. Returns how many pixels it wrote.
template <unsigned kChannels>
__attribute__((target("ssse3"))) std::size_t expandGreySsse3(const std::uint8_t* src,
                                                             std::uint8_t* dst,
                                                             std::size_t count) noexcept {
  constexpr std::size_t kStep = 16 / kChannels;  // pixels per 16 source bytes
  std::size_t k = 0;
  if constexpr (kChannels == 1) {
    const __m128i first = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i second = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i third =
        _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    for (; k + kStep <= count; k += kStep) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k));
      auto* out = reinterpret_cast<__m128i*>(dst + 3 * k);
      _mm_storeu_si128(out, _mm_shuffle_epi8(v, first));
      _mm_storeu_si128(out + 1, _mm_shuffle_epi8(v, second));
      _mm_storeu_si128(out + 2, _mm_shuffle_epi8(v, third));
    }
  } else {
    const __m128i first = _mm_setr_epi8(0, 0, 0, 1, 2, 2, 2, 3, 4, 4, 4, 5, 6, 6, 6, 7);
    const __m128i second =
        _mm_setr_epi8(8, 8, 8, 9, 10, 10, 10, 11, 12, 12, 12, 13, 14, 14, 14, 15);
    for (; k + kStep <= count; k += kStep) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * k));
      auto* out = reinterpret_cast<__m128i*>(dst + 4 * k);
      _mm_storeu_si128(out, _mm_shuffle_epi8(v, first));
      _mm_storeu_si128(out + 1, _mm_shuffle_epi8(v, second));
    }
  }
  return k;
}
#endif

template <std::size_t kBytes, bool kConvert>
void unfilterTruecolourRow(std::uint8_t filterType, std::uint8_t* x, const std::uint8_t* prior,
                           std::uint8_t* dst, std::size_t count) noexcept {
#if POW2BMP_X86_SIMD
  if (unfilterTruecolourVector<kBytes, kConvert>(filterType, x, prior, dst, count)) return;
#endif
  using Unfilter =
      void (*)(std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t) noexcept;
  // Filter None leaves the bytes as they are; only a conversion has work to do.
  static constexpr Unfilter kByFilter[] = {
      kConvert ? &unfilterTruecolour<kBytes, true, kFilterNone> : nullptr,
      &unfilterTruecolour<kBytes, kConvert, kFilterSub>,
      &unfilterTruecolour<kBytes, kConvert, kFilterUp>,
      &unfilterTruecolour<kBytes, kConvert, kFilterAverage>,
      &unfilterTruecolour<kBytes, kConvert, kFilterPaeth>,
  };
  if (filterType < std::size(kByFilter) && kByFilter[filterType] != nullptr) {
    kByFilter[filterType](x, prior, dst, count);
  }
}

// Two Paeth scanlines of 3 or 4 bytes per pixel side by side, x and the one under it, below,
// each reconstructed in place and written to its picture row as blue, green, red(, alpha):
// what unfilterTruecolourRow does to x and then to below. False, with nothing done, when the
// vector form is not to be used.
template <std::size_t kBytes>
bool unfilterPaethPair(std::uint8_t* x, const std::uint8_t* prior, std::uint8_t* below,
                       std::uint8_t* dst, std::uint8_t* dstBelow, std::size_t count) noexcept {
#if POW2BMP_X86_SIMD
  if (codePath() == CodePath::kPortable || !useSse41()) return false;
  unfilterPaethPairSse41<kBytes>(x, prior, below, count);
  reorderPixels<kBytes>(x, dst, count);
  reorderPixels<kBytes>(below, dstBelow, count);
  return true;
#else
  static_cast<void>(x);
  static_cast<void>(prior);
  static_cast<void>(below);
  static_cast<void>(dst);
  static_cast<void>(dstBelow);
  static_cast<void>(count);
  return false;
#endif
}

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

// A 16-bit big-endian sample as the nearest 8-bit value: v / 257 rounded, ties never occur.
inline std::uint8_t narrowSample(const std::uint8_t* p) noexcept {
  const std::uint32_t value = (std::uint32_t{p[0]} << 8) | p[1];
  return static_cast<std::uint8_t>((value * 255 + 32767) / 65535);
}

// Expands count 8-bit grey, grey-alpha, RGB or RGBA pixels to B,G,R(,A) pixels at dst, one
// every dstStep bytes; grey is repeated in all three colours.
template <unsigned kChannels>
void expandSamples(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                   std::size_t dstStep) noexcept {
  for (std::size_t k = 0; k < count; ++k, src += kChannels, dst += dstStep) {
    if constexpr (kChannels <= 2) {
      dst[0] = src[0];
      dst[1] = src[0];
      dst[2] = src[0];
      if constexpr (kChannels == 2) dst[3] = src[1];
    } else {
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = src[0];
      if constexpr (kChannels == 4) dst[3] = src[3];
    }
  }
}

// expandSamples with the vector forms where the pixels of dst are side by side.
template <unsigned kChannels>
void expandBytes(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                 std::size_t dstStep) noexcept {
  constexpr std::size_t kOutBytes = kChannels == 1 ? 3 : kChannels == 2 ? 4 : kChannels;
  std::size_t done = 0;
#if POW2BMP_X86_SIMD
  if (dstStep == kOutBytes) {
    if constexpr (kChannels >= 3) {
      if (codePath() != CodePath::kPortable) {
        reorderPixels<kChannels>(src, dst, count);
        return;
      }
    } else {
      if (useSsse3()) done = expandGreySsse3<kChannels>(src, dst, count);
    }
  }
#endif
  expandSamples<kChannels>(src + done * kChannels, dst + done * dstStep, count - done, dstStep);
}

// Count samples of 16 bits (big-endian) at src to their nearest 8-bit values at dst.
void narrowSamples(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) noexcept {
  std::size_t done = 0;
#if POW2BMP_X86_SIMD
  if (codePath() != CodePath::kPortable) done = narrowSamplesSse2(src, dst, n);
#endif
  for (std::size_t i = done; i < n; ++i) dst[i] = narrowSample(src + 2 * i);
}

// Expands count grey, grey-alpha, RGB or RGBA pixels of 16-bit samples as expandSamples does:
// the samples narrowed to 8 bits a slice at a time into a buffer that stays in the first-level
// cache, then expanded as 8-bit ones.
template <unsigned kChannels>
void expandWideSamples(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                       std::size_t dstStep) noexcept {
  constexpr std::size_t kSlice = 512;  // pixels
  std::uint8_t narrowed[kSlice * kChannels];
  for (std::size_t done = 0; done < count; done += kSlice) {
    const std::size_t pixels = count - done < kSlice ? count - done : kSlice;
    narrowSamples(src + done * 2 * kChannels, narrowed, pixels * kChannels);
    expandBytes<kChannels>(narrowed, dst + done * dstStep, pixels, dstStep);
  }
}

// Expands count grey samples of 1, 2 or 4 bits, most significant first, to 8-bit grey pixels of
// three bytes at dst, one every dstStep bytes, each value scaled to 0..255.
template <unsigned kBits>
void expandPackedGrey(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                      std::size_t dstStep) noexcept {
  constexpr unsigned kPerByte = 8 / kBits;
  constexpr unsigned kMask = (1u << kBits) - 1;
  constexpr unsigned kScale = 255 / kMask;
  for (std::size_t k = 0; k < count; ++k, dst += dstStep) {
    const unsigned shift = 8 - kBits * (static_cast<unsigned>(k % kPerByte) + 1);
    const unsigned packed = src[k / kPerByte];
    const auto grey = static_cast<std::uint8_t>(((packed >> shift) & kMask) * kScale);
    dst[0] = grey;
    dst[1] = grey;
    dst[2] = grey;
  }
}

// Looks count palette indices of kBits bits (most significant first within a byte) up in
// palette (256 entries of B,G,R,A) and writes kOutBytes of each entry to dst, one pixel every
// dstStep bytes.
template <unsigned kBits, std::size_t kOutBytes>
void expandPaletteIndices(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                          std::size_t dstStep, const std::uint8_t* palette) noexcept {
  for (std::size_t k = 0; k < count; ++k, dst += dstStep) {
    unsigned index = 0;
    if constexpr (kBits == 8) {
      index = src[k];
    } else {
      constexpr unsigned kPerByte = 8 / kBits;
      constexpr unsigned kMask = (1u << kBits) - 1;
      const unsigned shift = 8 - kBits * (static_cast<unsigned>(k % kPerByte) + 1);
      const unsigned packed = src[k / kPerByte];
      index = (packed >> shift) & kMask;
    }
    std::memcpy(dst, palette + 4 * std::size_t{index}, kOutBytes);
  }
}

template <unsigned kBits>
void expandPalette(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                   std::size_t dstStep) noexcept {
  const std::uint8_t* palette = pngState.palette.get();
  if (pngState.expandedBytes == 4) {
    expandPaletteIndices<kBits, 4>(src, dst, count, dstStep, palette);
  } else {
    expandPaletteIndices<kBits, 3>(src, dst, count, dstStep, palette);
  }
}

// Writes count pixels of the reconstructed scanline src to dst, one every dstStep bytes, as the
// 8-bit B,G,R(,A) pixels of an expanded picture.
void spreadExpanded(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                    std::size_t dstStep) noexcept {
  const bool wide = pngState.bitDepth == 16;
  switch (pngState.colourType) {
    case kColourGrey:
      switch (pngState.bitDepth) {
        case 1:
          expandPackedGrey<1>(src, dst, count, dstStep);
          return;
        case 2:
          expandPackedGrey<2>(src, dst, count, dstStep);
          return;
        case 4:
          expandPackedGrey<4>(src, dst, count, dstStep);
          return;
        default:
          break;
      }
      if (wide) {
        expandWideSamples<1>(src, dst, count, dstStep);
      } else {
        expandBytes<1>(src, dst, count, dstStep);
      }
      return;
    case kColourPalette:
      switch (pngState.bitDepth) {
        case 1:
          expandPalette<1>(src, dst, count, dstStep);
          return;
        case 2:
          expandPalette<2>(src, dst, count, dstStep);
          return;
        case 4:
          expandPalette<4>(src, dst, count, dstStep);
          return;
        default:
          expandPalette<8>(src, dst, count, dstStep);
          return;
      }
    case kColourGreyAlpha:
      if (wide) {
        expandWideSamples<2>(src, dst, count, dstStep);
      } else {
        expandBytes<2>(src, dst, count, dstStep);
      }
      return;
    case kColourTruecolour:
      if (wide) {
        expandWideSamples<3>(src, dst, count, dstStep);
      } else {
        expandBytes<3>(src, dst, count, dstStep);
      }
      return;
    case kColourTruecolourAlpha:
      if (wide) {
        expandWideSamples<4>(src, dst, count, dstStep);
      } else {
        expandBytes<4>(src, dst, count, dstStep);
      }
      return;
    default:
      return;
  }
}

// Bytes of one pixel in the target rows: the expanded pixel, or the pixel as stored in pixels.
std::size_t targetPixelBytes() noexcept {
  return static_cast<std::size_t>(pngState.expandedBytes != 0 ? pngState.expandedBytes
                                                              : pngState.bytesPerPixel);
}

// Writes count pixels of the reconstructed scanline src to dst, one every dstStep bytes, in the
// pixel layout of the target.
void spreadPixels(const std::uint8_t* src, std::uint8_t* dst, std::size_t count,
                  std::size_t dstStep) noexcept {
  if (pngState.expandedBytes != 0) {
    spreadExpanded(src, dst, count, dstStep);
    return;
  }
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

// Reverses filter type `type` (1..4) on a scanline of one byte per pixel (8-bit grey or palette
// indices): every byte depends on the one before it, so the reconstructed left byte stays in a
// register instead of going through memory, and only the work that depends on it is on the
// chain from byte to byte.
void unfilterBytes(std::uint8_t type, std::uint8_t* x, const std::uint8_t* prior,
                   std::size_t n) noexcept {
  unsigned left = 0;
  switch (type) {
    case kFilterSub:
      for (std::size_t i = 0; i < n; ++i) {
        left = (x[i] + left) & 0xFFu;
        x[i] = static_cast<std::uint8_t>(left);
      }
      return;
    case kFilterUp:
      for (std::size_t i = 0; i < n; ++i) x[i] = wrapAdd(x[i], prior[i]);
      return;
    case kFilterAverage:
      for (std::size_t i = 0; i < n; ++i) {
        left = (x[i] + ((left + prior[i]) >> 1)) & 0xFFu;
        x[i] = static_cast<std::uint8_t>(left);
      }
      return;
    case kFilterPaeth: {
      int upperLeft = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const int above = prior[i];
        left =
            (x[i] + static_cast<unsigned>(paeth(static_cast<int>(left), above, upperLeft))) & 0xFFu;
        upperLeft = above;
        x[i] = static_cast<std::uint8_t>(left);
      }
      return;
    }
    default:
      return;
  }
}

// Reverses Paeth on two scanlines of n bytes of one byte per pixel, x and the one under it,
// below. Each byte hangs on the one to its left, a chain through the scanline; byte i of below
// needs bytes i - 1 and i of x, so below runs one byte behind x in the same loop and the two
// chains overlap.
void unfilterPaethBytePair(std::uint8_t* x, const std::uint8_t* prior, std::uint8_t* below,
                           std::size_t n) noexcept {
  if (n == 0) return;
  // The first byte of x has zeros to its left: the predictor is the byte above.
  int left = (x[0] + prior[0]) & 0xFF;  // x[i - 1], reconstructed
  int upperLeft = prior[0];             // prior[i - 1]
  x[0] = static_cast<std::uint8_t>(left);
  int leftBelow = 0;       // below[i - 2]
  int upperLeftBelow = 0;  // x[i - 2]
  for (std::size_t i = 1; i < n; ++i) {
    const int above = prior[i];
    const int value = (x[i] + paeth(left, above, upperLeft)) & 0xFF;
    upperLeft = above;
    // below[i - 1]: above it x[i - 1], upper-left x[i - 2].
    leftBelow = (below[i - 1] + paeth(leftBelow, left, upperLeftBelow)) & 0xFF;
    below[i - 1] = static_cast<std::uint8_t>(leftBelow);
    upperLeftBelow = left;
    left = value;
    x[i] = static_cast<std::uint8_t>(value);
  }
  below[n - 1] = static_cast<std::uint8_t>(below[n - 1] + paeth(leftBelow, left, upperLeftBelow));
}

// Reverses filter type `type` (0..4) in place on the n bytes at x, against prior as the previous
// scanline and `distance` bytes per pixel.
void unfilterScanline(std::uint8_t type, std::uint8_t* x, const std::uint8_t* prior, std::size_t n,
                      std::size_t distance) noexcept {
  const std::size_t head = distance < n ? distance : n;  // bytes with no left neighbour
  if ((distance == 3 || distance == 4) && n % distance == 0) {
    // 3 and 4 bytes per pixel occur only at depth 8, where every scanline the decode loops
    // pass is whole pixels: a pixel at a time. Any other length goes byte by byte below.
    if (distance == 3) {
      unfilterTruecolourRow<3, false>(type, x, prior, nullptr, n / 3);
    } else {
      unfilterTruecolourRow<4, false>(type, x, prior, nullptr, n / 4);
    }
    return;
  }
  if (distance == 1) {
    unfilterBytes(type, x, prior, n);
    return;
  }
  if ((distance == 2 || distance == 6 || distance == 8) && n % distance == 0) {
    // 8-bit grey with alpha, 16-bit grey, 16-bit RGB and RGBA: whole pixels as above.
    if (distance == 2) {
      unfilterTruecolourRow<2, false>(type, x, prior, nullptr, n / 2);
    } else if (distance == 6) {
      unfilterTruecolourRow<6, false>(type, x, prior, nullptr, n / 6);
    } else {
      unfilterTruecolourRow<8, false>(type, x, prior, nullptr, n / 8);
    }
    return;
  }

  switch (type) {
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

// Zeroes both scanline buffers over rowBytes and makes rows[0] the current one.
void clearRows() noexcept {
  const auto length = static_cast<std::size_t>(pngState.rowBytes);
  std::memset(pngState.rows[0].get(), 0, length);
  std::memset(pngState.rows[1].get(), 0, length);
  pngState.currentRow = 0;
}

// Largest pull of filtered scanlines, in whole scanlines (at least one): the buffer they are
// inflated into sits beside the picture, so it stays a small slice of it. Slices of a few MiB
// cost nothing measurable against one pull of the whole picture.
constexpr std::uint64_t kMaxPullBytes = std::uint64_t{4} << 20;

// Scanlines of `stride` bytes per pull for a picture of `height` of them: all, or as many as
// kMaxPullBytes holds, at least one.
std::size_t rowsPerPull(std::size_t stride, std::size_t height) noexcept {
  const auto fit = static_cast<std::size_t>(kMaxPullBytes / stride);
  if (fit == 0) return 1;
  return height < fit ? height : fit;
}

// unfilterPaethPair for 8-bit truecolour of `distance` (3 or 4) bytes per pixel, with x's
// scanline followed by the one it reconstructs below at x + rowBytes + 1.
bool unfilterTruecolourPaethPair(std::size_t distance, std::uint8_t* x, const std::uint8_t* prior,
                                 std::uint8_t* dst, std::uint8_t* dstBelow,
                                 std::size_t width) noexcept {
  std::uint8_t* const below = x + distance * width + 1;
  if (distance == 3) return unfilterPaethPair<3>(x, prior, below, dst, dstBelow, width);
  return unfilterPaethPair<4>(x, prior, below, dst, dstBelow, width);
}

std::uint8_t* targetRow(const RowTarget& target, std::int32_t row) noexcept {
  return target.topRow + static_cast<std::ptrdiff_t>(row) * target.rowStride;
}

// Plain 8-bit truecolour pictures with at least this many bytes of scanlines are reconstructed
// on a borrowed core, when one is lent, while this thread inflates the scanlines after them.
constexpr std::size_t kMinPipelinedBytes = std::size_t{1} << 20;

// The pull buffer of a pipelined picture is cut into this many parts, used in turn: this thread
// inflates into one while the helper reconstructs the others. Each part has kWindowSize bytes of
// room in front of it, where the stream's history is copied, so its scanlines are inflated
// straight into it (the part before may be reconstructed in place meanwhile).
constexpr std::size_t kPipelineParts = 4;

// The bytes of a part's slot: its room for history, then partRows scanlines.
std::size_t pipelineSlotBytes(std::size_t partRows, std::size_t stride) noexcept {
  return kWindowSize + partRows * stride;
}

// A helper thread that reconstructs the scanlines of a plain 8-bit truecolour picture once this
// thread has inflated them. The parts of the pull buffer go round: this thread takes a free part
// (freePart), inflates into it and hands it over (handOver); the helper undoes the filters of its
// rows into the target, keeps its last row as the prior of the next part and frees it. A row with
// a filter type above 4 is left as it is: the picture is refused anyway, by this thread, at the
// same place as without the helper. With a row sink, the helper sends it each part's rows once
// they are reconstructed. The destructor stops the helper and waits for it, so the buffer and the
// target outlive every use.
class RowReconstructor {
 public:
  RowReconstructor(const RowTarget& target, std::uint8_t* buffer, std::size_t partRows,
                   std::uint8_t* carry, const std::uint8_t* zeros) noexcept
      : target_(target),
        buffer_(buffer),
        partRows_(partRows),
        stride_(static_cast<std::size_t>(pngState.rowBytes) + 1),
        slotBytes_(pipelineSlotBytes(partRows, stride_)),
        width_(static_cast<std::size_t>(pngState.width)),
        height_(static_cast<std::size_t>(pngState.height)),
        distance_(static_cast<std::size_t>(pngState.bytesPerPixel)),
        carry_(carry),
        zeros_(zeros) {}
  ~RowReconstructor() { stop(); }
  RowReconstructor(const RowReconstructor&) = delete;
  RowReconstructor& operator=(const RowReconstructor&) = delete;

  // Starts the helper thread; false when the system gives none. The parts after the first are
  // fresh memory, which the helper makes resident before it waits for the first part, while this
  // thread inflates into that one.
  [[nodiscard]] bool start() noexcept {
    try {
      thread_ = std::thread([this] { reconstruct(); });
    } catch (...) {
      return false;
    }
    return true;
  }

  // Makes the target's rows firstRow..firstRow + count - 1 resident before they are handed over,
  // unless they already are or are being made so, so the helper writes them without page faults:
  // faulting in a fresh picture's pages one by one took the helper about as long as
  // reconstructing them. The rows after them are made resident, a part's worth at a time, by
  // whichever thread has time to spare: this one while it waits for a free part (freePart), the
  // sender while no row is to be sent. Rows are claimed under the mutex, so none is made
  // resident twice; making a page resident changes none of its bytes, so it may overlap the
  // helper's writes.
  void populateTarget(std::size_t firstRow, std::size_t count) noexcept {
    std::size_t first = 0;
    std::size_t claimed = 0;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!claimRowsToPopulate(firstRow + count, first, claimed)) return;
    }
    populateRows(first, claimed);
  }

  // Claims the rows not yet claimed before row `end` (at most the height) to make resident
  // (under mutex_); false when none is left.
  bool claimRowsToPopulate(std::size_t end, std::size_t& first, std::size_t& count) noexcept {
    if (end > height_) end = height_;
    if (populatedRows_ >= end) return false;
    first = populatedRows_;
    count = end - first;
    populatedRows_ = end;
    return true;
  }

  // claimRowsToPopulate for the next part's worth of rows.
  bool claimNextRowsToPopulate(std::size_t& first, std::size_t& count) noexcept {
    return claimRowsToPopulate(populatedRows_ + partRows_, first, count);
  }

  // The sink the rows go to once reconstructed; set before the first handOver.
  // The rows go out on a thread of their own, the sender, which calls the sink as the helper
  // places them: the writes then take the time the decoding thread leaves idle instead of the
  // helper's. Without a sender (the system gives no thread), the helper sends them itself.
  void sendTo(RowSink* sink) noexcept {
    sink_ = sink;
    try {
      sender_ = std::thread([this] { send(); });
    } catch (...) {
      return;
    }
  }

  // The part the next scanlines go into, once the helper is done with it. Until then, the rows
  // after those made resident so far are made so, a part's worth at a time.
  [[nodiscard]] std::uint8_t* freePart() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto free = [this] { return handedOver_ - reconstructed_ < kPipelineParts; };
    std::size_t first = 0;
    std::size_t count = 0;
    while (!free() && claimNextRowsToPopulate(first, count)) {
      lock.unlock();
      populateRows(first, count);
      lock.lock();
    }
    changed_.wait(lock, free);
    return partAt(handedOver_);
  }

  // Hands the part freePart gave over: count scanlines for picture rows firstRow on.
  void handOver(std::size_t firstRow, std::size_t count) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    parts_[handedOver_ % kPipelineParts] = Part{firstRow, count};
    ++handedOver_;
    changed_.notify_all();
  }

  // Waits until every part handed over is reconstructed (finish) or for the part in hand only
  // (abandon), and ends the helper.
  void finish() noexcept { stopAfter(false); }
  void abandon() noexcept { stopAfter(true); }

 private:
  struct Part {
    std::size_t firstRow = 0;
    std::size_t count = 0;
  };

  [[nodiscard]] std::uint8_t* partAt(std::size_t index) const noexcept {
    return buffer_ + index % kPipelineParts * slotBytes_ + kWindowSize;
  }

  void stop() noexcept { stopAfter(true); }

  void populateRows(std::size_t firstRow, std::size_t count) const noexcept {
    const std::ptrdiff_t step = target_.rowStride < 0 ? -target_.rowStride : target_.rowStride;
    std::uint8_t* const a = targetRow(target_, static_cast<std::int32_t>(firstRow));
    std::uint8_t* const b = targetRow(target_, static_cast<std::int32_t>(firstRow + count - 1));
    populateBlock(a < b ? a : b, count * static_cast<std::size_t>(step));
  }

  void stopAfter(bool abandon) noexcept {
    if (!thread_.joinable()) return;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
      abandoned_ = abandon;
      changed_.notify_all();
    }
    thread_.join();
    if (!sender_.joinable()) return;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      placed_ = true;
      placedChanged_.notify_all();
    }
    sender_.join();
  }

  // The sender: sends the rows placed so far, in order, until the helper is done and every row
  // placed is sent, or until the picture is abandoned.
  void send() noexcept {
    blockInterruptSignalsInThisThread();
    for (std::size_t sent = 0;;) {
      std::size_t upTo = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        // While no row is to be sent, the rows the helper has not reached are made resident.
        std::size_t first = 0;
        std::size_t count = 0;
        while (!(placedRows_ > sent || placed_) && !abandoned_ &&
               claimNextRowsToPopulate(first, count)) {
          lock.unlock();
          populateRows(first, count);
          lock.lock();
        }
        placedChanged_.wait(lock, [&] { return placedRows_ > sent || placed_; });
        if (abandoned_ || placedRows_ <= sent) return;
        upTo = placedRows_;
      }
      sink_->rowsReady(target_.topRow, target_.rowStride, sent, upTo - sent);
      sent = upTo;
    }
  }

  void reconstruct() noexcept {
    blockInterruptSignalsInThisThread();
    populateBlock(buffer_ + slotBytes_, (kPipelineParts - 1) * slotBytes_);
    const std::uint8_t* prior = zeros_;  // above the first row
    bool intact = true;                  // no filter type above 4 so far
    for (std::size_t index = 0;; ++index) {
      Part part;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return handedOver_ > index || ending_; });
        if (abandoned_ || handedOver_ <= index) return;
        part = parts_[index % kPipelineParts];
      }
      std::uint8_t* const scanlines = partAt(index);
      for (std::size_t k = 0; k < part.count; ++k) {
        std::uint8_t* const scanline = scanlines + k * stride_;
        const std::uint8_t type = scanline[0];
        std::uint8_t* const x = scanline + 1;
        std::uint8_t* const dst = targetRow(target_, static_cast<std::int32_t>(part.firstRow + k));
        if (type == kFilterPaeth && k + 1 < part.count && scanline[stride_] == kFilterPaeth &&
            unfilterTruecolourPaethPair(
                distance_, x, prior, dst,
                targetRow(target_, static_cast<std::int32_t>(part.firstRow + k + 1)), width_)) {
          ++k;
          prior = x + stride_;
          continue;
        }
        if (type <= kFilterPaeth) {
          if (distance_ == 3) {
            unfilterTruecolourRow<3, true>(type, x, prior, dst, width_);
          } else {
            unfilterTruecolourRow<4, true>(type, x, prior, dst, width_);
          }
        } else {
          intact = false;
        }
        prior = x;
      }
      // The part is about to be refilled: its last row stays, as the prior of the next part.
      std::memcpy(carry_, prior, stride_ - 1);
      prior = carry_;
      // The rows stay in the target: the sink takes them while this thread's part is refilled.
      // Rows from a damaged one on are not sent (the picture is refused).
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++reconstructed_;
        if (intact) placedRows_ = part.firstRow + part.count;
        changed_.notify_all();
        placedChanged_.notify_all();
      }
      if (sink_ != nullptr && intact && !sender_.joinable()) {
        sink_->rowsReady(target_.topRow, target_.rowStride, part.firstRow, part.count);
      }
    }
  }

  const RowTarget target_;
  std::uint8_t* const buffer_;
  const std::size_t partRows_;
  const std::size_t stride_;
  const std::size_t slotBytes_;
  const std::size_t width_;
  const std::size_t height_;
  const std::size_t distance_;
  std::uint8_t* const carry_;        // the prior row carried from one part to the next
  const std::uint8_t* const zeros_;  // a row of zeros
  RowSink* sink_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;
  Part parts_[kPipelineParts];
  std::size_t handedOver_ = 0;     // parts handed over so far
  std::size_t reconstructed_ = 0;  // parts reconstructed and free again
  bool ending_ = false;            // no part follows those handed over
  bool abandoned_ = false;         // the parts not yet started are not wanted
  std::size_t populatedRows_ = 0;  // rows made resident (or claimed to be) from the top
  std::condition_variable placedChanged_;
  std::size_t placedRows_ = 0;  // rows 0..placedRows_ - 1 are final in the target, to be sent
  bool placed_ = false;         // the helper has ended: no row follows those placed
  std::thread thread_;
  std::thread sender_;  // runs send() when there is a sink
};

// readPlainRows with the reconstruction on the helper: the same pulls, each inflated in parts of
// at most partRows scanlines, and the filter types of a pull checked once all of it is
// inflated, so a damaged picture stops with the stream where the plain loop stops it.
bool readPipelinedRows(RowReconstructor& helper, std::size_t perPull,
                       std::size_t partRows) noexcept {
  const auto height = static_cast<std::size_t>(pngState.height);
  const std::size_t stride = static_cast<std::size_t>(pngState.rowBytes) + 1;
  for (std::size_t first = 0; first < height; first += perPull) {
    const std::size_t count = height - first < perPull ? height - first : perPull;
    bool badFilter = false;
    for (std::size_t done = 0; done < count; done += partRows) {
      const std::size_t rows = count - done < partRows ? count - done : partRows;
      std::uint8_t* const scanlines = helper.freePart();
      helper.populateTarget(first + done, rows);
      const auto bytes = static_cast<std::uint32_t>(rows * stride);
      if (inflateReadDirect(scanlines, bytes) != bytes) {
        helper.abandon();
        return false;
      }
      for (std::size_t k = 0; k < rows; ++k)
        badFilter = badFilter || scanlines[k * stride] > kFilterPaeth;
      helper.handOver(first + done, rows);
    }
    if (badFilter) {
      helper.abandon();
      return false;
    }
  }
  helper.finish();
  return true;
}

}  // namespace

bool readPlainRows(const RowTarget& target) noexcept {
  clearRows();
  const auto rowBytes = static_cast<std::size_t>(pngState.rowBytes);
  const auto height = static_cast<std::size_t>(pngState.height);
  const std::size_t stride = rowBytes + 1;  // filter byte and scanline
  const std::size_t perPull = rowsPerPull(stride, height);
  // 8-bit truecolour: reconstruction and reordering in one pass over each scanline.
  const bool truecolour =
      pngState.bitDepth == 8 && (pngState.bytesPerPixel == 3 || pngState.bytesPerPixel == 4);
  const auto width = static_cast<std::size_t>(pngState.width);
  const auto distance = static_cast<std::size_t>(pngState.bytesPerPixel);
  const std::size_t partRows = perPull / kPipelineParts;
  const bool pipelinable =
      truecolour && !pngState.interlaced && partRows != 0 && height * stride >= kMinPipelinedBytes;
  // Without a helper, a pipelinable picture is read by the plain loop below, in the same buffer.
  const std::size_t bufferBytes =
      pipelinable ? std::max(kPipelineParts * pipelineSlotBytes(partRows, stride), perPull * stride)
                  : perPull * stride;
  const HeapPtr<std::uint8_t[]> buffer = allocateArray<std::uint8_t>(bufferBytes);
  if (!buffer) return false;
  if (pipelinable) {
    const BorrowedCore core;
    if (core.held()) {
      // The first part is made resident here, the others by the helper as it starts.
      adviseLargeBlock(buffer.get(), bufferBytes);
      populateBlock(buffer.get(), pipelineSlotBytes(partRows, stride));
      RowReconstructor helper(target, buffer.get(), partRows, pngState.rows[0].get(),
                              pngState.rows[1].get());
      if (helper.start()) {
        RowSink* const sink = currentRowSink();
        if (sink != nullptr &&
            sink->begin(static_cast<unsigned>(width), static_cast<unsigned>(height),
                        static_cast<unsigned>(distance))) {
          helper.sendTo(sink);
        }
        return readPipelinedRows(helper, perPull, partRows);
      }
    }
  }
  // Every byte of the buffer is written by the first pull.
  prepareFreshBlock(buffer.get(), perPull * stride);
  const std::size_t pixelBytes = targetPixelBytes();
  const std::uint8_t* prior = pngState.rows[1].get();  // zeros above the first row
  for (std::size_t first = 0; first < height; first += perPull) {
    const std::size_t count = height - first < perPull ? height - first : perPull;
    const auto bytes = static_cast<std::uint32_t>(count * stride);
    if (inflateRead(buffer.get(), bytes) != bytes) return false;
    for (std::size_t k = 0; k < count; ++k) {
      std::uint8_t* const scanline = buffer.get() + k * stride;
      const std::uint8_t type = scanline[0];
      if (type > kFilterPaeth) return false;
      std::uint8_t* const x = scanline + 1;
      std::uint8_t* const dst = targetRow(target, static_cast<std::int32_t>(first + k));
      if (truecolour && type == kFilterPaeth && k + 1 < count && scanline[stride] == kFilterPaeth &&
          unfilterTruecolourPaethPair(distance, x, prior, dst,
                                      targetRow(target, static_cast<std::int32_t>(first + k + 1)),
                                      width)) {
        // Two Paeth scanlines side by side.
        ++k;
        prior = x + stride;
        continue;
      }
      if (truecolour) {
        if (distance == 3) {
          unfilterTruecolourRow<3, true>(type, x, prior, dst, width);
        } else {
          unfilterTruecolourRow<4, true>(type, x, prior, dst, width);
        }
      } else if (distance == 1 && type == kFilterPaeth && k + 1 < count &&
                 scanline[stride] == kFilterPaeth) {
        // Two Paeth scanlines of one byte per pixel, side by side.
        std::uint8_t* const below = x + stride;
        unfilterPaethBytePair(x, prior, below, rowBytes);
        spreadPixels(x, dst, width, pixelBytes);
        ++k;
        spreadPixels(below, targetRow(target, static_cast<std::int32_t>(first + k)), width,
                     pixelBytes);
        prior = below;
        continue;
      } else {
        unfilterScanline(type, x, prior, rowBytes, distance);
        spreadPixels(x, dst, width, pixelBytes);
      }
      prior = x;
    }
    if (first + count < height) {  // the next pull overwrites the buffer
      std::memcpy(pngState.rows[0].get(), prior, rowBytes);
      prior = pngState.rows[0].get();
    }
  }
  return true;
}

bool readInterlacedRows(const RowTarget& target) noexcept {
  // Each pass's scanlines, filter bytes included, pulled in slices of whole scanlines into one
  // buffer sized for the largest slice of any pass.
  std::size_t passStride[7] = {};
  std::size_t passRows[7] = {};
  std::size_t passWidth[7] = {};
  std::size_t passPull[7] = {};
  std::size_t bufferBytes = 0;
  for (std::int32_t p = 0; p < 7; ++p) {
    const Adam7Pass& pass = adam7Passes[p];
    if (pass.firstRow >= pngState.height || pass.firstColumn >= pngState.width) continue;
    passWidth[p] = static_cast<std::size_t>(
        (pngState.width - pass.firstColumn + pass.columnStep - 1) / pass.columnStep);
    passRows[p] = static_cast<std::size_t>((pngState.height - pass.firstRow + pass.rowStep - 1) /
                                           pass.rowStep);
    // Bits of one pixel: the depth at 1, 2 and 4 bits (one sample), else whole bytes.
    const std::uint64_t pixelBits =
        pngState.bitDepth >= 8
            ? std::uint64_t{8} * static_cast<std::uint32_t>(pngState.bytesPerPixel)
            : static_cast<std::uint32_t>(pngState.bitDepth);
    passStride[p] = static_cast<std::size_t>((pixelBits * passWidth[p] + 7) / 8 + 1);
    passPull[p] = rowsPerPull(passStride[p], passRows[p]);
    if (passPull[p] * passStride[p] > bufferBytes) bufferBytes = passPull[p] * passStride[p];
  }
  const HeapPtr<std::uint8_t[]> buffer = allocateArray<std::uint8_t>(bufferBytes);
  if (!buffer) return false;
  const auto distance = static_cast<std::size_t>(pngState.bytesPerPixel);
  const std::size_t pixelBytes = targetPixelBytes();
  for (std::int32_t p = 0; p < 7; ++p) {
    pngState.passIndex = p;
    const Adam7Pass& pass = adam7Passes[p];
    if (passRows[p] == 0) continue;
    clearRows();
    const std::size_t stride = passStride[p];
    const std::size_t length = stride - 1;
    const std::uint8_t* prior = pngState.rows[1].get();  // zeros above the first row
    std::int32_t row = pass.firstRow;
    for (std::size_t first = 0; first < passRows[p]; first += passPull[p]) {
      const std::size_t count =
          passRows[p] - first < passPull[p] ? passRows[p] - first : passPull[p];
      const auto bytes = static_cast<std::uint32_t>(count * stride);
      if (inflateRead(buffer.get(), bytes) != bytes) return false;
      for (std::size_t k = 0; k < count; ++k, row += pass.rowStep) {
        std::uint8_t* const scanline = buffer.get() + k * stride;
        const std::uint8_t type = scanline[0];
        if (type > kFilterPaeth) return false;
        std::uint8_t* const x = scanline + 1;
        unfilterScanline(type, x, prior, length, distance);
        spreadPixels(
            x, targetRow(target, row) + static_cast<std::size_t>(pass.firstColumn) * pixelBytes,
            passWidth[p], static_cast<std::size_t>(pass.columnStep) * pixelBytes);
        prior = x;
      }
      if (first + count < passRows[p]) {  // the next pull overwrites the buffer
        std::memcpy(pngState.rows[0].get(), prior, length);
        prior = pngState.rows[0].get();
      }
    }
  }
  return true;
}
