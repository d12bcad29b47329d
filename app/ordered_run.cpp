// Ordered parallel jobs: one mutex and one condition variable guard the claim counters, the slot
// states, the budget and the bytes of finished results; jobs run and commits happen with the
// mutex released. A job takes a free slot when it is claimed and keeps it until it is committed
// or dropped, so the slots bound the results waiting for their turn. While the next job to
// commit has not started, the last free slot is kept for it, so it can always start. Among the
// jobs not started within lookahead(workers) of the next commit, a worker claims the heaviest
// (weight), the first in job order among equals, so a large job late in the folder does not
// start last and run alone while the other workers idle. Jobs past the window of the results
// allowed to wait (the slots less one per worker) hold at most one slot per worker between
// them: their results wait long, and the slots they held would be missing from the window. Costs
// are granted in claim order. A job's cost goes back to the budget as soon as it has run; the bytes
// its result holds (heldBytes) count against kFinishedResultBytes until the result is committed or
// dropped.
//
// A retry drains the run first: no new job starts, jobs still waiting for their cost to fit
// give their claim back, running ones finish. The finished results of later jobs are dropped
// and those jobs run again after the retry, so the retried job has the process to itself, as
// it would in a sequential run.

#include "app/ordered_run.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "base/platform.h"
#include "base/spare_cores.h"

namespace {

enum class SlotState { free, running, done };

// A weight not asked for yet; a job that weighs this much is taken as one less.
constexpr std::uint64_t kUnweighed = ~std::uint64_t{0};

// The slot of a job that holds none: not started, given back, committed or dropped.
constexpr std::size_t kNoSlot = ~std::size_t{0};

struct Slot {
  SlotState state = SlotState::free;
  std::size_t job = 0;     // the job holding the slot, unless it is free
  std::uint64_t cost = 0;  // bytes granted from the budget while the job runs
  std::uint64_t held = 0;  // bytes the finished result holds until commit or drop
};

class Coordinator {
 public:
  Coordinator(OrderedJobs& jobs, std::size_t count, unsigned workers, std::uint64_t budget)
      : jobs_(jobs),
        count_(count),
        slotCount_(slotCount(workers)),
        window_(slotCount_ - workers),
        earlySlots_(workers),
        lookahead_(lookahead(workers)),
        budget_(budget),
        slots_(slotCount_),
        slotOfJob_(count, kNoSlot),
        weights_(count, kUnweighed) {
    freeSlots_.reserve(slotCount_);
    for (std::size_t index = slotCount_; index > 0; --index) freeSlots_.push_back(index - 1);
  }

  void work() noexcept;
  [[nodiscard]] bool commitAll() noexcept;
  void stop() noexcept {
    const Lock lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  void finish() noexcept;

 private:
  using Lock = std::unique_lock<std::mutex>;

  [[nodiscard]] bool started(std::size_t job) const noexcept { return slotOfJob_[job] != kNoSlot; }
  // The job a worker would claim now, or count_. Once the finished results fill their bytes,
  // or when one free slot is left, only the next job to commit, should it not have started
  // (heavier ones went first), for without it no result would ever leave.
  [[nodiscard]] std::size_t pick() noexcept {
    if (freeSlots_.empty()) return count_;
    const bool nextWaits = nextCommit_ < count_ && !started(nextCommit_);
    if (held_ >= kFinishedResultBytes || (nextWaits && freeSlots_.size() == 1)) {
      return nextWaits ? nextCommit_ : count_;
    }
    const std::size_t end = count_ - nextCommit_ < lookahead_ ? count_ : nextCommit_ + lookahead_;
    const std::size_t early = nextCommit_ + window_;  // the first job started early
    std::size_t startedEarly = 0;
    for (const Slot& slot : slots_) {
      if (slot.state != SlotState::free && slot.job >= early) ++startedEarly;
    }
    std::size_t best = count_;
    for (std::size_t job = nextCommit_; job < end; ++job) {
      if (started(job) || (job >= early && startedEarly >= earlySlots_)) continue;
      if (weights_[job] == kUnweighed) {
        const std::uint64_t weight = jobs_.weight(job);
        weights_[job] = weight == kUnweighed ? weight - 1 : weight;
      }
      if (best == count_ || weights_[job] > weights_[best]) best = job;
    }
    return best;
  }
  [[nodiscard]] bool mayClaim() noexcept { return !paused_ && pick() < count_; }
  // Jobs remain to be started, whether or not the bounds let one start now: every job from the
  // next commit on that has started holds a slot.
  [[nodiscard]] bool jobsToStart() const noexcept {
    return count_ - nextCommit_ > slotCount_ - freeSlots_.size();
  }
  [[nodiscard]] bool fits(std::uint64_t cost) const noexcept {
    return used_ == 0 || (used_ <= budget_ && cost <= budget_ - used_);
  }
  // Gives job a free slot (pick found one) and marks it running.
  [[nodiscard]] std::size_t takeSlot(std::size_t job) noexcept {
    const std::size_t index = freeSlots_.back();
    freeSlots_.pop_back();
    slots_[index].state = SlotState::running;
    slots_[index].job = job;
    slotOfJob_[job] = index;
    return index;
  }
  // Frees a slot with whatever its job held; the job, unless committed, may be claimed again.
  void release(std::size_t index) noexcept {
    Slot& slot = slots_[index];
    if (slot.state == SlotState::free) return;
    used_ -= slot.cost;
    held_ -= slot.held;
    slotOfJob_[slot.job] = kNoSlot;
    slot = Slot{};
    freeSlots_.push_back(index);
  }
  [[nodiscard]] CommitAction retryAlone(std::size_t job) noexcept;

  OrderedJobs& jobs_;
  const std::size_t count_;
  const std::size_t slotCount_;
  const std::size_t window_;      // jobs from the next commit on that start as they come
  const std::size_t earlySlots_;  // slots that jobs past the window may hold at once
  const std::size_t lookahead_;
  const std::uint64_t budget_;

  std::mutex mutex_;
  std::condition_variable changed_;  // any change below; waiters test their own condition
  std::vector<Slot> slots_;
  std::vector<std::size_t> freeSlots_;  // the free slots, the next to take last
  std::vector<std::size_t> slotOfJob_;  // each job's slot while it holds one, else kNoSlot
  std::vector<std::uint64_t> weights_;  // each job's weight, once asked (kUnweighed before)
  std::size_t nextClaim_ = 0;           // the number the next claim gets, in claim order
  std::size_t nextGrant_ = 0;           // the claim whose cost may be granted next
  std::size_t nextCommit_ = 0;          // next job to commit
  std::size_t claimed_ = 0;             // jobs claimed and not yet done or given back
  std::uint64_t used_ = 0;              // bytes granted to the jobs running
  std::uint64_t held_ = 0;              // bytes the finished results not yet committed hold
  bool paused_ = false;                 // a retry is draining the run
  bool stopping_ = false;               // no job is to start any more
};

void Coordinator::work() noexcept {
  blockInterruptSignalsInThisThread();
  Lock lock(mutex_);
  while (true) {
    if (!stopping_ && !paused_ && !mayClaim() && jobsToStart()) {
      lock.unlock();
      jobs_.workerWaits();
      lock.lock();
    }
    changed_.wait(lock, [this] { return stopping_ || mayClaim(); });
    if (stopping_) return;
    const std::size_t job = pick();
    const std::size_t ticket = nextClaim_++;
    const std::size_t index = takeSlot(job);
    Slot& slot = slots_[index];
    ++claimed_;
    lendSpareCores(-1);
    lock.unlock();
    const std::uint64_t cost = jobs_.cost(job);
    lock.lock();
    const auto mayRun = [&] {
      return stopping_ || paused_ || (nextGrant_ == ticket && fits(cost));
    };
    if (!mayRun() && nextGrant_ == ticket) {
      lock.unlock();
      jobs_.workerWaits();
      lock.lock();
    }
    changed_.wait(lock, mayRun);
    if (stopping_ || paused_) {
      // The claim goes back; a retry starts again after it, an ending run never gets here.
      release(index);
      --claimed_;
      lendSpareCores(1);
      changed_.notify_all();
      continue;
    }
    slot.cost = cost;
    used_ += cost;
    ++nextGrant_;
    changed_.notify_all();
    lock.unlock();
    jobs_.run(job, index);
    const std::uint64_t held = jobs_.heldBytes(index);
    lock.lock();
    slot.state = SlotState::done;
    used_ -= slot.cost;
    slot.cost = 0;
    slot.held = held;
    held_ += held;
    --claimed_;
    lendSpareCores(1);
    changed_.notify_all();
  }
}

CommitAction Coordinator::retryAlone(std::size_t job) noexcept {
  Lock lock(mutex_);
  paused_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return claimed_ == 0; });
  // Nothing runs now: later results go, and their jobs run again after this one.
  const std::size_t own = slotOfJob_[job];
  for (std::size_t index = 0; index < slotCount_; ++index) {
    if (index == own || slots_[index].state != SlotState::done) continue;
    jobs_.drop(index);
    release(index);
  }
  nextGrant_ = nextClaim_;  // every claim not granted was given back
  lock.unlock();
  jobs_.drop(own);
  jobs_.run(job, own);
  CommitAction action = jobs_.commit(job, own, true);
  lock.lock();
  paused_ = false;
  changed_.notify_all();
  return action == CommitAction::retryAlone ? CommitAction::stop : action;
}

bool Coordinator::commitAll() noexcept {
  for (std::size_t job = 0; job < count_; ++job) {
    std::size_t index = kNoSlot;
    {
      Lock lock(mutex_);
      changed_.wait(lock, [&] {
        index = slotOfJob_[job];
        return index != kNoSlot && slots_[index].state == SlotState::done;
      });
    }
    CommitAction action = jobs_.commit(job, index, false);
    if (action == CommitAction::retryAlone) action = retryAlone(job);
    const Lock lock(mutex_);
    release(index);
    ++nextCommit_;
    changed_.notify_all();
    if (action == CommitAction::stop) return false;
  }
  return true;
}

// Called once the workers are joined: results the run never reached go.
void Coordinator::finish() noexcept {
  for (std::size_t index = 0; index < slotCount_; ++index) {
    if (slots_[index].state == SlotState::done) jobs_.drop(index);
    release(index);
  }
}

bool runSequentially(OrderedJobs& jobs, std::size_t count) noexcept {
  for (std::size_t job = 0; job < count; ++job) {
    jobs.run(job, 0);
    if (jobs.commit(job, 0, true) != CommitAction::next) return false;
  }
  return true;
}

}  // namespace

bool runOrderedJobs(OrderedJobs& jobs, std::size_t count, unsigned workers,
                    std::uint64_t budgetBytes) noexcept {
  if (workers <= 1) return runSequentially(jobs, count);
  if (count <= 1) {
    // One job on this thread: the other workers' cores are free for it to borrow.
    const SpareCoreLoan loan(static_cast<int>(workers) - 1);
    return runSequentially(jobs, count);
  }
  bool complete = false;
  try {
    Coordinator coordinator(jobs, count, workers, budgetBytes);
    std::vector<std::thread> threads;
    threads.reserve(workers);
    limitThreadAddressSpace();
    try {
      for (unsigned index = 0; index < workers; ++index) {
        threads.emplace_back([&coordinator] { coordinator.work(); });
      }
    } catch (...) {
      // The system gave fewer threads than asked: the run goes on with those it gave.
    }
    if (threads.empty()) return runSequentially(jobs, count);
    // Each worker takes a core back while it has a job.
    const SpareCoreLoan loan(static_cast<int>(threads.size()));
    complete = coordinator.commitAll();
    coordinator.stop();
    for (std::thread& thread : threads) thread.join();
    coordinator.finish();
  } catch (...) {
    // Only the vector of threads can throw here, before any thread starts.
    return runSequentially(jobs, count);
  }
  return complete;
}
