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
#include "base/heap.h"
#include "base/platform.h"

namespace {

// Rows are gathered up to about this many bytes before they are written.
constexpr std::size_t kStageBytes = std::size_t{256} << 10;

std::array<std::uint8_t, kBmpHeaderBytes> headerFor(unsigned channels, unsigned width,
                                                    unsigned height, std::uint32_t unpaddedWidth,
                                                    std::uint32_t unpaddedHeight) noexcept {
  const std::size_t pixelBytes = std::size_t{width} * height * channels;
  std::array<std::uint8_t, kBmpHeaderBytes> header{};
  std::uint8_t* h = header.data();
  h[0] = 'B';  // signature
  h[1] = 'M';
  writeLe32(h + 2, static_cast<std::uint32_t>(kBmpHeaderBytes + pixelBytes));  // file size
  writeLe32(h + 10, kBmpHeaderBytes);                                          // pixel data offset
  writeLe32(h + 14, 40);                                                       // info header size
  writeLe32(h + 18, width);                                                    // width
  writeLe32(h + 22, height);                                     // height, positive: bottom-up
  writeLe16(h + 26, 1);                                          // planes
  writeLe16(h + 28, static_cast<std::uint16_t>(8u * channels));  // bits per pixel
  writeLe32(h + 38, unpaddedWidth);                              // horizontal pixels per metre
  writeLe32(h + 42, unpaddedHeight);                             // vertical pixels per metre
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

namespace {

bool reserveStage(BmpRowStage& stage, unsigned width, unsigned height, unsigned channels) noexcept {
  const std::size_t paddedRow = std::size_t{paddedSide(width)} * channels;
  const std::size_t paddedBytes = paddedRow * paddedSide(height);
  // Whole rows, at least one, up to about kStageBytes, and no more than the padded picture.
  const std::size_t wanted =
      std::min(paddedBytes, std::max(paddedRow, kStageBytes / paddedRow * paddedRow));
  if (stage.bytes >= wanted) return true;
  stage.block = allocateArray<std::uint8_t>(wanted);
  stage.bytes = stage.block ? wanted : 0;
  return stage.bytes != 0;
}

}  // namespace

bool reserveBmpRowStage(BmpRowStage& stage, const Image& picture) noexcept {
  return reserveStage(stage, picture.width, picture.height, picture.channels);
}

namespace {

// The header and the padded pixel block, without flushing.
bool writePaddedBmp(std::FILE* file, const Image& picture, BmpRowStage& stage) noexcept {
  const auto header = headerFor(picture.channels, paddedSide(picture.width),
                                paddedSide(picture.height), picture.width, picture.height);
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

bool OverlappedBmpWriter::begin(unsigned width, unsigned height, unsigned channels) noexcept {
  if (file_ != nullptr || !convertedSides(width, height) || (channels != 3 && channels != 4)) {
    return false;
  }
  {
    // Without its stage the picture is written once decoded, as on one thread: a stage that
    // cannot be had is no failure of the decode.
    const ExcusedHeapFailures optional;
    if (!reserveStage(stage_, width, height, channels)) return false;
  }
  file_ = temporary_.create(path_);
  if (file_ == nullptr) return false;
  width_ = width;
  height_ = height;
  channels_ = channels;
  paddedRow_ = std::size_t{paddedSide(width)} * channels;
  paddedHeight_ = paddedSide(height);
  failed_ = false;
  const auto header = headerFor(channels, paddedSide(width), paddedSide(height), width, height);
  if (!writeAll(file_, header.data(), header.size())) failed_ = true;
  return true;
}

bool OverlappedBmpWriter::writeAt(std::size_t fileRow, const std::uint8_t* bytes,
                                  std::size_t count) noexcept {
  // At most kMaxConvertedSide rows of as many 4-byte pixels: the offset fits a long.
  static_assert(kBmpHeaderBytes + std::uint64_t{kMaxConvertedSide} * kMaxConvertedSide * 4 <
                std::uint64_t{1} << 31);
  const std::size_t offset = kBmpHeaderBytes + fileRow * paddedRow_;
  return std::fseek(file_, static_cast<long>(offset), SEEK_SET) == 0 &&
         writeAll(file_, bytes, count);
}

void OverlappedBmpWriter::rowsReady(const std::uint8_t* topRow, std::ptrdiff_t rowStride,
                                    std::size_t first, std::size_t count) noexcept {
  if (file_ == nullptr || failed_ || count == 0) return;
  const std::size_t sourceRow = std::size_t{width_} * channels_;
  const std::size_t extra = paddedRow_ / channels_ - width_;  // pixels repeated on the right
  const std::size_t stageRows = stage_.bytes / paddedRow_;
  std::uint8_t* const rows = stage_.block.get();
  const auto pictureRow = [&](std::size_t row) {
    return topRow + static_cast<std::ptrdiff_t>(row) * rowStride;
  };
  // Picture row r (0 = top) is file row height - 1 - r: the rows go out lowest file row first,
  // a stage at a time.
  const std::size_t last = height_ - first;  // one past the highest file row
  // Rows that need no padding, bottom-up in memory as in the file, go straight from the picture.
  const bool straight = extra == 0 && rowStride == -static_cast<std::ptrdiff_t>(sourceRow);
  if (straight && !writeAt(last - count, pictureRow(first + count - 1), count * sourceRow)) {
    failed_ = true;
  }
  for (std::size_t fileRow = last - count; fileRow < last && !straight;) {
    const std::size_t chunk = std::min(stageRows, last - fileRow);
    for (std::size_t i = 0; i < chunk; ++i) {
      std::uint8_t* const line = rows + i * paddedRow_;
      std::memcpy(line, pictureRow(height_ - 1 - (fileRow + i)), sourceRow);
      repeatPixel(line + sourceRow - channels_, channels_, extra + 1);
    }
    if (!writeAt(fileRow, rows, chunk * paddedRow_)) {
      failed_ = true;
      return;
    }
    fileRow += chunk;
  }
  if (failed_ || first != 0 || paddedHeight_ == height_) return;
  // The top row, padded, repeated above the picture.
  std::memcpy(rows, pictureRow(0), sourceRow);
  repeatPixel(rows + sourceRow - channels_, channels_, extra + 1);
  const std::size_t topRows = paddedHeight_ - height_;
  const std::size_t filled = std::min(stageRows, topRows);
  repeatPixel(rows, paddedRow_, filled);
  for (std::size_t row = 0; row < topRows;) {
    const std::size_t chunk = std::min(filled, topRows - row);
    if (!writeAt(height_ + row, rows, chunk * paddedRow_)) {
      failed_ = true;
      return;
    }
    row += chunk;
  }
}

BmpWriteResult OverlappedBmpWriter::finish() noexcept {
  if (file_ == nullptr) return BmpWriteResult::cannotWrite;
  std::FILE* const file = file_;
  file_ = nullptr;
  const bool complete = (std::fclose(file) == 0) && !failed_;
  if (!complete) {
    temporary_.discard();
    return BmpWriteResult::cannotWrite;
  }
  return BmpWriteResult::written;
}

void OverlappedBmpWriter::abandon() noexcept {
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
  temporary_.discard();
}
