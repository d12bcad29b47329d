// The per-file pipeline's outcomes are typed: running out of memory is told by its kind at every
// allocation a conversion makes, in every reader, never by the words of a reason.

#include "app/file_pipeline.h"

#include <gtest/gtest.h>

#include <string>

#include "base/heap.h"
#include "support/bmp_builder.h"
#include "support/jpeg_oracle.h"
#include "support/png_writer.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

namespace fs = std::filesystem;

// Lets 0, 1, 2, ... allocations succeed until a conversion does: every failure on the way is a
// memory failure by kind (noMemory, or cannotLoad with the reason's kind outOfMemory), and the
// one that succeeds writes the file.
TEST(FilePipeline, EveryAllocationFailureIsAMemoryFailureByKind) {
  ScratchFolder folder;
  const std::pair<const char*, Bytes> pictures[] = {
      {"p.bmp", buildBmp({.width = 9, .height = 6})},
      {"p.tga", buildTga({.imageType = 10, .width = 6, .height = 5, .pixelDepth = 32},
                         encodeTgaRle(tgaTestPixels(6, 5, 4), 4))},
      {"p.png", buildPng(makePngPicture(20, 17, 8, 6, true, 7))},
      {"p.jpg", encodeJpeg({.width = 33, .height = 17, .subsampled = true})},
  };
  for (const auto& [name, bytes] : pictures) {
    const fs::path input = folder.path() / name;
    const std::string output = (folder.path() / "out.bmp").string();
    writeFile(input, bytes);
    FileRequest request;
    request.inputPath = CountedString::fromText(input.string().c_str());
    request.output = OutputKind::temporary;
    request.outputPath = output.c_str();
    long failures = 0;
    FileOutcome outcome = FileOutcome::noMemory;
    for (long succeeding = 0; succeeding < 200 && outcome != FileOutcome::converted; ++succeeding) {
      BmpRowStage stage;
      failAllocationsAfter(succeeding);
      FileResult result = processFile(request, stage);
      failAllocationsAfter(-1);
      outcome = result.outcome;
      if (outcome == FileOutcome::converted) {
        commitOutput(result, output.c_str());
        EXPECT_EQ(result.outcome, FileOutcome::converted);
        break;
      }
      ++failures;
      const bool byKind = outcome == FileOutcome::noMemory ||
                          (outcome == FileOutcome::cannotLoad && result.decode.outOfMemory);
      EXPECT_TRUE(byKind) << name << " after " << succeeding << ": outcome "
                          << static_cast<int>(outcome) << ", " << result.decode.reason;
    }
    EXPECT_EQ(outcome, FileOutcome::converted) << name;
    EXPECT_GT(failures, 1) << name;
    EXPECT_TRUE(fs::exists(output)) << name;
    fs::remove(output);
  }
}

// The usable memory a call for one file reads only when it asks: counted here, and as large as
// the test says.
int usableAsked = 0;
std::uint64_t usableAnswer = 0;
std::uint64_t countedUsableBytes() noexcept {
  ++usableAsked;
  return usableAnswer;
}

// A small picture is converted without asking for the usable memory, even when the answer would
// have refused it; a picture estimated beyond kSurelyUsableBytes asks once, and is refused
// before it is read when the answer is too small, or read (and found damaged) when it is not.
TEST(FilePipeline, TheUsableMemoryIsAskedOnlyForAPictureBeyondWhatIsSurelyUsable) {
  ScratchFolder folder;
  const fs::path small = folder.path() / "small.bmp";
  const fs::path large = folder.path() / "large.jpg";
  writeFile(small, buildBmp({.width = 9, .height = 6}));
  // A JPEG whose frame header is not in its first 64 KiB, behind two comment segments: it counts
  // as the largest picture until it is read, and has no picture to read.
  Bytes comments = {0xFF, 0xD8};
  for (int segment = 0; segment < 2; ++segment) {
    comments.insert(comments.end(), {0xFF, 0xFE, 0xFF, 0xFF});
    comments.resize(comments.size() + 0xFFFD, ' ');
  }
  comments.insert(comments.end(), {0xFF, 0xD9});
  writeFile(large, comments);
  const auto run = [](const fs::path& input, std::uint64_t answer) {
    FileRequest request;
    request.inputPath = CountedString::fromText(input.string().c_str());
    request.usableBytesSource = countedUsableBytes;
    usableAsked = 0;
    usableAnswer = answer;
    BmpRowStage stage;
    return processFile(request, stage).outcome;
  };

  EXPECT_EQ(run(small, 1), FileOutcome::converted);
  EXPECT_EQ(usableAsked, 0);
  EXPECT_EQ(run(large, kSurelyUsableBytes), FileOutcome::noMemory);
  EXPECT_EQ(usableAsked, 1);
  EXPECT_EQ(run(large, std::uint64_t{1} << 40), FileOutcome::cannotLoad);
  EXPECT_EQ(usableAsked, 1);
}

}  // namespace
