#pragma once
// Where a reader that finishes a large picture's rows on a helper thread may send them as they
// are done, so that what follows the decode (the output) overlaps it. The caller of a decode
// sets a sink for its thread with RowSinkScope; a reader that has none, or whose picture is not
// decoded on a helper, ignores it, and the caller then finds the sink never begun.

#include <cstddef>
#include <cstdint>

class RowSink {
 public:
  // Called on the decoding thread before the first row of a picture of width x height pixels of
  // channels bytes (3 or 4, B,G,R(,A)) is decoded: true when the sink takes the rows. Then
  // rowsReady is called for every row, in order, unless the decode fails first.
  [[nodiscard]] virtual bool begin(unsigned width, unsigned height, unsigned channels) noexcept = 0;

  // Called on one thread at a time, never the one that called begin while rows are still to
  // come: picture rows first..first + count - 1 (0 = top) are final, row r at
  // topRow + r * rowStride, and stay in place until the decode returns.
  virtual void rowsReady(const std::uint8_t* topRow, std::ptrdiff_t rowStride, std::size_t first,
                         std::size_t count) noexcept = 0;

 protected:
  RowSink() noexcept = default;
  ~RowSink() = default;
  RowSink(const RowSink&) = default;
  RowSink& operator=(const RowSink&) = default;
};

// The sink set for the calling thread, or null.
[[nodiscard]] RowSink* currentRowSink() noexcept;

// Sets sink for the calling thread for the life of the object (the one before comes back after).
class RowSinkScope {
 public:
  explicit RowSinkScope(RowSink* sink) noexcept;
  ~RowSinkScope();
  RowSinkScope(const RowSinkScope&) = delete;
  RowSinkScope& operator=(const RowSinkScope&) = delete;

 private:
  RowSink* before_;
};
