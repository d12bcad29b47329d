// What a run may hold.

#include "app/run_limits.h"

#include "image/loader.h"

bool exceedsMemory(const CountedString& path, std::uint64_t usable, bool expand) noexcept {
  return estimateLoadBytes(path, expand) > usable;
}
