// Batch driver. Entries of img/ are taken in byte order of their names; folders, links to
// folders and special files are skipped, everything else is converted. The run stops at the
// first file that cannot be converted; files written before it stay.
//
// With several jobs, files are loaded and written under temporary names on worker threads while
// this thread puts them in place and reports them in name order: see ConvertJobs.
//
// The output name is the input name with an extension of at most four bytes after its last dot
// replaced by ".bmp"; a name without a dot, or with a longer extension, is kept whole.

#include "app/driver.h"

#include <cstring>
#include <memory>
#include <new>

#include "app/bmp_writer.h"
#include "app/conversion_rules.h"
#include "app/ordered_run.h"
#include "base/counted_string.h"
#include "base/platform.h"
#include "image/loader.h"

namespace {

enum class Outcome { skipped, converted, noMemory, tooLarge, cannotLoad, badSize };

// What converting one entry of img/ came to, waiting for its turn to be reported and put in
// place.
struct FileResult {
  Outcome outcome = Outcome::skipped;
  CountedString inputPath;
  CountedString outputPath;
  TemporaryFile output;  // the padded BMP file under its temporary name, when written
  BmpWriteResult written = BmpWriteResult::written;  // when converted
  unsigned width = 0;
  unsigned height = 0;
  unsigned channels = 0;
};

// The rows on their way to the output files of this thread, kept from one file to the next.
thread_local BmpRowStage rowStage;

// Gives the calling thread's row stage back when a run ends, so each run starts as the first
// did (the workers' stages go with their threads).
class RowStageRelease {
 public:
  RowStageRelease() noexcept = default;
  ~RowStageRelease() { rowStage = BmpRowStage{}; }
  RowStageRelease(const RowStageRelease&) = delete;
  RowStageRelease& operator=(const RowStageRelease&) = delete;
};

// Loads one entry of img/, checks its sides and writes its padded BMP file under a temporary
// name: every step but putting the file in place. A file whose estimated peak is above `usable`
// bytes is not read.
FileResult convertEntry(const char* name, std::uint64_t usable) noexcept {
  FileResult result;
  result.inputPath = folderPath(kInputFolder, name);
  if (result.inputPath.length() == 0) {
    result.outcome = Outcome::noMemory;
    return result;
  }
  if (classifyEntry(result.inputPath.text()) == EntryKind::skip) return result;
  result.outputPath = outputPathFor(name);
  if (result.outputPath.length() == 0) {
    result.outcome = Outcome::noMemory;
    return result;
  }
  if (exceedsMemory(result.inputPath, usable)) {
    result.outcome = Outcome::tooLarge;
    return result;
  }
  ImagePtr image = loadImageFile(result.inputPath);
  if (!image) {
    result.outcome = Outcome::cannotLoad;
    return result;
  }
  result.width = image->width;
  result.height = image->height;
  result.channels = image->channels;
  if (!convertedSides(result.width, result.height)) {
    result.outcome = Outcome::badSize;
    return result;
  }
  if (!reserveBmpRowStage(rowStage, *image)) {
    result.outcome = Outcome::noMemory;
    return result;
  }
  result.written =
      writePaddedBmpTemporary(result.outputPath.text(), *image, rowStage, result.output);
  result.outcome = Outcome::converted;
  return result;
}

// The entries of img/ as ordered jobs: workers load and write the padded output files under
// temporary names, the committer renames them over their names and reports them in name order, so
// the files in bmp/ and the report are those of a sequential run; the temporary files of results
// dropped after a stop are removed. A load, memory or write failure seen while other files were
// in flight may be for lack of the memory or disk space they held, so it is tried again alone
// before it is reported.
class ConvertJobs final : public OrderedJobs {
 public:
  ConvertJobs(const FolderListing& names, std::FILE* out, FileResult* results,
              std::uint64_t usable) noexcept
      : names_(names), out_(out), results_(results), usable_(usable) {}

  // A file refused for its size holds nothing.
  std::uint64_t cost(std::size_t job) noexcept override {
    const CountedString inputPath = folderPath(kInputFolder, names_.name(job));
    if (inputPath.length() == 0) return 0;
    const std::uint64_t estimate = estimateLoadBytes(inputPath);
    return estimate > usable_ ? 0 : estimate;
  }

  void run(std::size_t job, std::size_t slot, bool alone) noexcept override {
    static_cast<void>(alone);
    results_[slot] = convertEntry(names_.name(job), usable_);
  }

  CommitAction commit(std::size_t job, std::size_t slot, bool ranAlone) noexcept override {
    static_cast<void>(job);
    FileResult& result = results_[slot];
    const bool mayBeMemory =
        result.outcome == Outcome::noMemory || result.outcome == Outcome::cannotLoad;
    if (mayBeMemory && !ranAlone) return CommitAction::retryAlone;
    switch (result.outcome) {
      case Outcome::skipped:
        return CommitAction::next;
      case Outcome::noMemory:
      case Outcome::tooLarge:
        report(out_, "ERROR: memory\n");
        return CommitAction::stop;
      case Outcome::cannotLoad:
        report(out_, "ERROR: Cannot load input image %s\n", result.inputPath.text());
        return CommitAction::stop;
      case Outcome::badSize:
        report(out_, "ERROR: Width and height must be in range %u..%u pixels\n", kMinConvertedSide,
               kMaxConvertedSide);
        return CommitAction::stop;
      case Outcome::converted:
        break;
    }
    if (result.written != BmpWriteResult::written && !ranAlone) return CommitAction::retryAlone;
    const char* outputPath = result.outputPath.text();
    const BmpWriteResult written = result.written == BmpWriteResult::written
                                       ? commitBmpFile(result.output, outputPath)
                                       : result.written;
    if (written == BmpWriteResult::cannotCreate) {
      report(out_, "ERROR: cannot create output file %s\n", outputPath);
      return CommitAction::stop;
    }
    if (written == BmpWriteResult::cannotWrite) {
      report(out_, "ERROR: cannot write to %s\n", outputPath);
      return CommitAction::stop;
    }
    report(out_, "File %s generated OK, size: %ux%u/%u\n", outputPath, result.width, result.height,
           result.channels * 8);
    return CommitAction::next;
  }

  void drop(std::size_t slot) noexcept override { results_[slot].output.discard(); }

 private:
  const FolderListing& names_;
  std::FILE* out_;
  FileResult* results_;
  std::uint64_t usable_;  // the memory the process may use, taken once before the run
};

// Large-block reuse for one run: the blocks of a file (its bytes, its picture, the readers'
// scratch) serve the next files instead of fresh pages. A few blocks per worker are kept, in at
// most a quarter of the memory budget; the jobs get the rest.
class BlockReuse {
 public:
  BlockReuse(unsigned jobs, std::uint64_t budget) noexcept : keptBytes_(budget / 4) {
    setLargeBlockReuse(std::size_t{4} * jobs + 4, static_cast<std::size_t>(keptBytes_));
  }
  ~BlockReuse() { setLargeBlockReuse(0, 0); }
  BlockReuse(const BlockReuse&) = delete;
  BlockReuse& operator=(const BlockReuse&) = delete;

  [[nodiscard]] std::uint64_t keptBytes() const noexcept { return keptBytes_; }

 private:
  std::uint64_t keptBytes_;
};

// Room for a temporary file in every result slot of a run, for the life of the run.
class TemporaryFileRoom {
 public:
  explicit TemporaryFileRoom(unsigned jobs) noexcept
      : reserved_(reserveTemporaryFiles(slotCount(jobs))) {}
  ~TemporaryFileRoom() { releaseTemporaryFiles(); }
  TemporaryFileRoom(const TemporaryFileRoom&) = delete;
  TemporaryFileRoom& operator=(const TemporaryFileRoom&) = delete;

  [[nodiscard]] bool reserved() const noexcept { return reserved_; }

 private:
  bool reserved_;
};

// One batch: the report lines and the exit status, without the pause.
int convertAll(std::FILE* out, const RunOptions& options) {
  createFolder(kOutputFolder);
  removeStaleTemporaryFiles(kOutputFolder);
  FolderListing names;
  if (!listInputFolder(names, out)) return 1;
  const unsigned jobs = workerCount(options.jobs);
  const std::uint64_t usable = usableMemoryBytes();
  const std::uint64_t budget = pictureBudget(options.memoryBudget, usable);
  // Made before the results, so it outlives every temporary file they hold.
  const TemporaryFileRoom room(jobs);
  if (!room.reserved()) {
    report(out, "ERROR: memory\n");
    return 1;
  }
  // One result per slot, a few dozen bytes each; the pictures are what the budget bounds.
  const std::unique_ptr<FileResult[]> results = resultSlots<FileResult>(jobs, out);
  if (!results) return 1;
  const BlockReuse reuse(jobs, budget);
  const RowStageRelease stageRelease;
  ConvertJobs convert(names, out, results.get(), usable);
  if (!runOrderedJobs(convert, names.count(), jobs, budget - reuse.keptBytes())) return 1;
  report(out, "OK\n");
  return 0;
}

}  // namespace

int runConverter(std::FILE* out, PauseFunction pause, const RunOptions& options) {
  int status = 1;
  try {
    status = convertAll(out, options);
  } catch (...) {
    // Nothing on the way is meant to throw: every block comes from heapAllocate and failures
    // travel as results. Should a library call throw all the same (std::bad_alloc, the one
    // exception the standard library raises on a sound path), the run ends with the memory
    // report rather than an abort, and still pauses.
    report(out, "ERROR: memory\n");
    status = 1;
  }
  pause();
  return status;
}
