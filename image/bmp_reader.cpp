// BMP reader: uncompressed 24- and 32-bit pictures, bottom-up (positive height) or top-down
// (negative height). Pixel bytes are already B,G,R(,A), so rows are copied as they stand, their
// alignment bytes dropped.
//
// The fields after the file header are read at the offsets of a 40-byte info header whatever
// size the file declares; a larger header (108, 124 bytes) or a colour table before the pixel
// data offset is skipped unread.
//
// The file size field only has to stay within the file: many writers leave the info header out
// of it, or write less or nothing, so the rows are measured against the bytes the file really
// holds. The data may end up to two bytes before the end of the last stored row; those bytes
// become zero, never a read outside the file.

#include "image/bmp_reader.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kHeaderBytes = 54;  // file header + 40-byte info header
constexpr std::uint32_t kMaxExtraHeaderBytes = 5000;
constexpr std::int64_t kMinPixelDataBytes = 10;
constexpr std::int64_t kStrideTolerance = 2;

// Copies count bytes from bytes[offset..] to dst, zero-filling what lies beyond the file.
void copyOrZero(std::uint8_t* dst, ByteSpan bytes, std::size_t offset, std::size_t count) noexcept {
  const std::size_t present = offset < bytes.size() ? std::min(count, bytes.size() - offset) : 0;
  if (present != 0) std::memcpy(dst, bytes.data() + offset, present);
  std::memset(dst + present, 0, count - present);
}

// The name of a BMP compression method for the user.
const char* compressionName(std::uint32_t compression) noexcept {
  switch (compression) {
    case 1:
      return "RLE8";
    case 2:
      return "RLE4";
    case 3:
      return "bit fields";
    case 4:
      return "JPEG";
    case 5:
      return "PNG";
    case 6:
      return "alpha bit fields";
    default:
      return "unknown method";
  }
}

}  // namespace

ImagePtr decodeBmp(ByteSpan bytes, DecodeReport* report, [[maybe_unused]] bool expand) noexcept {
  if (bytes.size() < 2 || bytes[0] != 'B' || bytes[1] != 'M') return nullptr;  // signature
  recognise(report, ImageFormat::bmp);
  if (bytes.size() < kHeaderBytes) {
    refuse(report, "BMP file cut short: %zu bytes, its headers alone take %zu", bytes.size(),
           kHeaderBytes);
    return nullptr;
  }

  const std::uint32_t dataOffset = readLe32(bytes, 10);  // pixel data offset
  if (dataOffset - std::uint32_t{kHeaderBytes} > kMaxExtraHeaderBytes) {
    refuse(report, "BMP pixel data offset %u is outside %zu..%zu (damaged header)", dataOffset,
           kHeaderBytes, kHeaderBytes + kMaxExtraHeaderBytes);
    return nullptr;
  }

  const std::int64_t fileSizeField = readLe32(bytes, 2);  // file size
  const auto fileBytes = static_cast<std::int64_t>(bytes.size());
  if (fileSizeField > fileBytes) {
    refuse(report, "BMP file cut short: its header gives %lld bytes, the file holds %zu",
           static_cast<long long>(fileSizeField), bytes.size());
    return nullptr;
  }
  // Negative when the pixel data offset lies beyond the file's end.
  const std::int64_t availableData = fileBytes - dataOffset;

  const auto width = static_cast<std::int32_t>(readLe32(bytes, 18));
  if (width < 1 || width > static_cast<std::int32_t>(kMaxImageSide)) {
    refuse(report, "BMP width %d is outside 1..%u", width, kMaxImageSide);
    return nullptr;
  }
  const auto heightField = static_cast<std::int32_t>(readLe32(bytes, 22));
  const bool topDown = heightField < 0;
  const std::int64_t height = topDown ? -std::int64_t{heightField} : heightField;
  if (height < 1 || height > kMaxImageSide) {
    refuse(report, "BMP height %lld is outside 1..%u", static_cast<long long>(height),
           kMaxImageSide);
    return nullptr;
  }

  const std::uint16_t bitsPerPixel = readLe16(bytes, 28);
  if (bitsPerPixel != 24 && bitsPerPixel != 32) {
    if (bitsPerPixel >= 1 && bitsPerPixel <= 8) {
      refuse(report, "BMP with %u-bit palette is not converted: save it as 24- or 32-bit BMP",
             unsigned{bitsPerPixel});
    } else {
      refuse(report, "BMP with %u bits per pixel is not converted: save it as 24- or 32-bit BMP",
             unsigned{bitsPerPixel});
    }
    return nullptr;
  }
  if (readLe16(bytes, 26) != 1) {  // planes
    refuse(report, "BMP planes field is %u, not 1 (damaged header)", unsigned{readLe16(bytes, 26)});
    return nullptr;
  }
  if (const std::uint32_t compression = readLe32(bytes, 30); compression != 0) {  // compression
    refuse(report,
           "BMP compressed (%s) is not converted: save it as uncompressed 24- or 32-bit BMP",
           compressionName(compression));
    return nullptr;
  }

  const std::int64_t stride = (std::int64_t{bitsPerPixel} * width / 8 + 3) & ~std::int64_t{3};
  if (availableData < stride * height - kStrideTolerance) {
    refuse(report, "BMP file cut short: %lld rows of %lld bytes need %lld bytes, it holds %lld",
           static_cast<long long>(height), static_cast<long long>(stride),
           static_cast<long long>(stride * height),
           static_cast<long long>(std::max<std::int64_t>(availableData, 0)));
    return nullptr;
  }
  if (availableData < kMinPixelDataBytes) {
    refuse(report, "BMP pixel data of %lld bytes is under the %lld bytes a BMP file must hold",
           static_cast<long long>(availableData), static_cast<long long>(kMinPixelDataBytes));
    return nullptr;
  }

  const unsigned channels = bitsPerPixel / 8u;
  ImagePtr image =
      createImage(channels, static_cast<unsigned>(height), static_cast<unsigned>(width));
  if (!image) {
    refuseForMemory(report);
    return nullptr;
  }

  const std::size_t rowBytes = image->rowBytes();
  const auto strideBytes = static_cast<std::size_t>(stride);
  const std::size_t rowCount = image->height;
  std::uint8_t* dst = image->pixels();
  if (strideBytes == rowBytes && !topDown) {
    copyOrZero(dst, bytes, dataOffset, image->pixelBytes());
  } else {
    // Rows are dropped of their alignment bytes and, for a top-down file, put bottom row first
    // as they are copied.
    for (std::size_t row = 0; row < rowCount; ++row) {
      const std::size_t target = topDown ? rowCount - 1 - row : row;
      copyOrZero(dst + target * rowBytes, bytes, dataOffset + row * strideBytes, rowBytes);
    }
  }
  return image;
}
