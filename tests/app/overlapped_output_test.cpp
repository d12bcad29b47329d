// A large PNG converted with a spare core, its output written while it is decoded, against the
// same file converted on one thread: the same file out (and the one libpng's decode gives), the
// same outcome and reason for damage after many rows, no file left behind by a failure.

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "app/file_pipeline.h"
#include "base/heap.h"
#include "base/spare_cores.h"
#include "support/png_writer.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

struct Converted {
  FileOutcome outcome = FileOutcome::skipped;
  std::string reason;
  bool outOfMemory = false;
  bool failed = false;               // the one allocation armed to fail did
  Bytes output;                      // the file put in place, when converted
  std::vector<std::string> entries;  // the folder afterwards
};

// Converts input (in its own scratch folder) to out.bmp beside it, as a run does, with
// lentCores cores lent, allocations failing after succeedingAllocations (-1: none fail), and
// (outside Windows) the file size limited to fileSizeLimit bytes (0: no limit); with oneFails,
// only the allocation after succeedingAllocations fails.
Converted convert(const Bytes& input, int lentCores, long succeedingAllocations = -1,
                  std::uint64_t fileSizeLimit = 0, bool oneFails = false) {
  ScratchFolder folder;
  const fs::path inputPath = folder.path() / "in.png";
  const std::string output = (folder.path() / "out.bmp").string();
  writeFile(inputPath, input);
  FileRequest request;
  request.inputPath = CountedString::fromText(inputPath.string().c_str());
  request.output = OutputKind::temporary;
  request.outputPath = output.c_str();
  Converted converted;
  {
    const SpareCoreLoan loan(lentCores);
    BmpRowStage stage;
#ifndef _WIN32
    std::optional<FileSizeLimit> sizeLimit;
    if (fileSizeLimit != 0) sizeLimit.emplace(fileSizeLimit);
#else
    static_cast<void>(fileSizeLimit);
#endif
    if (oneFails) {
      failOneAllocationAfter(succeedingAllocations);
    } else {
      failAllocationsAfter(succeedingAllocations);
    }
    FileResult result = processFile(request, stage);
    converted.failed = oneFails && armedFailureHappened();
    failAllocationsAfter(-1);
    commitOutput(result, output.c_str());
    converted.outcome = result.outcome;
    converted.reason = result.decode.reason;
    converted.outOfMemory = result.decode.outOfMemory;
  }
  if (converted.outcome == FileOutcome::converted) converted.output = readFile(output);
  converted.entries = entriesOf(folder.path());
  return converted;
}

Bytes pngFile(std::uint32_t width, std::uint32_t height, std::uint8_t colourType,
              const Bytes& zlib) {
  return joinBytes({pngSignature(), pngChunk("IHDR", pngHeaderData(width, height, 8, colourType)),
                    pngChunk("IDAT", zlib), pngChunk("IEND", {})});
}

// A random RGB or RGBA picture of one to three MiB of scanlines, a random filter per scanline.
PngPicture randomPicture(std::mt19937& random) {
  const std::uint8_t colourType = random() % 2 == 0 ? 2 : 6;
  const auto width = static_cast<std::uint32_t>(500 + random() % 700);
  const auto height = static_cast<std::uint32_t>(700 + random() % 500);
  PngPicture picture =
      makePngPicture(width, height, 8, colourType, false, static_cast<std::uint32_t>(random()));
  picture.filters.clear();
  for (int row = 0; row < 61; ++row)
    picture.filters.push_back(static_cast<std::uint8_t>(random() % 5));
  return picture;
}

TEST(OverlappedOutput, LargePngGivesTheFileOfOneThreadAndOfLibpng) {
  const std::uint64_t borrowedBefore = coresBorrowedSoFar();
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const Bytes input = buildPng(randomPicture(random));
    const Converted alone = convert(input, 0);
    const Converted overlapped = convert(input, 1);
    ASSERT_EQ(overlapped.outcome, FileOutcome::converted);
    EXPECT_EQ(alone.outcome, FileOutcome::converted);
    EXPECT_TRUE(overlapped.output == alone.output);
    EXPECT_TRUE(overlapped.output == expectedBmpFile(input));
    EXPECT_EQ(overlapped.entries, (std::vector<std::string>{"in.png", "out.bmp"}));
  }
  EXPECT_EQ(coresBorrowedSoFar() - borrowedBefore, 4u);
}

// Damage after most of the rows are decoded (and so written): a filter type above 4, or the
// zlib data cut short. The outcome and the reason are those of one thread, and nothing but the
// input is left in the folder.
TEST(OverlappedOutput, DamageAfterManyRowsLeavesNoFileAndTheSameReason) {
  for (int damage = 0; damage < 2; ++damage) {
    SCOPED_TRACE("damage " + std::to_string(damage));
    PngPicture picture = makePngPicture(900, 1000, 8, 2, false, 17);
    picture.filters.assign(1000, 0);
    for (std::size_t row = 0; row < picture.filters.size(); ++row) {
      picture.filters[row] = static_cast<std::uint8_t>(row * 7 % 5);
    }
    if (damage == 0) picture.filters[900] = 9;
    Bytes zlib = zlibCompress(pngScanlines(picture), 1);
    if (damage == 1) zlib.resize(zlib.size() * 9 / 10);
    const Bytes input = pngFile(900, 1000, 2, zlib);
    const Converted alone = convert(input, 0);
    const Converted overlapped = convert(input, 1);
    EXPECT_EQ(alone.outcome, FileOutcome::cannotLoad);
    EXPECT_EQ(overlapped.outcome, FileOutcome::cannotLoad);
    EXPECT_FALSE(overlapped.reason.empty());
    EXPECT_EQ(overlapped.reason, alone.reason);
    EXPECT_EQ(overlapped.entries, std::vector<std::string>{"in.png"});
  }
}

// Every allocation failure on the way to a converted large PNG is a memory failure by kind, as
// on one thread, and leaves no file behind.
TEST(OverlappedOutput, AllocationFailuresAreMemoryFailuresAndLeaveNoFile) {
  std::mt19937 random(5);
  const Bytes input = buildPng(randomPicture(random));
  long succeeding = 0;
  for (; succeeding < 100; ++succeeding) {
    const Converted overlapped = convert(input, 1, succeeding);
    if (overlapped.outcome == FileOutcome::converted) break;
    const bool byKind = overlapped.outcome == FileOutcome::noMemory ||
                        (overlapped.outcome == FileOutcome::cannotLoad && overlapped.outOfMemory);
    EXPECT_TRUE(byKind) << succeeding << ": " << static_cast<int>(overlapped.outcome);
    EXPECT_EQ(overlapped.entries, std::vector<std::string>{"in.png"}) << succeeding;
  }
  EXPECT_GT(succeeding, 2);
  EXPECT_LT(succeeding, 100);
}

// A block the conversion can do without (it still converts when that one allocation fails)
// must not make damage found later a memory failure: the damaged picture keeps its reason.
TEST(OverlappedOutput, AMissingOptionalBlockLeavesDamageItsOwnReason) {
  PngPicture picture = makePngPicture(600, 600, 8, 2, false, 23);  // just over 1 MiB of rows
  picture.filters.assign(600, 1);
  const Bytes intact = pngFile(600, 600, 2, zlibCompress(pngScanlines(picture), 1));
  picture.filters[550] = 9;
  const Bytes damaged = pngFile(600, 600, 2, zlibCompress(pngScanlines(picture), 1));
  const std::string reason = convert(damaged, 0).reason;
  ASSERT_FALSE(reason.empty());
  int optional = 0;
  for (long succeeding = 0; succeeding < 100; ++succeeding) {
    const Converted done = convert(intact, 1, succeeding, 0, true);
    if (!done.failed) break;  // past the last allocation
    if (done.outcome != FileOutcome::converted) continue;
    ++optional;
    const Converted refused = convert(damaged, 1, succeeding, 0, true);
    EXPECT_EQ(refused.outcome, FileOutcome::cannotLoad) << succeeding;
    EXPECT_EQ(refused.reason, reason) << succeeding;
    EXPECT_FALSE(refused.outOfMemory) << succeeding;
    EXPECT_EQ(refused.entries, std::vector<std::string>{"in.png"}) << succeeding;
  }
  EXPECT_GT(optional, 0);
}

#ifndef _WIN32
// A write beyond the file size limit is a write failure, as on one thread, and the file goes.
TEST(OverlappedOutput, WriteFailureIsReportedAsOnOneThread) {
  std::mt19937 random(9);
  const Bytes input = buildPng(randomPicture(random));
  for (const std::uint64_t limit : {std::uint64_t{40}, std::uint64_t{3} << 20}) {
    const Converted alone = convert(input, 0, -1, limit);
    const Converted overlapped = convert(input, 1, -1, limit);
    EXPECT_EQ(alone.outcome, FileOutcome::cannotWrite) << limit;
    EXPECT_EQ(overlapped.outcome, FileOutcome::cannotWrite) << limit;
    EXPECT_EQ(overlapped.entries, std::vector<std::string>{"in.png"}) << limit;
  }
}
#endif

}  // namespace
