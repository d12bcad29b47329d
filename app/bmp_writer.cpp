// BMP output.
//
// Output layout: "BM", file size, two reserved words, data offset 54, a 40-byte info header with
// the padded width and a positive padded height (rows bottom-up), 1 plane, 8 * channels bits,
// no compression; the horizontal and vertical pixels-per-metre fields hold the unpadded width
// and height. Padded rows are multiples of 4 bytes, so the pixel block follows unchanged.

#include "app/bmp_writer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "app/padding.h"
#include "base/byte_io.h"
#include "base/platform.h"

namespace {

// Rows are gathered up to about this many bytes before they are written.
constexpr std::size_t kStageBytes = std::size_t{256} << 10;

std::array<std::uint8_t, kBmpHeaderBytes> headerFor(const Image& image, unsigned width,
                                                    unsigned height, std::uint32_t unpaddedWidth,
                                                    std::uint32_t unpaddedHeight) noexcept {
  const std::size_t pixelBytes = std::size_t{width} * height * image.channels;
  std::array<std::uint8_t, kBmpHeaderBytes> header{};
  std::uint8_t* h = header.data();
  h[0] = 'B';  // signature
  h[1] = 'M';
  writeLe32(h + 2, static_cast<std::uint32_t>(kBmpHeaderBytes + pixelBytes));  // file size
  writeLe32(h + 10, kBmpHeaderBytes);                                          // pixel data offset
  writeLe32(h + 14, 40);                                                       // info header size
  writeLe32(h + 18, width);                                                    // width
  writeLe32(h + 22, height);  // height, positive: bottom-up
  writeLe16(h + 26, 1);       // planes
  writeLe16(h + 28, static_cast<std::uint16_t>(8u * image.channels));  // bits per pixel
  writeLe32(h + 38, unpaddedWidth);   // horizontal pixels per metre
  writeLe32(h + 42, unpaddedHeight);  // vertical pixels per metre
  return header;
}

bool writeAll(std::FILE* file, const std::uint8_t* bytes, std::size_t count) noexcept {
  return std::fwrite(bytes, 1, count, file) == count;
}

// The pixel block of the padded picture, from the picture's rows.
bool writePaddedRows(std::FILE* file, const Image& picture, BmpRowStage& stage) noexcept {
  const unsigned channels = picture.channels;
  const unsigned width = picture.width;
  const unsigned height = picture.height;
  const unsigned paddedWidth = paddedSide(width);
  const unsigned paddedHeight = paddedSide(height);
  const std::size_t sourceRow = picture.rowBytes();
  const std::size_t paddedRow = std::size_t{paddedWidth} * channels;
  if (!reserveBmpRowStage(stage, picture)) return false;
  const std::size_t stageRows = stage.bytes / paddedRow;
  std::uint8_t* rows = stage.block.get();
  const std::uint8_t* source = picture.pixels();
  if (paddedWidth == width) {
    if (!writeAll(file, source, picture.pixelBytes())) return false;
  } else {
    for (unsigned row = 0; row < height;) {
      const unsigned chunk =
          static_cast<unsigned>(std::min<std::size_t>(stageRows, std::size_t{height} - row));
      for (unsigned i = 0; i < chunk; ++i) {
        std::uint8_t* line = rows + i * paddedRow;
        std::memcpy(line, source + std::size_t{row + i} * sourceRow, sourceRow);
        repeatPixel(line + sourceRow - channels, channels, paddedWidth - width + 1);
      }
      if (!writeAll(file, rows, chunk * paddedRow)) return false;
      row += chunk;
    }
  }
  if (paddedHeight == height) return true;
  // The padded top row, repeated through the stage, then written as often as needed.
  std::memcpy(rows, source + std::size_t{height - 1} * sourceRow, sourceRow);
  repeatPixel(rows + sourceRow - channels, channels, paddedWidth - width + 1);
  const std::size_t topRows = std::size_t{paddedHeight} - height;
  const std::size_t filled = std::min(stageRows, topRows);
  repeatPixel(rows, paddedRow, filled);
  for (std::size_t row = 0; row < topRows;) {
    const std::size_t chunk = std::min(filled, topRows - row);
    if (!writeAll(file, rows, chunk * paddedRow)) return false;
    row += chunk;
  }
  return true;
}

}  // namespace

bool reserveBmpRowStage(BmpRowStage& stage, const Image& picture) noexcept {
  const std::size_t paddedRow = std::size_t{paddedSide(picture.width)} * picture.channels;
  const std::size_t paddedBytes = paddedRow * paddedSide(picture.height);
  // Whole rows, at least one, up to about kStageBytes, and no more than the padded picture.
  const std::size_t wanted =
      std::min(paddedBytes, std::max(paddedRow, kStageBytes / paddedRow * paddedRow));
  if (stage.bytes >= wanted) return true;
  stage.block = allocateArray<std::uint8_t>(wanted);
  stage.bytes = stage.block ? wanted : 0;
  return stage.bytes != 0;
}

namespace {

// The header and the padded pixel block, without flushing.
bool writePaddedBmp(std::FILE* file, const Image& picture, BmpRowStage& stage) noexcept {
  const auto header = headerFor(picture, paddedSide(picture.width), paddedSide(picture.height),
                                picture.width, picture.height);
  return writeAll(file, header.data(), header.size()) && writePaddedRows(file, picture, stage);
}

}  // namespace

bool writePaddedBmpStream(std::FILE* stream, const Image& picture, BmpRowStage& stage) noexcept {
  const bool complete = writePaddedBmp(stream, picture, stage);
  return std::fflush(stream) == 0 && complete;
}

BmpWriteResult writePaddedBmpTemporary(const char* path, const Image& picture, BmpRowStage& stage,
                                       TemporaryFile& temporary) noexcept {
  std::FILE* file = temporary.create(path);
  if (file == nullptr) return BmpWriteResult::cannotCreate;

  bool complete = writePaddedBmp(file, picture, stage);
  complete = (std::fclose(file) == 0) && complete;
  if (!complete) {
    temporary.discard();
    return BmpWriteResult::cannotWrite;
  }
  return BmpWriteResult::written;
}

BmpWriteResult commitBmpFile(TemporaryFile& temporary, const char* path) noexcept {
  return temporary.commit(path) ? BmpWriteResult::written : BmpWriteResult::cannotCreate;
}
