// Check mode. It takes the entries of img/ exactly as a run does (the same listing, order and
// skipping), decodes each with a decode report, and adds the driver's size check; nothing is
// created or written. Files are decoded on the same ordered workers as a run, so the lines come
// in name order whatever the number of jobs, each just after the warnings of its decode, as in a
// run. A memory failure seen while other files were in flight is tried again alone, as in a run,
// before it is reported. Paths and reasons are written as escaped fields, so a name holding tabs
// or line feeds cannot add a field or a line. An entry whose output a later entry replaces (two
// names with one output name) says so on its line, so the clash shows before a run.

#include "app/check.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "app/escaped_field.h"
#include "app/file_pipeline.h"
#include "app/ordered_run.h"
#include "app/output_names.h"
#include "app/padding.h"
#include "app/run_limits.h"
#include "app/run_report.h"
#include "base/counted_string.h"
#include "base/decode_report.h"
#include "base/platform.h"
#include "image/loader.h"

namespace {

// One file on its way: its paths and what the pipeline made of it, waiting for its turn to be
// reported.
struct CheckResult {
  CountedString inputPath;
  CountedString outputPath;  // for entries of img/
  FileResult file;
};

// The sides outside the converted range, as the reason of a refusal.
void refuseSides(FileResult& file) noexcept {
  const auto outside = [](unsigned side) {
    return side < kMinConvertedSide || side > kMaxConvertedSide;
  };
  if (outside(file.width) && outside(file.height)) {
    refuse(&file.decode, "width %u and height %u are outside %u..%u", file.width, file.height,
           kMinConvertedSide, kMaxConvertedSide);
  } else if (outside(file.width)) {
    refuse(&file.decode, "width %u is outside %u..%u", file.width, kMinConvertedSide,
           kMaxConvertedSide);
  } else {
    refuse(&file.decode, "height %u is outside %u..%u", file.height, kMinConvertedSide,
           kMaxConvertedSide);
  }
}

// The output name a run gives the entry `name` of img/, as outputPathFor builds it (the folder
// left out): the name up to its last dot when at most four bytes follow that dot, then ".bmp";
// otherwise the whole name. Compared byte by byte without being built.
class OutputName {
 public:
  explicit OutputName(const char* name) noexcept : name_(name) {
    const std::size_t length = std::strlen(name);
    const char* dot = std::strrchr(name, '.');
    kept_ = length;
    if (dot != nullptr && length - static_cast<std::size_t>(dot - name) <= kMaxExtensionBytes + 1) {
      kept_ = static_cast<std::size_t>(dot - name);
      replaced_ = true;
    }
  }

  // Negative, zero or positive as this name sorts before, with or after other.
  [[nodiscard]] int compare(const OutputName& other) const noexcept {
    const std::size_t length = this->length();
    const std::size_t otherLength = other.length();
    for (std::size_t at = 0; at < length && at < otherLength; ++at) {
      const unsigned char mine = byteAt(at);
      const unsigned char theirs = other.byteAt(at);
      if (mine != theirs) return mine < theirs ? -1 : 1;
    }
    return length == otherLength ? 0 : length < otherLength ? -1 : 1;
  }

 private:
  static constexpr std::size_t kMaxExtensionBytes = 4;
  static constexpr char kExtension[] = ".bmp";

  [[nodiscard]] std::size_t length() const noexcept {
    return kept_ + (replaced_ ? sizeof kExtension - 1 : 0);
  }
  [[nodiscard]] unsigned char byteAt(std::size_t at) const noexcept {
    return static_cast<unsigned char>(at < kept_ ? name_[at] : kExtension[at - kept_]);
  }

  const char* name_;
  std::size_t kept_ = 0;   // bytes of the name the output keeps
  bool replaced_ = false;  // whether ".bmp" follows them
};

// For each entry of img/, the next entry in name order that has the same output name: a run
// replaces the earlier entry's output with the later one's. Found by sorting the entries by
// output name, in two blocks of one index per entry.
class OutputClashes {
 public:
  static constexpr std::size_t kNone = ~std::size_t{0};

  // False when the blocks cannot be had.
  [[nodiscard]] bool find(const FolderListing& names) noexcept {
    const std::size_t count = names.count();
    next_ = allocateArray<std::size_t>(count);
    const HeapPtr<std::size_t[]> order = allocateArray<std::size_t>(count);
    if (!next_ || !order) return false;
    for (std::size_t entry = 0; entry < count; ++entry) {
      order[entry] = entry;
      next_[entry] = kNone;
    }
    const auto before = [&names](std::size_t left, std::size_t right) {
      const int byName = OutputName(names.name(left)).compare(OutputName(names.name(right)));
      return byName != 0 ? byName < 0 : left < right;
    };
    std::sort(order.get(), order.get() + count, before);
    for (std::size_t at = 1; at < count; ++at) {
      if (OutputName(names.name(order[at - 1])).compare(OutputName(names.name(order[at]))) == 0) {
        next_[order[at - 1]] = order[at];
      }
    }
    return true;
  }

  [[nodiscard]] std::size_t next(std::size_t entry) const noexcept { return next_[entry]; }

 private:
  HeapPtr<std::size_t[]> next_;
};

class CheckJobs final : public OrderedJobs {
 public:
  CheckJobs(const CheckOptions& options, const FolderListing* names, const OutputClashes* clashes,
            std::FILE* out, CheckResult* results, std::uint64_t usable) noexcept
      : options_(options),
        names_(names),
        clashes_(clashes),
        out_(out),
        results_(results),
        usable_(usable) {}

  // A file refused for its estimate holds nothing.
  std::uint64_t cost(std::size_t job) noexcept override {
    const CountedString path = inputPath(job);
    if (path.length() == 0) return 0;
    const std::uint64_t estimate = estimateLoadBytes(path, options_.expand);
    return estimate > usable_ ? 0 : estimate;
  }

  void run(std::size_t job, std::size_t slot) noexcept override {
    CheckResult& result = results_[slot];
    result = CheckResult{};
    FileRequest request;
    if (names_ != nullptr) {
      const char* name = names_->name(job);
      result.inputPath = folderPath(kInputFolder, name);
      if (result.inputPath.length() != 0) result.outputPath = outputPathFor(name);
      request.folderEntry = true;
      if (result.inputPath.length() != 0 && result.outputPath.length() == 0) {
        // No output name: nothing to check it against, unless a run skips the entry anyway.
        const bool skipped = classifyEntry(result.inputPath.text()) == EntryKind::skip;
        result.inputPath = CountedString();
        if (skipped) return;
      }
    } else {
      result.inputPath = CountedString::fromText(options_.paths[job]);
    }
    request.inputPath = result.inputPath;
    request.usableBytes = usable_;
    request.expand = options_.expand;
    BmpRowStage unused;  // nothing is written
    result.file = processFile(request, unused);
  }

  CommitAction commit(std::size_t job, std::size_t slot, bool ranAlone) noexcept override {
    CheckResult& result = results_[slot];
    FileResult& file = result.file;
    if (file.outcome == FileOutcome::skipped) return CommitAction::next;
    const bool memory = file.outcome == FileOutcome::noMemory ||
                        (file.outcome == FileOutcome::cannotLoad && file.decode.outOfMemory);
    if (memory && !ranAlone) return CommitAction::retryAlone;
    reportWarnings(options_.warnings, file.decode);
    if (file.outcome == FileOutcome::badSize) refuseSides(file);
    if (file.outcome != FileOutcome::converted && file.decode.reason[0] == '\0') {
      refuse(&file.decode, "cannot be loaded");
    }
    // A path that could not even be copied is reported by the name it was given.
    const char* shown = result.inputPath.length() != 0 ? result.inputPath.text()
                        : names_ != nullptr            ? names_->name(job)
                                                       : options_.paths[job];
    writeEscapedField(out_, shown);
    if (file.outcome != FileOutcome::converted) {
      std::fputs("\trefused\t", out_);
      writeEscapedField(out_, file.decode.reason);
      report(out_, "\n");
      ++refused_;
      return CommitAction::next;
    }
    if (file.decode.layout[0] != '\0') {
      // Read by expanding: what the file is; the bits after the arrow tell the channels.
      std::fprintf(out_, "\tok\t%s %s %ux%u -> ", formatName(file.decode.format),
                   file.decode.layout, file.width, file.height);
    } else {
      std::fprintf(out_, "\tok\t%s %ux%u %s -> ", formatName(file.decode.format), file.width,
                   file.height, file.channels == 4 ? "RGBA" : "RGB");
    }
    if (names_ != nullptr) {
      writeEscapedField(out_, result.outputPath.text());
      std::fputc(' ', out_);
    }
    std::fprintf(out_, "%ux%u %u-bit", paddedSide(file.width), paddedSide(file.height),
                 file.channels * 8);
    if (names_ != nullptr) noteReplacement(job);
    report(out_, "\n");
    ++converts_;
    return CommitAction::next;
  }

  void drop(std::size_t slot) noexcept override { results_[slot] = CheckResult{}; }

  [[nodiscard]] std::size_t converts() const noexcept { return converts_; }
  [[nodiscard]] std::size_t refused() const noexcept { return refused_; }

 private:
  // " (replaced by img/LATER)" when a later entry that a run converts or tries to (a folder is
  // skipped) has the same output name as the entry `job`.
  void noteReplacement(std::size_t job) const noexcept {
    std::size_t later = clashes_->next(job);
    while (later != OutputClashes::kNone &&
           classifyEntry(inputPath(later).text()) == EntryKind::skip) {
      later = clashes_->next(later);
    }
    if (later == OutputClashes::kNone) return;
    std::fputs(" (replaced by ", out_);
    writeEscapedField(out_, kInputFolder);
    writeEscapedField(out_, kPathSeparator);
    writeEscapedField(out_, names_->name(later));
    std::fputc(')', out_);
  }

  CountedString inputPath(std::size_t job) const noexcept {
    return names_ != nullptr ? folderPath(kInputFolder, names_->name(job))
                             : CountedString::fromText(options_.paths[job]);
  }

  const CheckOptions& options_;
  const FolderListing* names_;    // null: the paths of the options
  const OutputClashes* clashes_;  // of names_, when there are names
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
  OutputClashes clashes;
  if (fromFolder && !clashes.find(names)) {
    report(out, "%s", kMemoryLine);
    return 1;
  }
  const std::unique_ptr<CheckResult[]> results = resultSlots<CheckResult>(jobs, out);
  if (!results) return 1;
  CheckJobs check(options, fromFolder ? &names : nullptr, fromFolder ? &clashes : nullptr, out,
                  results.get(), usable);
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
    report(out, "%s", kMemoryLine);
    return 1;
  }
}
