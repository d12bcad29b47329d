#pragma once
// The BMP file that stores a padded picture: an uncompressed, bottom-up BMP whose two
// pixels-per-metre fields carry the picture's own size.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/heap.h"
#include "base/image.h"
#include "base/platform.h"
#include "base/row_sink.h"

constexpr std::size_t kBmpHeaderBytes = 54;

enum class BmpWriteResult { written, cannotCreate, cannotWrite };

// The rows the padded writers build before they are written, kept from one call to the next.
struct BmpRowStage {
  HeapPtr<std::uint8_t[]> block;
  std::size_t bytes = 0;
};

// Makes stage large enough for writing the picture; false when it cannot be allocated (stage is
// then empty).
[[nodiscard]] bool reserveBmpRowStage(BmpRowStage& stage, const Image& picture) noexcept;

// Writes the BMP file of the picture padded to power-of-two sides to an open stream (standard
// output, a device or FIFO written in place), and flushes it. The padded picture is never built:
// each row of the picture, its last pixel repeated to the padded width, then the padded top row
// repeated to the padded height, go out through stage a few hundred kilobytes at a time; rows
// that need no padding go out straight from the picture. False when a write or the flush fails
// or stage cannot grow.
[[nodiscard]] bool writePaddedBmpStream(std::FILE* stream, const Image& picture,
                                        BmpRowStage& stage) noexcept;

// The same file written in two steps, so that files can be written by several threads and put
// in place in order by one. The first writes every byte under a temporary name in the folder of
// path (see TemporaryFile) and leaves the file in temporary (written), or leaves temporary empty
// (cannotCreate, cannotWrite). The second renames it over path: written, or cannotCreate when the
// rename fails (the temporary file is then removed). An existing file at path is untouched until
// the rename.
[[nodiscard]] BmpWriteResult writePaddedBmpTemporary(const char* path, const Image& picture,
                                                     BmpRowStage& stage,
                                                     TemporaryFile& temporary) noexcept;
[[nodiscard]] BmpWriteResult commitBmpFile(TemporaryFile& temporary, const char* path) noexcept;

// The file of writePaddedBmpTemporary written while the picture is decoded, when its reader
// finishes the rows on a helper thread: begin creates the temporary file and writes the header,
// and each row the reader hands over goes out, padded, at its own place in the file (the rows
// above the picture with the top row). It takes no picture whose sides convertedSides refuses,
// nor one it cannot make a file or a stage for: the decode then goes on without it, and the file
// is written afterwards as it would be without a sink.
class OverlappedBmpWriter final : public RowSink {
 public:
  OverlappedBmpWriter(const char* path, BmpRowStage& stage, TemporaryFile& temporary) noexcept
      : path_(path), stage_(stage), temporary_(temporary) {}
  ~OverlappedBmpWriter() { abandon(); }
  OverlappedBmpWriter(const OverlappedBmpWriter&) = delete;
  OverlappedBmpWriter& operator=(const OverlappedBmpWriter&) = delete;

  [[nodiscard]] bool begin(unsigned width, unsigned height, unsigned channels) noexcept override;
  void rowsReady(const std::uint8_t* topRow, std::ptrdiff_t rowStride, std::size_t first,
                 std::size_t count) noexcept override;

  // True once begin took a picture and until finish or abandon.
  [[nodiscard]] bool begun() const noexcept { return file_ != nullptr; }
  // Once the decode has returned the picture: closes the file and leaves it in temporary
  // (written), or removes it (cannotWrite) when a write or the close failed.
  [[nodiscard]] BmpWriteResult finish() noexcept;
  // Once the decode failed: closes and removes the file, if there is one.
  void abandon() noexcept;

 private:
  [[nodiscard]] bool writeAt(std::size_t fileRow, const std::uint8_t* bytes,
                             std::size_t count) noexcept;

  const char* path_;
  BmpRowStage& stage_;
  TemporaryFile& temporary_;
  std::FILE* file_ = nullptr;
  unsigned width_ = 0;
  unsigned height_ = 0;
  unsigned channels_ = 0;
  std::size_t paddedRow_ = 0;
  std::size_t paddedHeight_ = 0;
  bool failed_ = false;  // a write failed: nothing more is written
};
