#pragma once
// What a run may hold: the memory budget of the pictures in flight, the number of workers and
// their result slots.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "app/ordered_run.h"
#include "app/run_report.h"

// The bytes the pictures in flight may take: `asked`, or when it is 0 half of `usable`, the
// memory this process may use (usableMemoryBytes).
[[nodiscard]] constexpr std::uint64_t pictureBudget(std::uint64_t asked,
                                                    std::uint64_t usable) noexcept {
  return asked != 0 ? asked : usable / 2;
}

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
