#pragma once
// Cores a batch run has and no job of its own is using. The runner lends them while fewer jobs
// run than it has workers; a reader working on a large picture may borrow one for a helper
// thread, and gives it back when the picture is done. Outside a run none are lent, so a reader
// never starts a thread of its own.

#include <cstdint>

// Adds count cores to those lent (a negative count takes them back); the lent count may go
// below zero while borrowed cores are out.
void lendSpareCores(int count) noexcept;

// The number of cores borrowed so far in the process, for tests.
[[nodiscard]] std::uint64_t coresBorrowedSoFar() noexcept;

// One core borrowed for the life of the object, when one was lent.
class BorrowedCore {
 public:
  BorrowedCore() noexcept;
  ~BorrowedCore();
  BorrowedCore(const BorrowedCore&) = delete;
  BorrowedCore& operator=(const BorrowedCore&) = delete;

  [[nodiscard]] bool held() const noexcept { return held_; }

 private:
  bool held_ = false;
};

// Lends count cores for the life of the object.
class SpareCoreLoan {
 public:
  explicit SpareCoreLoan(int count) noexcept : count_(count) { lendSpareCores(count_); }
  ~SpareCoreLoan() { lendSpareCores(-count_); }
  SpareCoreLoan(const SpareCoreLoan&) = delete;
  SpareCoreLoan& operator=(const SpareCoreLoan&) = delete;

 private:
  int count_;
};
