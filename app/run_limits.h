#pragma once
// What a run may hold: the memory budget of the pictures in flight, the bound above which a file
// is not read, the number of workers and their result slots.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "app/ordered_run.h"
#include "app/run_report.h"
#include "base/counted_string.h"

// The bytes the pictures in flight may take: `asked`, or when it is 0 half of `usable`, the
// memory this process may use (usableMemoryBytes).
[[nodiscard]] constexpr std::uint64_t pictureBudget(std::uint64_t asked,
                                                    std::uint64_t usable) noexcept {
  return asked != 0 ? asked : usable / 2;
}

// True when the estimated peak of loading the file at path (estimateLoadBytes, with expand as the
// load will have it) is above `usable`
// bytes: such a file is refused for want of memory before it is read, the same way at every
// number of jobs, rather than started and ended by the system's out-of-memory killer.
[[nodiscard]] bool exceedsMemory(const CountedString& path, std::uint64_t usable,
                                 bool expand = false) noexcept;

// The workers asked for, at least one.
[[nodiscard]] constexpr unsigned workerCount(unsigned asked) noexcept {
  return asked == 0 ? 1 : asked;
}

// One result per slot of a run with `workers` workers; null, after the run's "ERROR: memory" line
// to out, when they cannot be had.
template <class Result>
[[nodiscard]] std::unique_ptr<Result[]> resultSlots(unsigned workers, std::FILE* out) noexcept {
  std::unique_ptr<Result[]> results(new (std::nothrow) Result[slotCount(workers)]);
  if (!results) report(out, "%s", kMemoryLine);
  return results;
}
