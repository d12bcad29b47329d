// Check mode. It takes the entries of img/ exactly as a run does (the same listing, order and
// skipping), decodes each with a decode report, and adds the driver's size check; nothing is
// created or written. Files are decoded on the same ordered workers as a run, so the lines come
// in name order whatever the number of jobs. A memory failure seen while other files were in
// flight is tried again alone, as in a run, before it is reported.

#include "app/check.h"

#include <cstring>
#include <memory>
#include <new>

#include "app/conversion_rules.h"
#include "app/ordered_run.h"
#include "app/padding.h"
#include "base/counted_string.h"
#include "base/decode_report.h"
#include "base/platform.h"
#include "image/loader.h"

namespace {

// The verdict on one file, waiting for its turn to be reported.
struct CheckResult {
  bool listed = false;  // false: an entry a run skips (no line)
  bool converts = false;
  bool noMemory = false;  // refused for want of memory: worth a try alone
  CountedString inputPath;
  CountedString outputPath;  // for entries of img/
  DecodeReport decode;
  unsigned width = 0;
  unsigned height = 0;
  unsigned channels = 0;
};

// The sides outside the converted range, as the reason of a refusal.
void refuseSides(CheckResult& result) noexcept {
  const auto outside = [](unsigned side) {
    return side < kMinConvertedSide || side > kMaxConvertedSide;
  };
  if (outside(result.width) && outside(result.height)) {
    refuse(&result.decode, "width %u and height %u are outside %u..%u", result.width, result.height,
           kMinConvertedSide, kMaxConvertedSide);
  } else if (outside(result.width)) {
    refuse(&result.decode, "width %u is outside %u..%u", result.width, kMinConvertedSide,
           kMaxConvertedSide);
  } else {
    refuse(&result.decode, "height %u is outside %u..%u", result.height, kMinConvertedSide,
           kMaxConvertedSide);
  }
}

// Decodes one file and judges it as a run would: a file whose estimated peak is above `usable`
// bytes is refused for want of memory without being read.
void checkFile(CheckResult& result, std::uint64_t usable) noexcept {
  result.listed = true;
  if (result.inputPath.length() == 0) {
    result.noMemory = true;
    refuse(&result.decode, "%s", kOutOfMemoryReason);
    return;
  }
  if (exceedsMemory(result.inputPath, usable)) {
    refuse(&result.decode, "%s", kOutOfMemoryReason);
    return;
  }
  const unsigned long failuresBefore = heapFailureCount();
  ImagePtr image = loadImageFile(result.inputPath, &result.decode);
  if (!image) {
    result.noMemory = heapFailureCount() != failuresBefore ||
                      std::strcmp(result.decode.reason, kOutOfMemoryReason) == 0;
    if (result.decode.reason[0] == '\0') refuse(&result.decode, "cannot be loaded");
    return;
  }
  result.width = image->width;
  result.height = image->height;
  result.channels = image->channels;
  if (!convertedSides(result.width, result.height)) {
    refuseSides(result);
    return;
  }
  result.converts = true;
}

class CheckJobs final : public OrderedJobs {
 public:
  CheckJobs(const CheckOptions& options, const FolderListing* names, std::FILE* out,
            CheckResult* results, std::uint64_t usable) noexcept
      : options_(options), names_(names), out_(out), results_(results), usable_(usable) {}

  // A file refused for its size holds nothing.
  std::uint64_t cost(std::size_t job) noexcept override {
    const CountedString path = inputPath(job);
    if (path.length() == 0) return 0;
    const std::uint64_t estimate = estimateLoadBytes(path);
    return estimate > usable_ ? 0 : estimate;
  }

  void run(std::size_t job, std::size_t slot, bool alone) noexcept override {
    static_cast<void>(alone);
    CheckResult& result = results_[slot];
    result = CheckResult{};
    if (names_ != nullptr) {
      const char* name = names_->name(job);
      result.inputPath = folderPath(kInputFolder, name);
      if (result.inputPath.length() != 0 &&
          classifyEntry(result.inputPath.text()) == EntryKind::skip) {
        return;
      }
      result.outputPath = outputPathFor(name);
      if (result.outputPath.length() == 0) result.inputPath = CountedString();
    } else {
      result.inputPath = CountedString::fromText(options_.paths[job]);
    }
    checkFile(result, usable_);
  }

  CommitAction commit(std::size_t job, std::size_t slot, bool ranAlone) noexcept override {
    CheckResult& result = results_[slot];
    if (!result.listed) return CommitAction::next;
    if (result.noMemory && !ranAlone) return CommitAction::retryAlone;
    // A path that could not even be copied is reported by the name it was given.
    const char* shown = result.inputPath.length() != 0 ? result.inputPath.text()
                        : names_ != nullptr            ? names_->name(job)
                                                       : options_.paths[job];
    if (!result.converts) {
      report(out_, "%s\trefused\t%s\n", shown, result.decode.reason);
      ++refused_;
      return CommitAction::next;
    }
    const unsigned paddedWidth = paddedSide(result.width);
    const unsigned paddedHeight = paddedSide(result.height);
    const char* layout = result.channels == 4 ? "RGBA" : "RGB";
    if (names_ != nullptr) {
      report(out_, "%s\tok\t%s %ux%u %s -> %s %ux%u %u-bit\n", shown,
             formatName(result.decode.format), result.width, result.height, layout,
             result.outputPath.text(), paddedWidth, paddedHeight, result.channels * 8);
    } else {
      report(out_, "%s\tok\t%s %ux%u %s -> %ux%u %u-bit\n", shown, formatName(result.decode.format),
             result.width, result.height, layout, paddedWidth, paddedHeight, result.channels * 8);
    }
    ++converts_;
    return CommitAction::next;
  }

  void drop(std::size_t slot) noexcept override { results_[slot] = CheckResult{}; }

  [[nodiscard]] std::size_t converts() const noexcept { return converts_; }
  [[nodiscard]] std::size_t refused() const noexcept { return refused_; }

 private:
  CountedString inputPath(std::size_t job) const noexcept {
    return names_ != nullptr ? folderPath(kInputFolder, names_->name(job))
                             : CountedString::fromText(options_.paths[job]);
  }

  const CheckOptions& options_;
  const FolderListing* names_;  // null: the paths of the options
  std::FILE* out_;
  CheckResult* results_;
  std::uint64_t usable_;  // the memory the process may use, taken once before the run
  std::size_t converts_ = 0;
  std::size_t refused_ = 0;
};

int checkAll(std::FILE* out, const CheckOptions& options) noexcept {
  FolderListing names;
  const bool fromFolder = options.pathCount == 0;
  if (fromFolder && !listInputFolder(names, out)) return 1;
  const unsigned jobs = workerCount(options.jobs);
  const std::uint64_t usable = usableMemoryBytes();
  const std::uint64_t budget = pictureBudget(options.memoryBudget, usable);
  const std::unique_ptr<CheckResult[]> results = resultSlots<CheckResult>(jobs, out);
  if (!results) return 1;
  CheckJobs check(options, fromFolder ? &names : nullptr, out, results.get(), usable);
  const std::size_t count = fromFolder ? names.count() : options.pathCount;
  if (!runOrderedJobs(check, count, jobs, budget)) return 1;
  const std::size_t checked = check.converts() + check.refused();
  report(out, "%zu file%s checked: %zu would convert, %zu would not\n", checked,
         checked == 1 ? "" : "s", check.converts(), check.refused());
  return check.refused() == 0 ? 0 : 1;
}

}  // namespace

int runCheck(std::FILE* out, const CheckOptions& options) noexcept {
  try {
    return checkAll(out, options);
  } catch (...) {
    // As in a run: nothing is meant to throw, and a memory failure is reported, not an abort.
    report(out, "ERROR: memory\n");
    return 1;
  }
}
