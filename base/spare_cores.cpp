// The lent cores: one counter for the process, taken one at a time by compare-and-swap.

#include "base/spare_cores.h"

#include <atomic>

namespace {

std::atomic<int> lentCores{0};
std::atomic<std::uint64_t> borrowedCores{0};

}  // namespace

void lendSpareCores(int count) noexcept { lentCores.fetch_add(count); }

std::uint64_t coresBorrowedSoFar() noexcept { return borrowedCores.load(); }

BorrowedCore::BorrowedCore() noexcept {
  int lent = lentCores.load();
  while (lent > 0) {
    if (lentCores.compare_exchange_weak(lent, lent - 1)) {
      held_ = true;
      borrowedCores.fetch_add(1);
      return;
    }
  }
}

BorrowedCore::~BorrowedCore() {
  if (held_) lentCores.fetch_add(1);
}
