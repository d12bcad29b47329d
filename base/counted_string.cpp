// Counted string blocks: allocation, sharing and copy-on-write changes.
//
// The empty string is a static block whose count starts at 2^30, so no sequence of releases can
// bring it to zero; every failed allocation hands it out with one more reference.

#include "base/counted_string.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "base/heap.h"

namespace {

constexpr std::int32_t kEmptyInitialReferences = 1 << 30;

struct EmptyStorage {
  CountedStringBlock header;
  char text[8];
};

// Start-up adds one reference to the initial 2^30.
EmptyStorage emptyStorage{{kEmptyInitialReferences + 1, 0}, {}};

std::int32_t textLength(const char* text) noexcept {
  const std::size_t length = std::strlen(text);
  return length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() / 2)
             ? -1
             : static_cast<std::int32_t>(length);
}

}  // namespace

CountedStringBlock* CountedString::emptyBlock() noexcept {
  emptyStorage.header.references.fetch_add(1);
  return &emptyStorage.header;
}

bool CountedString::isSharedEmpty() const noexcept { return block_ == &emptyStorage.header; }

CountedStringBlock* CountedString::allocateBlock(std::int32_t length) noexcept {
  if (length < 0) return nullptr;
  void* memory = heapAllocate(sizeof(CountedStringBlock) + static_cast<std::size_t>(length) + 1);
  if (memory == nullptr) return nullptr;
  auto* block = new (memory) CountedStringBlock{};
  block->references.store(1);
  block->length = length;
  block->text()[length] = '\0';
  return block;
}

CountedString::CountedString() noexcept : block_(emptyBlock()) {}

CountedString::CountedString(const CountedString& other) noexcept : block_(other.block_) {
  block_->references.fetch_add(1);
}

CountedString::CountedString(CountedString&& other) noexcept : block_(other.block_) {
  other.block_ = emptyBlock();
}

CountedString& CountedString::operator=(const CountedString& other) noexcept {
  other.block_->references.fetch_add(1);
  dropReference(block_);
  block_ = other.block_;
  return *this;
}

CountedString& CountedString::operator=(CountedString&& other) noexcept {
  if (this != &other) {
    release();
    std::swap(block_, other.block_);
  }
  return *this;
}

CountedString::~CountedString() { dropReference(block_); }

void CountedString::dropReference(CountedStringBlock* block) noexcept {
  // The empty block's count never gets near zero, so only heap blocks are ever freed.
  if (block->references.fetch_sub(1) == 1) {
    block->~CountedStringBlock();
    std::free(block);
  }
}

void CountedString::release() noexcept {
  dropReference(block_);
  block_ = emptyBlock();
}

bool CountedString::resizePrivate(std::int32_t length, const char* tail,
                                  std::int32_t tailLength) noexcept {
  CountedStringBlock* resized = allocateBlock(length);
  if (resized == nullptr) return false;
  const std::int32_t kept = length - tailLength;
  std::memcpy(resized->text(), block_->text(), static_cast<std::size_t>(kept));
  std::memcpy(resized->text() + kept, tail, static_cast<std::size_t>(tailLength));
  dropReference(block_);
  block_ = resized;
  return true;
}

CountedString CountedString::fromText(const char* text) noexcept {
  const std::int32_t length = textLength(text);
  CountedStringBlock* block = allocateBlock(length);
  if (block == nullptr) return CountedString();
  std::memcpy(block->text(), text, static_cast<std::size_t>(length));
  return CountedString(block);
}

CountedString CountedString::concat(const CountedString& a, const CountedString& b) noexcept {
  const std::int64_t total = std::int64_t{a.length()} + b.length();
  if (total > std::numeric_limits<std::int32_t>::max() / 2) return CountedString();
  CountedStringBlock* block = allocateBlock(static_cast<std::int32_t>(total));
  if (block == nullptr) return CountedString();
  std::memcpy(block->text(), a.text(), static_cast<std::size_t>(a.length()));
  std::memcpy(block->text() + a.length(), b.text(), static_cast<std::size_t>(b.length()));
  return CountedString(block);
}

bool CountedString::makeUnique() noexcept {
  if (block_->references.load() <= 1) return true;
  CountedStringBlock* copy = allocateBlock(block_->length);
  if (copy == nullptr) {
    release();
    return false;
  }
  std::memcpy(copy->text(), block_->text(), static_cast<std::size_t>(block_->length));
  dropReference(block_);
  block_ = copy;
  return true;
}

bool CountedString::truncate(std::int32_t pos) noexcept {
  if (pos < 0) pos = 0;
  if (pos >= block_->length) return true;
  if (!makeUnique()) return false;
  return resizePrivate(pos, "", 0);
}

void CountedString::appendText(const char* text) noexcept {
  const std::int32_t extra = textLength(text);
  if (extra < 0) return;
  if (!makeUnique()) return;
  if (extra == 0) return;
  const std::int64_t total = std::int64_t{block_->length} + extra;
  if (total > std::numeric_limits<std::int32_t>::max() / 2) return;
  // A failed resize keeps the previous text.
  (void)resizePrivate(static_cast<std::int32_t>(total), text, extra);
}
