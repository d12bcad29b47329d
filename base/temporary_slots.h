#pragma once
// The registrations of the temporary files a process holds, the same on every system: the first
// kMaxTemporaryFiles in static storage, more on the heap after reserve. An interrupt handler walks
// them without allocating; it reads the extra block through an atomic pointer and count, which
// reserve and release change only in the caller's critical section (signals held back, or the
// lock the handler also takes), so the handler never sees a block that is gone.

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

#include "base/platform.h"

// Slot is the system's registration: default-constructible, and vacant() says whether it holds no
// file.
template <typename Slot>
class TemporarySlotTable {
 public:
  [[nodiscard]] std::size_t size() const noexcept {
    return kMaxTemporaryFiles + extraCount_.load();
  }

  [[nodiscard]] Slot& operator[](std::size_t index) noexcept {
    return index < kMaxTemporaryFiles ? fixed_[index] : extra_.load()[index - kMaxTemporaryFiles];
  }

  // Room for count registrations; false when the block cannot be had, or when more than the
  // static ones are needed while an extra one is in use.
  [[nodiscard]] bool reserve(std::size_t count) noexcept {
    if (count <= size()) return true;
    if (!extraFree()) return false;
    std::unique_ptr<Slot[]> block(new (std::nothrow) Slot[count - kMaxTemporaryFiles]);
    if (!block) return false;
    extraCount_.store(0);
    extra_.store(block.get());
    extraCount_.store(count - kMaxTemporaryFiles);
    extraBlock_ = std::move(block);
    return true;
  }

  // Back to the static registrations, unless an extra one is in use.
  void release() noexcept {
    if (!extraFree()) return;
    extraCount_.store(0);
    extra_.store(nullptr);
    extraBlock_.reset();
  }

 private:
  [[nodiscard]] bool extraFree() const noexcept {
    const std::size_t count = extraCount_.load();
    const Slot* extra = extra_.load();
    for (std::size_t index = 0; index < count; ++index) {
      if (!extra[index].vacant()) return false;
    }
    return true;
  }

  Slot fixed_[kMaxTemporaryFiles];
  std::unique_ptr<Slot[]> extraBlock_;
  std::atomic<Slot*> extra_{nullptr};
  std::atomic<std::size_t> extraCount_{0};
};
