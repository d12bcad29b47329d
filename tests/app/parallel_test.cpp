// Parallel runs against the sequential one, and the ordered-jobs runner under random loads.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/ordered_run.h"
#include "support/bmp_builder.h"
#include "support/jpeg_oracle.h"
#include "support/png_writer.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

namespace fs = std::filesystem;

using Tree = std::map<std::string, Bytes>;

// A name ending in '/' stands for an empty folder.
Tree readTree(const fs::path& folder) {
  Tree tree;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory()) {
      tree[name + "/"] = Bytes{};
    } else {
      tree[name] = readFile(entry.path());
    }
  }
  return tree;
}

void writeTree(const fs::path& folder, const Tree& tree) {
  fs::remove_all(folder);
  fs::create_directory(folder);
  for (const auto& [name, bytes] : tree) {
    if (name.back() == '/') {
      fs::create_directory(folder / name);
    } else {
      writeFile(folder / name, bytes);
    }
  }
}

// A good file of a random format and size, 4 to 40 pixels a side.
Bytes goodPicture(std::mt19937& random) {
  const auto side = [&random] { return static_cast<std::uint16_t>(4 + random() % 37); };
  const std::uint16_t width = side();
  const std::uint16_t height = side();
  switch (random() % 4) {
    case 0:
      return buildBmp({.width = width,
                       .height = height,
                       .bitsPerPixel = static_cast<std::uint16_t>(random() % 2 ? 24 : 32)});
    case 1: {
      const std::uint8_t depth = random() % 2 ? 24 : 32;
      Bytes pixels = tgaTestPixels(width, height, depth / 8u);
      const bool rle = random() % 2 == 0;
      if (rle) pixels = encodeTgaRle(pixels, depth / 8u);
      return buildTga({.imageType = static_cast<std::uint8_t>(rle ? 10 : 2),
                       .width = width,
                       .height = height,
                       .pixelDepth = depth},
                      pixels);
    }
    case 2: {
      return buildPng(makePngPicture(width, height, 8, random() % 2 ? 2 : 6, random() % 2 == 0,
                                     static_cast<std::uint32_t>(random())));
    }
    default:
      return encodeJpeg({.width = width,
                         .height = height,
                         .color = random() % 3 == 0 ? JpegColor::Grey : JpegColor::Rgb,
                         .progressive = random() % 2 == 0});
  }
}

constexpr char kPrematureEnd[] = "Premature end of JPEG file\n";

// A JPEG cut inside the comment segment after its start: the library warns, then gives no
// picture.
Bytes cutInsideComment() {
  constexpr std::size_t kCommentBytes = 300;  // the length field counts itself
  Bytes file = {0xFF, 0xD8, 0xFF, 0xFE, kCommentBytes >> 8, kCommentBytes & 0xFF};
  file.resize(200, 'c');
  return file;
}

// A file that stops the run: bytes no reader takes, a refused PNG (grey), or a picture outside
// 4..8192 pixels; a JPEG that warns first and then gives no picture or one too small.
Bytes failingFile(std::mt19937& random, bool& warns) {
  warns = false;
  switch (random() % 6) {
    case 4:
      warns = true;
      return cutInsideComment();
    case 5:
      warns = true;
      return encodeJpegCutInsideScan({.width = 3, .height = 3, .noise = true});
    case 3:
      return buildPng(makePngPicture(8, 8, 8, 0, false, static_cast<std::uint32_t>(random())));
    case 0: {
      Bytes junk(20 + random() % 200);
      for (std::uint8_t& byte : junk) byte = static_cast<std::uint8_t>('a' + random() % 26);
      return junk;
    }
    case 1:
      return buildBmp({.width = 8193, .height = 4});
    default:
      return buildBmp({.width = static_cast<std::int32_t>(4 + random() % 20), .height = 3});
  }
}

// What a sequential run must print on standard error for a folder, and how many files whose
// decode warns lie before the file that stops it, at it and after it.
struct ExpectedWarnings {
  std::string text;
  unsigned beforeStop = 0;
  unsigned atStop = 0;
  unsigned afterStop = 0;
};

// A file of img/ as makeFolders wrote it.
struct Written {
  std::string output;
  bool warns = false;
  bool fails = false;  // stops the run whatever is in bmp/
};
using WrittenFiles = std::map<std::string, Written>;  // in byte order of their names

// img/ with good files under random names (two names may share an output), some of them JPEGs cut
// short, now and then a failing file at a random place (with manyFailures, besides, about one
// file in four fails), now and then a folder; bmp/ with outputs of some names, now and then a
// folder where an output should go (its rename fails), and a file of no name's. Returns bmp/ as it
// is before a run; the files of img/ go to *filesOut when it is given.
Tree makeFolders(std::mt19937& random, ExpectedWarnings& expected, bool manyFailures = false,
                 WrittenFiles* filesOut = nullptr) {
  WrittenFiles written;
  constexpr const char* kExtensions[] = {".png", ".tga", ".bmp", ".jpg", ""};
  fs::create_directory("img");
  Tree before;
  before["notes.txt"] = Bytes{'k', 'e', 'e', 'p'};
  const auto files = static_cast<unsigned>(3 + random() % 12);
  const auto failAt =
      static_cast<unsigned>(random() % (files + files / 2));  // past the end: no failure
  for (unsigned index = 0; index < files; ++index) {
    const std::string stem = "f" + std::to_string(random() % (files + 4));
    const std::string name = stem + kExtensions[random() % 5];
    if (fs::is_directory("img/" + name)) continue;  // names may repeat
    if (random() % 10 == 0 && !fs::exists("img/" + name)) {
      fs::create_directories("img/" + name);
      continue;
    }
    Written& entry = written[name];
    entry.fails = index == failAt || (manyFailures && random() % 4 == 0);
    entry.warns = random() % 4 == 0;
    if (entry.fails) {
      writeFile("img/" + name, failingFile(random, entry.warns));
    } else if (entry.warns) {
      const auto width = static_cast<int>(5 + random() % 30);
      const auto height = static_cast<int>(5 + random() % 30);
      const bool progressive = random() % 2 == 0;
      writeFile("img/" + name,
                encodeJpegCutInsideScan(
                    {.width = width, .height = height, .progressive = progressive, .noise = true}));
    } else {
      writeFile("img/" + name, goodPicture(random));
    }
    const std::string output = stem + (name == stem ? "" : ".bmp");
    entry.output = output;
    if (random() % 4 == 0 && before.count(output + "/") == 0) before[output] = Bytes(5, 0xAB);
    if (random() % 16 == 0 && before.count(output) == 0) before[output + "/"] = Bytes{};
  }
  expected = ExpectedWarnings{};
  bool stopped = false;
  for (const auto& [name, entry] : written) {
    // A folder in the place of its output stops the run too, after the decode.
    const bool stops = entry.fails || before.count(entry.output + "/") != 0;
    if (entry.warns) {
      if (!stopped) expected.text += kPrematureEnd;
      ++(stopped ? expected.afterStop : entry.fails ? expected.atStop : expected.beforeStop);
    }
    stopped = stopped || stops;
  }
  if (filesOut != nullptr) *filesOut = written;
  return before;
}

struct RunRecord {
  ProcessResult result;
  Tree bmp;
};

RunRecord runWith(const Tree& before, const RunOptions& options) {
  writeTree("bmp", before);
  RunRecord record{runConverterHere(options), {}};
  record.bmp = readTree("bmp");
  return record;
}

// Any number of jobs, and a budget that lets one picture in at a time, give the sequential
// run's report, standard error, status and bmp/, byte for byte. The sequential run's standard
// error holds the library's warning once for each file it reaches whose decode warns, the file
// that stops it included, in name order. Among the folders are some with such files before the
// file that stops the run, at it (which the parallel runs try again alone), and after it.
TEST(ParallelRun, EqualsTheSequentialRunOnRandomFolders) {
  ExpectedWarnings seen;
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const ScratchFolder folder(true);
    std::mt19937 random(seed);
    ExpectedWarnings expected;
    const Tree before = makeFolders(random, expected);
    seen.beforeStop += expected.beforeStop;
    seen.atStop += expected.atStop;
    seen.afterStop += expected.afterStop;
    const RunRecord sequential = runWith(before, {.jobs = 1});
    EXPECT_EQ(sequential.result.warnings, expected.text);
    for (const RunOptions options :
         {RunOptions{.jobs = 2}, RunOptions{.jobs = 3}, RunOptions{.jobs = 8},
          RunOptions{.jobs = 3, .memoryBudget = 1}}) {
      SCOPED_TRACE("jobs " + std::to_string(options.jobs));
      const RunRecord parallel = runWith(before, options);
      EXPECT_EQ(parallel.result.status, sequential.result.status);
      EXPECT_EQ(parallel.result.output, sequential.result.output);
      EXPECT_EQ(parallel.result.warnings, sequential.result.warnings);
      EXPECT_TRUE(parallel.bmp == sequential.bmp);
    }
  }
  EXPECT_GT(seen.beforeStop, 0u);
  EXPECT_GT(seen.atStop, 0u);
  EXPECT_GT(seen.afterStop, 0u);
}

// Going on past failures: any number of jobs gives the sequential run's report, standard
// error, status and bmp/. That run reports every file of img/ in name order, "File ..." for the
// good ones and an ERROR line for each failing one (a bad file, or a folder in the place of its
// output), prints the library's warning of every file that warns, and ends with "OK" or "ERROR:
// N of M files not converted". Of bmp/ it replaces exactly the outputs of the good files: a
// failing file's output, and every file of no good input's, stays as it was.
TEST(ParallelRun, KeepingGoingEqualsTheSequentialRunAndConvertsExactlyTheGoodFiles) {
  unsigned manyFailed = 0;
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const ScratchFolder folder(true);
    std::mt19937 random(seed);
    ExpectedWarnings unused;
    WrittenFiles files;
    const Tree before = makeFolders(random, unused, true, &files);
    std::string warnings;
    std::vector<std::string> linePrefixes;
    Tree replaced;  // the outputs a good file writes, with what bmp/ held there before
    std::size_t failures = 0;
    for (const auto& [name, entry] : files) {
      if (entry.warns) warnings += kPrematureEnd;
      const bool fails = entry.fails || before.count(entry.output + "/") != 0;
      failures += fails ? 1 : 0;
      linePrefixes.push_back(
          fails ? "ERROR: " : withNativeSeparators("File bmp/" + entry.output + " generated OK, "));
      if (!fails)
        replaced[entry.output] = before.count(entry.output) ? before.at(entry.output) : Bytes{};
    }
    manyFailed += failures > 1 ? 1 : 0;
    const RunRecord sequential = runWith(before, {.jobs = 1, .keepGoing = true});
    EXPECT_EQ(sequential.result.status, failures == 0 ? 0 : 1);
    EXPECT_EQ(sequential.result.warnings, warnings);
    std::vector<std::string> lines;
    for (std::size_t at = 0, end = 0;
         (end = sequential.result.output.find('\n', at)) != std::string::npos; at = end + 1) {
      lines.push_back(sequential.result.output.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), files.size() + 1) << sequential.result.output;
    for (std::size_t index = 0; index < linePrefixes.size(); ++index) {
      EXPECT_EQ(lines[index].rfind(linePrefixes[index], 0), 0u) << lines[index];
    }
    EXPECT_EQ(lines.back(), failures == 0
                                ? std::string("OK")
                                : "ERROR: " + std::to_string(failures) + " of " +
                                      std::to_string(files.size()) + " files not converted");
    for (const auto& [name, bytes] : before) {
      if (replaced.count(name) == 0) {
        EXPECT_TRUE(sequential.bmp.count(name) && sequential.bmp.at(name) == bytes) << name;
      }
    }
    for (const auto& [name, bytes] : sequential.bmp) {
      if (before.count(name) == 0) {
        EXPECT_EQ(replaced.count(name), 1u) << name;
      }
    }
    for (const auto& [name, bytes] : replaced) {
      ASSERT_EQ(sequential.bmp.count(name), 1u) << name;
      const Bytes& now = sequential.bmp.at(name);
      EXPECT_TRUE(now.size() > 54 && now[0] == 'B' && now[1] == 'M' && now != bytes) << name;
    }
    for (const RunOptions options :
         {RunOptions{.jobs = 2, .keepGoing = true}, RunOptions{.jobs = 3, .keepGoing = true},
          RunOptions{.jobs = 8, .keepGoing = true},
          RunOptions{.jobs = 3, .keepGoing = true, .memoryBudget = 1}}) {
      SCOPED_TRACE("jobs " + std::to_string(options.jobs));
      const RunRecord parallel = runWith(before, options);
      EXPECT_EQ(parallel.result.status, sequential.result.status);
      EXPECT_EQ(parallel.result.output, sequential.result.output);
      EXPECT_EQ(parallel.result.warnings, sequential.result.warnings);
      EXPECT_TRUE(parallel.bmp == sequential.bmp);
    }
  }
  EXPECT_GT(manyFailed, 5u);
}

// A load of random jobs: random costs and budget, some jobs that fail unless run alone, a stop
// at a random job, finished results that hold random bytes. It checks what the runner promises:
// commits in job order up to the stop, one result per slot, retries alone, the budget kept by
// the jobs running, every result committed or dropped.
class RandomJobs final : public OrderedJobs {
 public:
  RandomJobs(std::mt19937& random, std::size_t count, unsigned workers, std::uint64_t budget,
             bool weighted = false)
      : budget_(budget),
        costs_(count),
        needsAlone_(count),
        weights_(count),
        slots_(slotCount(workers)) {
    for (std::size_t job = 0; job < count; ++job) {
      costs_[job] = 1 + random() % 100;
      needsAlone_[job] = random() % 8 == 0;
      heldBytes_.push_back(kFinishedResultBytes / 8 * (random() % 4));
      weights_[job] = weighted ? random() % 4 : 0;
    }
    stopAt_ = random() % (count + count / 2);  // past the end: no stop
  }

  std::uint64_t cost(std::size_t job) noexcept override { return costs_[job]; }

  std::uint64_t weight(std::size_t job) noexcept override { return weights_[job]; }

  void run(std::size_t job, std::size_t slot) noexcept override {
    const int running = ++running_;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      EXPECT_TRUE(runningCost_ == 0 || runningCost_ + costs_[job] <= budget_) << job;
      runningCost_ += costs_[job];
    }
    std::this_thread::yield();
    const std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_FALSE(slots_[slot].full) << job;
    slots_[slot] = {true, needsAlone_[job], running > 1, job};
    held_ += costs_[job];
    runningCost_ -= costs_[job];
    --running_;
  }

  std::uint64_t heldBytes(std::size_t slot) noexcept override {
    const std::lock_guard<std::mutex> lock(mutex_);
    return heldBytes_[slots_[slot].job];
  }

  CommitAction commit(std::size_t job, std::size_t slot, bool ranAlone) noexcept override {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Result result = slots_[slot];
    EXPECT_TRUE(result.full && result.job == job) << job;
    release(slot);
    if (ranAlone) {
      EXPECT_FALSE(result.concurrent) << job;
    } else if (result.needsAlone) {
      return CommitAction::retryAlone;
    }
    committed_.push_back(job);
    return job == stopAt_ ? CommitAction::stop : CommitAction::next;
  }

  void drop(std::size_t slot) noexcept override {
    const std::lock_guard<std::mutex> lock(mutex_);
    release(slot);
  }

  void check(std::size_t count, bool complete) const {
    std::vector<std::size_t> expected;
    for (std::size_t job = 0; job < count && (job == 0 || job - 1 != stopAt_); ++job) {
      expected.push_back(job);
    }
    EXPECT_EQ(committed_, expected);
    EXPECT_EQ(complete, stopAt_ >= count);
    EXPECT_EQ(held_, 0u);
  }

 private:
  struct Result {
    bool full = false;
    bool needsAlone = false;  // fails unless it ran alone
    bool concurrent = false;  // another job ran while it did
    std::size_t job = 0;
  };

  void release(std::size_t slot) {
    if (slots_[slot].full) held_ -= costs_[slots_[slot].job];
    slots_[slot] = Result{};
  }

  const std::uint64_t budget_;
  std::vector<std::uint64_t> costs_;
  std::vector<bool> needsAlone_;
  std::vector<std::uint64_t> weights_;
  std::vector<std::uint64_t> heldBytes_;
  std::size_t stopAt_ = 0;
  std::atomic<int> running_{0};
  std::mutex mutex_;
  std::vector<Result> slots_;
  std::vector<std::size_t> committed_;
  std::uint64_t held_ = 0;         // the costs of the results not yet committed or dropped
  std::uint64_t runningCost_ = 0;  // the costs of the jobs running
};

TEST(OrderedJobs, CommitInOrderRetryAloneAndKeepTheBudget) {
  for (std::uint32_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::size_t count = 1 + random() % 60;
    const unsigned workers = 1 + static_cast<unsigned>(random() % 8);
    const std::uint64_t budget = random() % 3 == 0 ? 1 : 50 + random() % 400;
    RandomJobs jobs(random, count, workers, budget);
    const bool complete = runOrderedJobs(jobs, count, workers, budget);
    jobs.check(count, complete);
  }
}

TEST(OrderedJobs, WeightedJobsStartOutOfOrderAndCommitInOrder) {
  for (std::uint32_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::size_t count = 1 + random() % 60;
    const unsigned workers = 2 + static_cast<unsigned>(random() % 7);
    const std::uint64_t budget = random() % 3 == 0 ? 1 : 50 + random() % 400;
    RandomJobs jobs(random, count, workers, budget, true);
    const bool complete = runOrderedJobs(jobs, count, workers, budget);
    jobs.check(count, complete);
  }
}

// Jobs that record their commits, made in job order, and drop nothing of their own.
class CommitsInOrder : public OrderedJobs {
 public:
  CommitAction commit(std::size_t job, std::size_t slot, bool ranAlone) noexcept override {
    static_cast<void>(slot);
    static_cast<void>(ranAlone);
    committed_.push_back(job);
    return CommitAction::next;
  }

  void drop(std::size_t slot) noexcept override { static_cast<void>(slot); }

  // Read once the run has returned.
  [[nodiscard]] const std::vector<std::size_t>& committed() const noexcept { return committed_; }

 private:
  std::vector<std::size_t> committed_;
};

// Jobs in order that hold one job back until a worker finds nothing to claim: the mutex and
// the condition guard the derived class's records as well.
class SeesWorkersWait : public CommitsInOrder {
 public:
  void workerWaits() noexcept override {
    const std::lock_guard<std::mutex> lock(mutex_);
    workerWaited_ = true;
    changed_.notify_all();
  }

 protected:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool workerWaited_ = false;
};

std::vector<std::size_t> firstJobs(std::size_t count) {
  std::vector<std::size_t> jobs(count);
  for (std::size_t job = 0; job < count; ++job) jobs[job] = job;
  return jobs;
}

// The last of `count` jobs weighs the most; the first waits until it has started (which, with
// the jobs started in order, the other worker reaches after all the rest) or a worker waits.
// Records which jobs had started when the heavy one did.
class HeavyLastJob final : public SeesWorkersWait {
 public:
  explicit HeavyLastJob(std::size_t count) noexcept : count_(count) {}

  std::uint64_t cost(std::size_t job) noexcept override {
    static_cast<void>(job);
    return 1;
  }

  std::uint64_t weight(std::size_t job) noexcept override { return job + 1 == count_ ? 100 : 1; }

  void run(std::size_t job, std::size_t slot) noexcept override {
    static_cast<void>(slot);
    std::unique_lock<std::mutex> lock(mutex_);
    if (job + 1 == count_) {
      startedBeforeHeavy_ = started_;
      heavyStarted_ = true;
      changed_.notify_all();
    }
    started_.push_back(job);
    if (job == 0) changed_.wait(lock, [this] { return heavyStarted_ || workerWaited_; });
  }

  // Read once the run has returned.
  [[nodiscard]] const std::vector<std::size_t>& startedBeforeHeavy() const noexcept {
    return startedBeforeHeavy_;
  }

 private:
  const std::size_t count_;
  std::vector<std::size_t> started_;
  std::vector<std::size_t> startedBeforeHeavy_;
  bool heavyStarted_ = false;
};

// Also when the heavy job is further down the list than there are slots for results.
TEST(OrderedJobs, TheHeaviestJobWithinTheLookaheadStartsFirst) {
  for (const std::size_t count : {std::size_t{8}, slotCount(2) + 10}) {
    SCOPED_TRACE("jobs " + std::to_string(count));
    ASSERT_LE(count, lookahead(2));
    HeavyLastJob jobs(count);
    ASSERT_TRUE(runOrderedJobs(jobs, count, 2, 100));
    // The heavy job is claimed first, job 0 beside it: nothing else can have started.
    for (const std::size_t job : jobs.startedBeforeHeavy()) EXPECT_EQ(job, 0u);
    EXPECT_EQ(jobs.committed(), firstJobs(count));
  }
}

// Every job past the window of waiting results weighs more than those in it; job 0 runs until a
// worker waits (no slot is left for it). Records the jobs that ran before job 0 ended.
class HeavyJobsPastTheWindow final : public SeesWorkersWait {
 public:
  explicit HeavyJobsPastTheWindow(std::size_t window) noexcept : window_(window) {}

  std::uint64_t cost(std::size_t job) noexcept override {
    static_cast<void>(job);
    return 1;
  }

  std::uint64_t weight(std::size_t job) noexcept override { return job >= window_ ? 100 : 1; }

  void run(std::size_t job, std::size_t slot) noexcept override {
    static_cast<void>(slot);
    std::unique_lock<std::mutex> lock(mutex_);
    if (job == 0) {
      changed_.wait(lock, [this] { return workerWaited_; });
      ranBeforeFirst_ = ran_;
    } else {
      ran_.push_back(job);
    }
  }

  // Read once the run has returned.
  [[nodiscard]] const std::vector<std::size_t>& ranBeforeFirst() const noexcept {
    return ranBeforeFirst_;
  }

 private:
  const std::size_t window_;
  std::vector<std::size_t> ran_;
  std::vector<std::size_t> ranBeforeFirst_;
};

// Heavy jobs further ahead than the results allowed to wait take one slot per worker at most:
// the window's own jobs all run past a long first job, as they would without weights.
TEST(OrderedJobs, HeavyJobsPastTheWindowLeaveItsSlotsToIt) {
  const unsigned workers = 2;
  const std::size_t window = slotCount(workers) - workers;
  HeavyJobsPastTheWindow jobs(window);
  ASSERT_TRUE(runOrderedJobs(jobs, lookahead(workers), workers, 100));
  std::vector<std::size_t> ran = jobs.ranBeforeFirst();
  std::sort(ran.begin(), ran.end());
  ASSERT_EQ(ran.size(), slotCount(workers) - 1);
  for (std::size_t job = 1; job < window; ++job) EXPECT_EQ(ran[job - 1], job);
  EXPECT_EQ(jobs.committed(), firstJobs(lookahead(workers)));
}

// Job 0 runs until `finished` later jobs have run, or a worker waits while jobs remain: the
// other workers go on past a long job, as far as the bounds of finished results allow. Every
// later job costs `cost` and its result holds `held` bytes; job 0 costs `cost` too.
class LongFirstJob final : public SeesWorkersWait {
 public:
  LongFirstJob(std::size_t finished, std::uint64_t cost, std::uint64_t held) noexcept
      : finished_(finished), cost_(cost), held_(held) {}

  std::uint64_t cost(std::size_t job) noexcept override {
    static_cast<void>(job);
    return cost_;
  }

  void run(std::size_t job, std::size_t slot) noexcept override {
    static_cast<void>(slot);
    std::unique_lock<std::mutex> lock(mutex_);
    if (job == 0) {
      changed_.wait(lock, [this] { return done_ >= finished_ || workerWaited_; });
      doneBeforeFirst_ = done_;
      waitedBeforeFirst_ = workerWaited_;
    } else {
      ++done_;
      changed_.notify_all();
    }
  }

  std::uint64_t heldBytes(std::size_t slot) noexcept override { return slot == 0 ? 0 : held_; }

  // Read once the run has returned.
  [[nodiscard]] std::size_t doneBeforeFirst() const noexcept { return doneBeforeFirst_; }
  [[nodiscard]] bool waitedBeforeFirst() const noexcept { return waitedBeforeFirst_; }

 private:
  const std::size_t finished_;
  const std::uint64_t cost_;
  const std::uint64_t held_;
  std::size_t done_ = 0;
  std::size_t doneBeforeFirst_ = 0;
  bool waitedBeforeFirst_ = false;
};

TEST(OrderedJobs, WorkersGoOnPastALongJobWhileTheFinishedResultsFit) {
  for (const unsigned workers : {2u, 3u, 8u}) {
    SCOPED_TRACE("workers " + std::to_string(workers));
    // Every later job runs while job 0 does: three per worker, more than two per worker
    // ahead of the next commit.
    const std::size_t later = 3 * std::size_t{workers};
    ASSERT_LE(later + workers, slotCount(workers));
    LongFirstJob jobs(later, 1, 0);
    ASSERT_TRUE(runOrderedJobs(jobs, later + 1, workers, 100));
    EXPECT_EQ(jobs.doneBeforeFirst(), later);
    EXPECT_FALSE(jobs.waitedBeforeFirst());
    EXPECT_EQ(jobs.committed(), firstJobs(later + 1));
  }
}

TEST(OrderedJobs, TheBudgetCountsTheJobsRunningNotTheResultsWaiting) {
  // Two jobs fill the budget: job 0 and one later job at a time.
  const std::size_t later = 6;
  LongFirstJob jobs(later, 50, 0);
  ASSERT_TRUE(runOrderedJobs(jobs, later + 1, 2, 100));
  EXPECT_EQ(jobs.doneBeforeFirst(), later);
  EXPECT_FALSE(jobs.waitedBeforeFirst());
  EXPECT_EQ(jobs.committed(), firstJobs(later + 1));
}

TEST(OrderedJobs, NoJobStartsOnceTheFinishedResultsFillTheirBytes) {
  // Each later result holds a third of the bytes: the third one fills them.
  const std::size_t later = 8;
  LongFirstJob jobs(later, 1, kFinishedResultBytes / 3 + 1);
  ASSERT_TRUE(runOrderedJobs(jobs, later + 1, 2, 100));
  EXPECT_EQ(jobs.doneBeforeFirst(), 3u);
  EXPECT_TRUE(jobs.waitedBeforeFirst());
  EXPECT_EQ(jobs.committed(), firstJobs(later + 1));
}

TEST(OrderedJobs, NoJobStartsOnceTheFinishedResultsFillTheirSlots) {
  const unsigned workers = 2;
  const std::size_t later = slotCount(workers) + 4;
  LongFirstJob jobs(later, 1, 0);
  ASSERT_TRUE(runOrderedJobs(jobs, later + 1, workers, 100));
  EXPECT_EQ(jobs.doneBeforeFirst(), slotCount(workers) - 1);
  EXPECT_TRUE(jobs.waitedBeforeFirst());
  EXPECT_EQ(jobs.committed(), firstJobs(later + 1));
}

}  // namespace
