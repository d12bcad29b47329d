// The real binary on scratch folders, with its real two-second pause.

#include <gtest/gtest.h>

#include "image/byte_io.h"
#include "support/bmp_builder.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

TEST(EndToEnd, ConvertsFolderOfBmpPictures) {
  ScratchFolder folder;
  fs::create_directory(folder.path() / "img");
  writeFile(folder.path() / "img" / "small.bmp", buildBmp({.width = 5, .height = -5}));
  writeFile(folder.path() / "img" / "wide.bmp", buildBmp({.width = 20, .height = 4, .bitsPerPixel = 32}));
  const ProcessResult run = runProcess(std::string("'") + POW2BMP_BINARY + "'", folder.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output,
            "File bmp/small.bmp generated OK, size: 5x5/24\n"
            "File bmp/wide.bmp generated OK, size: 20x4/32\n"
            "OK\n");

  const Bytes small = readFile(folder.path() / "bmp" / "small.bmp");
  ASSERT_EQ(small.size(), 54u + 8u * 8u * 3u);
  const ByteSpan h(small.data(), small.size());
  EXPECT_EQ(readLe32(h, 18), 8u);
  EXPECT_EQ(readLe32(h, 22), 8u);
  EXPECT_EQ(readLe32(h, 38), 5u);
  EXPECT_EQ(readLe32(h, 42), 5u);
  // Top-down input: the last stored row is the bottom row of the output, and the added rows 5..7
  // repeat the first stored row (the top of the picture).
  EXPECT_EQ(small[54], bmpTestPixel(4, 0, 0));
  EXPECT_EQ(small[54 + 7 * 24], bmpTestPixel(0, 0, 0));
  EXPECT_EQ(small[54 + 7 * 3 + 2], bmpTestPixel(4, 4, 2));
}

TEST(EndToEnd, FailureExitsWithStatusOne) {
  ScratchFolder folder;
  const ProcessResult run = runProcess(std::string("'") + POW2BMP_BINARY + "' | cat", folder.path());
  EXPECT_EQ(run.output, "ERROR: Cannot find any image in folder img/*.*\n");
  const ProcessResult status = runProcess(std::string("'") + POW2BMP_BINARY + "' >/dev/null", folder.path());
  EXPECT_EQ(status.status, 1);
}

}  // namespace

namespace {

TEST(EndToEnd, HelpAndVersionTouchNoFolder) {
  ScratchFolder folder;
  const std::string binary = std::string("'") + POW2BMP_BINARY + "'";
  const ProcessResult help = runProcess(binary + " --help", folder.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.rfind("Usage: pow2bmp\n", 0), 0u) << help.output;
  const ProcessResult shortHelp = runProcess(binary + " -h", folder.path());
  EXPECT_EQ(shortHelp.output, help.output);
  const ProcessResult version = runProcess(binary + " --version", folder.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output.rfind("pow2bmp ", 0), 0u) << version.output;
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "bmp"));
}

TEST(EndToEnd, OtherArgumentsAreIgnored) {
  ScratchFolder folder;
  std::filesystem::create_directory(folder.path() / "img");
  const ProcessResult run = runProcess(std::string("'") + POW2BMP_BINARY + "' --frobnicate x", folder.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "OK\n");
}

}  // namespace
