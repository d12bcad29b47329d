#pragma once
// Jobs run in parallel, results taken in order. Jobs 0 .. count-1 run on worker threads; each
// keeps its result in a slot of its own until the calling thread, one job at a time and in job
// order, commits it. A job that has run but whose turn never comes (the run stopped before it)
// is dropped instead. With one worker no thread is started: each job runs, then is committed,
// on the calling thread, exactly as a plain loop would.
//
// Bounds: the byte budget is for running jobs: a job starts only when its cost estimate fits
// beside the estimates of the jobs still running, and gives its cost back when it has run, since
// a result waiting for its turn holds no picture. Costs are granted in the order jobs are
// claimed (job order unless weights say otherwise), and a job whose cost alone exceeds the
// budget runs once nothing else is accounted, so one job always runs. The results waiting for
// their turn have bounds of their own: a job starts only while one of the slotCount(workers)
// result slots is free (the last one only for the next job to commit) and it is fewer than
// lookahead(workers) jobs ahead of the next commit (past slotCount(workers) - workers, at most
// one such job per worker holds a slot), and while the finished results not yet
// committed hold fewer than kFinishedResultBytes (heldBytes) unless it is the next to commit.
// Until one of these is reached, a worker that has finished a job takes another, however long
// an earlier job runs.

#include <cstddef>
#include <cstdint>

enum class CommitAction {
  next,        // the result is taken; go on with the next job
  stop,        // the result is taken and the run ends: later results are dropped
  retryAlone,  // run this job again with no other job in flight, then commit it again
};

class OrderedJobs {
 public:
  virtual ~OrderedJobs() = default;

  // The bytes the job may hold from its start to its commit: an estimate that errs high. Called
  // on the thread that will run the job, before it runs.
  [[nodiscard]] virtual std::uint64_t cost(std::size_t job) noexcept = 0;

  // Does the job's work and keeps its result in slot (below slotCount(workers)). Called on a
  // worker thread, or on the calling thread when there is one worker or for a retry.
  virtual void run(std::size_t job, std::size_t slot) noexcept = 0;

  // Takes the result of job from slot, in job order on the calling thread. ranAlone tells
  // whether the result came from a run with no other job in flight; retryAlone is then taken
  // as stop.
  [[nodiscard]] virtual CommitAction commit(std::size_t job, std::size_t slot,
                                            bool ranAlone) noexcept = 0;

  // Releases the result in slot without taking it.
  virtual void drop(std::size_t slot) noexcept = 0;

  // The bytes the finished result in slot keeps outside memory (its temporary file, say) until
  // it is committed or dropped. Called on the thread that ran the job, right after run.
  [[nodiscard]] virtual std::uint64_t heldBytes(std::size_t slot) noexcept {
    static_cast<void>(slot);
    return 0;
  }

  // How much work the job is expected to be, in any unit (its input's bytes, say). Among the jobs
  // allowed to start (those within the lookahead), a worker takes the heaviest first, the first in
  // job order among equals; commits stay in job order. Asked at most once per job and run, with the
  // run's lock held, on any of its threads: it must be quick and must not call back into the run.
  [[nodiscard]] virtual std::uint64_t weight(std::size_t job) noexcept {
    static_cast<void>(job);
    return 0;
  }

  // Called on a worker thread about to wait although jobs remain to be started: the finished
  // results fill their bounds, or the next job's cost does not fit beside the jobs running. It
  // must return at once; tests use it to see a worker idle.
  virtual void workerWaits() noexcept {}
};

// The bytes the finished results of a run may keep outside memory before no further job starts.
inline constexpr std::uint64_t kFinishedResultBytes = std::uint64_t{1} << 30;

// The finished results per worker that may wait for their turn, at least kMinFinishedResults in
// all: a long job holds back the commits of the files after it while the other workers go on.
inline constexpr std::size_t kFinishedResultsPerWorker = 8;
inline constexpr std::size_t kMinFinishedResults = 16;

// The number of result slots a run with the given number of workers uses: enough for every
// worker to run a job while the finished results the run allows wait for their turn.
[[nodiscard]] constexpr std::size_t slotCount(unsigned workers) noexcept {
  if (workers <= 1) return 1;
  const std::size_t finished = kFinishedResultsPerWorker * workers;
  return workers + (finished < kMinFinishedResults ? kMinFinishedResults : finished);
}

// How far past the next commit a job may start: far enough that a large file well down the list
// starts with the first ones; the results it may leave waiting are still bounded by the slots.
[[nodiscard]] constexpr std::size_t lookahead(unsigned workers) noexcept {
  return 4 * slotCount(workers);
}

// Runs the jobs with up to `workers` threads (fewer when the system refuses more) and the given
// byte budget. Returns true when every job was committed with next, false when a commit
// stopped the run.
[[nodiscard]] bool runOrderedJobs(OrderedJobs& jobs, std::size_t count, unsigned workers,
                                  std::uint64_t budgetBytes) noexcept;
