// Fuzz target for the whole reader chain (decodeImage). A returned picture must have the shape
// every reader promises, and a second decode of the same bytes must give the same pixels even
// though every block the readers allocate starts out filled with a different byte: a pixel
// (or any byte a reader copies into one) that no reader wrote shows up as a difference,
// without MemorySanitizer.
//
// The fill comes from the link: this target is linked with --wrap for heapAllocate and
// heapReallocate, so every call from the library reaches the wrappers below, which call the
// real functions and then fill the new bytes while a fill byte is armed. Where the build cannot
// wrap them (POW2BMP_HEAP_FILL unset), the two decodes are still compared, without the fill.
// The second decode asks for a report, so the comparison also shows that asking changes nothing.
// The same two decodes run once more expanding; a picture the default decodes give, they give
// alike.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if POW2BMP_HEAP_FILL
#include <malloc.h>
#endif

#include "fuzz/fuzz_checks.h"
#include "image/loader.h"

namespace {

int fillByte = -1;  // byte written over new heap bytes; -1: no fill

}  // namespace

extern "C" {

#if POW2BMP_HEAP_FILL
// The mangled names below spell std::size_t as unsigned long.
static_assert(std::is_same_v<std::size_t, unsigned long>);

// The real heap functions, by their mangled names (void* f(std::size_t) and
// void* f(void*, std::size_t)).
void* __real__Z12heapAllocatem(std::size_t bytes) noexcept;
void* __real__Z14heapReallocatePvm(void* block, std::size_t bytes) noexcept;

void* __wrap__Z12heapAllocatem(std::size_t bytes) noexcept {
  void* block = __real__Z12heapAllocatem(bytes);
  if (block != nullptr && fillByte >= 0) std::memset(block, fillByte, malloc_usable_size(block));
  return block;
}

void* __wrap__Z14heapReallocatePvm(void* block, std::size_t bytes) noexcept {
  const std::size_t oldBytes = block != nullptr ? malloc_usable_size(block) : 0;
  void* grown = __real__Z14heapReallocatePvm(block, bytes);
  if (grown != nullptr && fillByte >= 0) {
    const std::size_t newBytes = malloc_usable_size(grown);
    if (newBytes > oldBytes) {
      std::memset(static_cast<std::uint8_t*>(grown) + oldBytes, fillByte, newBytes - oldBytes);
    }
  }
  return grown;
}
#endif

}  // extern "C"

namespace {

// Decodes twice, filling new blocks with different bytes, once without and once with a report;
// the first picture, or null.
ImagePtr checkDefault(ByteSpan bytes) noexcept {
  fillByte = 0xA5;
  ImagePtr first = decodeImage(bytes);
  fillByte = 0x5A;
  DecodeReport report;  // the second decode also asks why, which must change nothing
  const ImagePtr second = decodeImage(bytes, &report);
  fillByte = -1;
  fuzzCheck((first == nullptr) == (second == nullptr), "both decodes give the same verdict");
  fuzzCheck((second == nullptr) == (report.reason[0] != '\0'), "a reason exactly for a refusal");
  if (!first) return nullptr;
  checkPictureShape(*first);
  fuzzCheck(first->width == second->width && first->height == second->height &&
                first->channels == second->channels,
            "both decodes give the same shape");
  fuzzCheck(std::memcmp(first->pixels(), second->pixels(), first->pixelBytes()) == 0,
            "both decodes give the same pixels (a byte nobody wrote differs)");
  return first;
}

// The two decodes of checkDefault, expanding; a picture of the default decode must come out the
// same.
void checkExpanded(ByteSpan bytes, const ImagePtr& plain) noexcept {
  fillByte = 0xA5;
  const ImagePtr first = decodeImage(bytes, nullptr, true);
  fillByte = 0x5A;
  DecodeReport report;
  const ImagePtr second = decodeImage(bytes, &report, true);
  fillByte = -1;
  fuzzCheck((first == nullptr) == (second == nullptr), "both expanded decodes agree");
  fuzzCheck((second == nullptr) == (report.reason[0] != '\0'), "a reason exactly for a refusal");
  if (plain) {
    fuzzCheck(first != nullptr, "expanding takes what a run takes");
    fuzzCheck(first->width == plain->width && first->height == plain->height &&
                  first->channels == plain->channels &&
                  std::memcmp(first->pixels(), plain->pixels(), plain->pixelBytes()) == 0,
              "expanding gives the picture a run gives");
  }
  if (!first) return;
  checkPictureShape(*first);
  fuzzCheck(first->width == second->width && first->height == second->height &&
                first->channels == second->channels,
            "both expanded decodes give the same shape");
  fuzzCheck(std::memcmp(first->pixels(), second->pixels(), first->pixelBytes()) == 0,
            "both expanded decodes give the same pixels (a byte nobody wrote differs)");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan bytes(data, size);
  if (announcesHugePicture(bytes)) return 0;
  const ImagePtr plain = checkDefault(bytes);
  checkExpanded(bytes, plain);
  return 0;
}
