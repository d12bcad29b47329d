// Batch driver. Entries of img/ are taken in byte order of their names; folders, links to
// folders and special files are skipped, everything else is converted. The run stops at the
// first file that cannot be converted; files written before it stay. Asked to keep going, it
// reports such a file and goes on, and ends by counting the files it could not convert.
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
#include "app/file_pipeline.h"
#include "app/ordered_run.h"
#include "app/output_names.h"
#include "app/padding.h"
#include "app/run_limits.h"
#include "app/run_report.h"
#include "base/counted_string.h"
#include "base/heap.h"
#include "base/platform.h"
#include "image/loader.h"

namespace {

// One entry of img/ on its way: its paths and what the pipeline made of it, waiting for its turn
// to be reported and put in place.
struct EntryResult {
  CountedString inputPath;
  CountedString outputPath;
  FileResult file;
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

// Runs one entry of img/ through the pipeline, its padded BMP file written under a temporary
// name: every step but putting the file in place.
void convertEntry(const char* name, std::uint64_t usable, bool expand,
                  EntryResult& entry) noexcept {
  entry = EntryResult{};
  entry.inputPath = folderPath(kInputFolder, name);
  if (entry.inputPath.length() != 0) entry.outputPath = outputPathFor(name);
  if (entry.inputPath.length() != 0 && entry.outputPath.length() == 0) {
    const bool skipped = classifyEntry(entry.inputPath.text()) == EntryKind::skip;
    entry.file.outcome = skipped ? FileOutcome::skipped : FileOutcome::noMemory;
    return;
  }
  FileRequest request;
  request.inputPath = entry.inputPath;
  request.folderEntry = true;
  request.output = OutputKind::temporary;
  request.outputPath = entry.outputPath.text();
  request.usableBytes = usable;
  request.expand = expand;
  entry.file = processFile(request, rowStage);
}

// The entries of img/ as ordered jobs: workers load and write the padded output files under
// temporary names, the committer renames them over their names and reports them in name order, so
// the files in bmp/ and the report are those of a sequential run; the temporary files of results
// dropped after a stop are removed. A load, memory or write failure seen while other files were
// in flight may be for lack of the memory or disk space they held, so it is tried again alone
// before it is reported. The warnings of a file's decode are printed as it is reported, from the
// run that is reported (a retry's, not the first), so they too are those of a sequential run.
// A failure reported stops the run, or with keepGoing is counted and the run goes on.
class ConvertJobs final : public OrderedJobs {
 public:
  ConvertJobs(const FolderListing& names, std::FILE* out, std::FILE* warnings, bool keepGoing,
              bool expand, EntryResult* results, std::uint64_t usable) noexcept
      : names_(names),
        out_(out),
        warnings_(warnings),
        keepGoing_(keepGoing),
        expand_(expand),
        results_(results),
        usable_(usable) {}

  // A file refused for its estimate holds nothing.
  std::uint64_t cost(std::size_t job) noexcept override {
    const std::uint64_t estimate =
        estimates_ && estimates_[job] != 0 ? estimates_[job] - 1 : estimateOf(job);
    return estimate > usable_ ? 0 : estimate;
  }

  // A file's load estimate stands for its work: it grows with the picture's pixels, by which
  // decoding and writing take their time, where the file's bytes would put a large picture that
  // compresses well (a big JPEG) behind a small uncompressed one. The heaviest files of the
  // lookahead start first, so the last large picture does not run alone at the end while the
  // other workers wait. The estimate is kept for cost, which would read the same head again.
  std::uint64_t weight(std::size_t job) noexcept override {
    if (!estimatesAsked_) {  // only parallel runs weigh their files
      estimatesAsked_ = true;
      estimates_.reset(
          static_cast<std::uint64_t*>(heapAllocateZeroed(names_.count() * sizeof(std::uint64_t))));
    }
    const std::uint64_t estimate = estimateOf(job);
    if (estimates_ && estimate != ~std::uint64_t{0}) estimates_[job] = estimate + 1;
    return estimate;
  }

  void run(std::size_t job, std::size_t slot) noexcept override {
    convertEntry(names_.name(job), usable_, expand_, results_[slot]);
  }

  CommitAction commit(std::size_t job, std::size_t slot, bool ranAlone) noexcept override {
    static_cast<void>(job);
    EntryResult& entry = results_[slot];
    FileResult& file = entry.file;
    const FileOutcome outcome = file.outcome;
    const bool failed = outcome != FileOutcome::converted && outcome != FileOutcome::skipped;
    // A side outside the range is the picture's own; every other failure may be for want of
    // what the files in flight held.
    if (failed && outcome != FileOutcome::badSize && !ranAlone) return CommitAction::retryAlone;
    reportWarnings(warnings_, file.decode);
    commitOutput(file, entry.outputPath.text());
    reportOutcome(out_, file, entry.inputPath.text(), entry.outputPath.text());
    if (file.outcome == FileOutcome::skipped) return CommitAction::next;
    ++files_;
    if (file.outcome == FileOutcome::converted) return CommitAction::next;
    ++failures_;
    return keepGoing_ ? CommitAction::next : CommitAction::stop;
  }

  void drop(std::size_t slot) noexcept override { results_[slot].file.output.discard(); }

  // A converted result waits for its turn as a temporary file of the padded picture.
  std::uint64_t heldBytes(std::size_t slot) noexcept override {
    const FileResult& file = results_[slot].file;
    if (file.outcome != FileOutcome::converted) return 0;
    return kBmpHeaderBytes +
           std::uint64_t{paddedSide(file.width)} * paddedSide(file.height) * file.channels;
  }

  // The files reported so far, skipped entries not counted, and those of them that failed.
  [[nodiscard]] std::size_t files() const noexcept { return files_; }
  [[nodiscard]] std::size_t failures() const noexcept { return failures_; }

 private:
  [[nodiscard]] std::uint64_t estimateOf(std::size_t job) const noexcept {
    const CountedString inputPath = folderPath(kInputFolder, names_.name(job));
    return inputPath.length() == 0 ? 0 : estimateLoadBytes(inputPath, expand_);
  }

  const FolderListing& names_;
  std::FILE* out_;
  std::FILE* warnings_;
  bool keepGoing_;
  bool expand_;
  EntryResult* results_;
  std::uint64_t usable_;  // the memory the process may use, taken once before the run
  // Each file's estimate plus one once weighed, 0 before; none when the block could not be had.
  // Made at the first weight, which comes before any cost.
  HeapPtr<std::uint64_t[]> estimates_;
  bool estimatesAsked_ = false;
  std::size_t files_ = 0;
  std::size_t failures_ = 0;
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
  // Through a link, outputs would replace the pictures of the same name and join the next run's
  // inputs: nothing is written or swept.
  if (identifyFile(kOutputFolder).sameAs(identifyFile(kInputFolder))) {
    report(out, "ERROR: output folder %s is the input folder %s itself\n", kOutputFolder,
           kInputFolder);
    return 1;
  }
  removeStaleTemporaryFiles(kOutputFolder);
  FolderListing names;
  if (!listInputFolder(names, out)) return 1;
  const unsigned jobs = workerCount(options.jobs);
  const std::uint64_t usable = usableMemoryBytes();
  const std::uint64_t budget = pictureBudget(options.memoryBudget, usable);
  // Made before the results, so it outlives every temporary file they hold.
  const TemporaryFileRoom room(jobs);
  if (!room.reserved()) {
    report(out, "%s", kMemoryLine);
    return 1;
  }
  // One result per slot, a few dozen bytes each; the pictures are what the budget bounds.
  const std::unique_ptr<EntryResult[]> results = resultSlots<EntryResult>(jobs, out);
  if (!results) return 1;
  const BlockReuse reuse(jobs, budget);
  const RowStageRelease stageRelease;
  ConvertJobs convert(names, out, options.warnings, options.keepGoing, options.expand,
                      results.get(), usable);
  if (!runOrderedJobs(convert, names.count(), jobs, budget - reuse.keptBytes())) return 1;
  if (convert.failures() != 0) {
    report(out, "ERROR: %zu of %zu files not converted\n", convert.failures(), convert.files());
    return 1;
  }
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
    report(out, "%s", kMemoryLine);
    status = 1;
  }
  pause();
  return status;
}
