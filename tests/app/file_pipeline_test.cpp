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

}  // namespace
