// The real binary on scratch folders, with its real two-second pause. The Wine build of this
// file runs the Windows program instead, on the same pictures, held to the same reports (read as
// Linux's) and to the same BMP bytes, which come from this build's own decode and padding.

#include <gtest/gtest.h>

#include "base/byte_io.h"
#include "support/binary_under_test.h"
#include "support/bmp_builder.h"
#include "support/jpeg_oracle.h"
#include "support/png_writer.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

namespace fs = std::filesystem;

TEST(EndToEnd, ConvertsFolderOfBmpPictures) {
  ScratchFolder folder;
  fs::create_directory(folder.path() / "img");
  const Bytes smallInput = buildBmp({.width = 5, .height = -5});
  const Bytes wide = buildBmp({.width = 20, .height = 4, .bitsPerPixel = 32});
  writeFile(folder.path() / "img" / "small.bmp", smallInput);
  writeFile(folder.path() / "img" / "wide.bmp", wide);
  const ProcessResult run = runProcess(binaryCommand(), folder.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(reportText(run.output),
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
  EXPECT_EQ(small, expectedBmpFile(smallInput));
  EXPECT_EQ(readFile(folder.path() / "bmp" / "wide.bmp"), expectedBmpFile(wide));
}

TEST(EndToEnd, FailureExitsWithStatusOne) {
  ScratchFolder folder;
  const ProcessResult run = runProcess(binaryCommand() + " | cat", folder.path());
  EXPECT_EQ(reportText(run.output), "ERROR: Cannot find any image in folder img/*.*\n");
  const ProcessResult status = runProcess(binaryCommand() + " >/dev/null", folder.path());
  EXPECT_EQ(status.status, 1);
}

// -k on the command line: every file is reported, the failing ones with their ERROR line and no
// output, and the last line counts them.
TEST(EndToEnd, KeepGoingReportsEveryFileAndCountsTheFailures) {
  ScratchFolder folder;
  fs::create_directory(folder.path() / "img");
  writeFile(folder.path() / "img" / "a.bmp", buildBmp({.width = 5, .height = 4}));
  writeFile(folder.path() / "img" / "b.png", Bytes(200, 'x'));
  writeFile(folder.path() / "img" / "c.bmp", buildBmp({.width = 3, .height = 4}));
  writeFile(folder.path() / "img" / "d.bmp", buildBmp({.width = 6, .height = 4}));
  for (const char* options : {" -k --no-pause", " --no-pause --keep-going -j 3"}) {
    fs::remove_all(folder.path() / "bmp");
    const ProcessResult run = runProcess(binaryCommand() + options, folder.path());
    EXPECT_EQ(run.status, 1) << options;
    EXPECT_EQ(reportText(run.output),
              "File bmp/a.bmp generated OK, size: 5x4/24\n"
              "ERROR: Cannot load input image img/b.png\n"
              "ERROR: Width and height must be in range 4..8192 pixels\n"
              "File bmp/d.bmp generated OK, size: 6x4/24\n"
              "ERROR: 2 of 4 files not converted\n")
        << options;
    EXPECT_EQ(entriesOf(folder.path() / "bmp"), (std::vector<std::string>{"a.bmp", "d.bmp"}))
        << options;
  }
}

TEST(EndToEnd, HelpAndVersionTouchNoFolder) {
  ScratchFolder folder;
  const std::string binary = binaryCommand();
  const ProcessResult help = runProcess(binary + " --help", folder.path());
  const std::string helpText = reportText(help.output);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(helpText.rfind("Usage: pow2bmp [-j N] [-k] [--no-pause]\n", 0), 0u) << helpText;
  for (const char* option : {"--jobs N", "-k, --keep-going", "--no-pause"}) {
    EXPECT_NE(helpText.find(option), std::string::npos) << option << '\n' << helpText;
  }
  const ProcessResult shortHelp = runProcess(binary + " -h", folder.path());
  EXPECT_EQ(shortHelp.output, help.output);
  const ProcessResult version = runProcess(binary + " --version", folder.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(reportText(version.output).rfind("pow2bmp ", 0), 0u) << version.output;
  // A bad number of jobs: one line on standard error, status 2, no run.
  for (const char* jobs : {" -j 0", " --jobs=x", " -j"}) {
    const ProcessResult bad = runProcess(binary + jobs + " 2>&1 >/dev/null", folder.path());
    EXPECT_EQ(bad.status, 2) << jobs;
    const std::string message = reportText(bad.output);
    EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
  }
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "bmp"));
}

// Arguments the program does not take are a usage error, before any folder is touched.
TEST(EndToEnd, OtherArgumentsAreUsageErrors) {
  ScratchFolder folder;
  std::filesystem::create_directory(folder.path() / "img");
  for (const char* arguments : {" --frobnicate x", " img", " a b c", " -j 2 a.png b.bmp"}) {
    const ProcessResult run = runProcess(binaryCommand() + arguments, folder.path());
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_EQ(run.output, "") << arguments;
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "bmp")) << arguments;
  }
}

TEST(EndToEnd, ConvertsAllFourFormatsInOneRun) {
  ScratchFolder folder;
  const auto img = folder.path() / "img";
  std::filesystem::create_directory(img);

  const Bytes bmp = buildBmp({.width = 9, .height = 6});
  const Bytes tga =
      buildTga({.imageType = 10, .width = 6, .height = 5, .pixelDepth = 32, .descriptor = 0x20},
               encodeTgaRle(tgaTestPixels(6, 5, 4), 4));
  const Bytes png = buildPng(makePngPicture(13, 7, 8, 2, true, 42));
  const Bytes pngAlpha = buildPng(makePngPicture(20, 17, 8, 6, false, 7));
  const Bytes jpeg = encodeJpeg({.width = 33, .height = 17, .subsampled = true});
  const Bytes grey =
      encodeJpeg({.width = 8, .height = 8, .color = JpegColor::Grey, .progressive = true});
  // Names that do not match the content: detection is by content only.
  const std::pair<const char*, const Bytes*> inputs[] = {{"a.bmp", &bmp},   {"b.png", &tga},
                                                         {"c.jpg", &png},   {"d.png", &pngAlpha},
                                                         {"e.jpeg", &jpeg}, {"f", &grey}};
  for (const auto& [name, bytes] : inputs) writeFile(img / name, *bytes);

  const ProcessResult run = runProcess(binaryCommand(), folder.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(reportText(run.output),
            "File bmp/a.bmp generated OK, size: 9x6/24\n"
            "File bmp/b.bmp generated OK, size: 6x5/32\n"
            "File bmp/c.bmp generated OK, size: 13x7/24\n"
            "File bmp/d.bmp generated OK, size: 20x17/32\n"
            "File bmp/e.bmp generated OK, size: 33x17/24\n"
            "File bmp/f generated OK, size: 8x8/24\n"
            "OK\n");
  const std::pair<const char*, const Bytes*> outputs[] = {{"a.bmp", &bmp},  {"b.bmp", &tga},
                                                          {"c.bmp", &png},  {"d.bmp", &pngAlpha},
                                                          {"e.bmp", &jpeg}, {"f", &grey}};
  for (const auto& [name, input] : outputs) {
    const Bytes expected = expectedBmpFile(*input);
    ASSERT_FALSE(expected.empty()) << name;
    EXPECT_EQ(readFile(folder.path() / "bmp" / name), expected) << name;
  }
}

}  // namespace
