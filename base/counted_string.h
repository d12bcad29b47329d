#pragma once
// CountedString: a reference-counted, copy-on-write byte string for paths.
//
// A handle points at one heap block: an atomic reference count, the length, then the bytes and a
// terminating zero. Copying a handle only raises the count; every change first makes the block
// private to its handle. An allocation that fails never produces an error value: the handle
// becomes the process-wide empty string, whose block is static and never freed.

#include <atomic>
#include <cstddef>
#include <cstdint>

struct CountedStringBlock {
  std::atomic<std::int32_t> references;
  std::int32_t length;
  // length + 1 text bytes follow the header.

  [[nodiscard]] char* text() noexcept { return reinterpret_cast<char*>(this + 1); }
};

class CountedString {
 public:
  // The shared empty string (one more reference on it).
  CountedString() noexcept;
  CountedString(const CountedString& other) noexcept;
  CountedString(CountedString&& other) noexcept;
  CountedString& operator=(const CountedString& other) noexcept;
  CountedString& operator=(CountedString&& other) noexcept;
  ~CountedString();

  // A new block holding a copy of the zero-terminated text; the empty string on failure.
  [[nodiscard]] static CountedString fromText(const char* text) noexcept;

  // A new block holding a's bytes then b's bytes; the empty string on failure.
  [[nodiscard]] static CountedString concat(const CountedString& a,
                                            const CountedString& b) noexcept;

  // Gives this handle a private block. On allocation failure the handle becomes the empty string
  // and the result is false.
  [[nodiscard]] bool makeUnique() noexcept;

  // Cuts the text to pos bytes (pos is clamped to 0..length). False when an allocation failed.
  [[nodiscard]] bool truncate(std::int32_t pos) noexcept;

  // Appends the zero-terminated text. If the block cannot be made private the handle is left as
  // the empty string; if it cannot grow the handle keeps its previous text.
  void appendText(const char* text) noexcept;

  // Drops this handle's reference; the handle is the empty string afterwards.
  void release() noexcept;

  [[nodiscard]] std::int32_t length() const noexcept { return block_->length; }
  [[nodiscard]] const char* text() const noexcept { return block_->text(); }
  [[nodiscard]] std::int32_t references() const noexcept { return block_->references.load(); }
  [[nodiscard]] bool isSharedEmpty() const noexcept;

 private:
  explicit CountedString(CountedStringBlock* block) noexcept : block_(block) {}
  static CountedStringBlock* emptyBlock() noexcept;
  static CountedStringBlock* allocateBlock(std::int32_t length) noexcept;
  static void dropReference(CountedStringBlock* block) noexcept;
  // Replaces this handle's private block by one of `length` bytes: the first length - tailLength
  // bytes of the old text, then tail. False (nothing changed) when the allocation fails.
  [[nodiscard]] bool resizePrivate(std::int32_t length, const char* tail,
                                   std::int32_t tailLength) noexcept;

  CountedStringBlock* block_;
};
