#pragma once
// Checks shared by the fuzz targets. A failed check prints what broke and aborts, which both
// libFuzzer and the replay program report as a finding.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "base/byte_io.h"
#include "base/image.h"

// Stops the process with a message when condition is false.
inline void fuzzCheck(bool condition, const char* what) noexcept {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// The shape every reader promises for a picture it returns.
inline void checkPictureShape(const Image& image) noexcept {
  fuzzCheck(image.channels == 3 || image.channels == 4, "picture has 3 or 4 channels");
  fuzzCheck(image.width >= 1 && image.width <= kMaxImageSide, "picture width in 1..16384");
  fuzzCheck(image.height >= 1 && image.height <= kMaxImageSide, "picture height in 1..16384");
  fuzzCheck(image.reserved == 1, "picture reserved field is 1");
}

// Pictures above this many pixels are skipped by the targets: a few header bytes can announce
// a gigabyte picture, and allocating and poisoning that under ASan costs seconds per input
// without reaching new code. Sides up to 16384 stay reachable as long as the other side is
// small.
inline constexpr std::uint64_t kMaxFuzzPixels = std::uint64_t{4} << 20;

// True when a PNG file has an IHDR chunk announcing more than kMaxFuzzPixels pixels (any IHDR:
// the reader takes the last one).
inline bool pngAnnouncesHugePicture(ByteSpan bytes) noexcept {
  for (std::size_t i = 0; i + 12 <= bytes.size(); ++i) {
    if (bytes[i] != 'I' || bytes[i + 1] != 'H' || bytes[i + 2] != 'D' || bytes[i + 3] != 'R') {
      continue;
    }
    if (std::uint64_t{readBe32(bytes, i + 4)} * readBe32(bytes, i + 8) > kMaxFuzzPixels) {
      return true;
    }
  }
  return false;
}

// True when a run-length TGA header (image type 9, 10 or 11 at byte 2, width at byte 12, height
// at byte 14) announces too many pixels; run-length data may leave the picture mostly unfilled,
// so the file size does not bound it. Uncompressed BMP and TGA pictures must lie in the file.
inline bool tgaAnnouncesHugePicture(ByteSpan bytes) noexcept {
  const std::uint8_t imageType = readU8(bytes, 2);
  return imageType >= 9 && imageType <= 11 &&
         std::uint64_t{readLe16(bytes, 12)} * readLe16(bytes, 14) > kMaxFuzzPixels;
}

// The same for a run-length BMP header (compression 1 or 2 at byte 30, width and height at bytes
// 18 and 22), which only an expanding decode reads.
inline bool bmpAnnouncesHugePicture(ByteSpan bytes) noexcept {
  const std::uint32_t compression = readLe32(bytes, 30);
  const auto width = static_cast<std::int32_t>(readLe32(bytes, 18));
  const auto height = static_cast<std::int32_t>(readLe32(bytes, 22));
  const auto side = [](std::int32_t value) {
    return value < 0 ? -std::int64_t{value} : std::int64_t{value};
  };
  return (compression == 1 || compression == 2) &&
         static_cast<std::uint64_t>(side(width) * side(height)) > kMaxFuzzPixels;
}

// True when a start-of-frame marker announces too many pixels, or the bytes hold more than 64
// start-of-scan markers (FF DA cannot occur inside entropy-coded data).
inline bool jpegTooCostly(ByteSpan bytes) noexcept {
  constexpr std::size_t kMaxScans = 64;
  std::size_t scans = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
    if (bytes[i] != 0xFF) continue;
    const std::uint8_t marker = bytes[i + 1];
    if (marker == 0xDA && ++scans > kMaxScans) return true;
    const bool startOfFrame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (startOfFrame && holds(bytes, i + 2, 7)) {
      const std::uint64_t height = std::uint64_t{bytes[i + 5]} << 8 | bytes[i + 6];  // Y
      const std::uint64_t width = std::uint64_t{bytes[i + 7]} << 8 | bytes[i + 8];   // X
      if (width * height > kMaxFuzzPixels) return true;
    }
  }
  return false;
}

// The check of the format the reader chain will pick: the first bytes decide it, since TGA
// refuses a non-zero second byte and the other formats all have one.
inline bool announcesHugePicture(ByteSpan bytes) noexcept {
  if (bytes.size() >= 2 && bytes[0] == 0x89 && bytes[1] == 'P')
    return pngAnnouncesHugePicture(bytes);
  if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M')
    return bmpAnnouncesHugePicture(bytes);
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8) return jpegTooCostly(bytes);
  return tgaAnnouncesHugePicture(bytes);
}
