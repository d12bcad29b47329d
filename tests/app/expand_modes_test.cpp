// --expand through the real binary: check mode names what an expanded file is, a default check
// names the flag in its reason, the flag changes nothing for the files a default run converts,
// and an expanded file becomes the BMP a default run makes of the same picture saved as 8-bit
// RGB(A).

#include <gtest/gtest.h>

#include <string>

#include "support/binary_under_test.h"
#include "support/bmp_builder.h"
#include "support/jpeg_oracle.h"
#include "support/libpng_read.h"
#include "support/libpng_write.h"
#include "support/png_oracle.h"
#include "support/png_writer.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

namespace fs = std::filesystem;

std::string binary() { return binaryCommand(); }

// A palette picture of 70x41 with 200 colours, 8-bit indices, written by libpng.
Bytes palettePicture(bool withAlpha) {
  PngPicture picture = makePngPicture(70, 41, 8, 3, false, 11);
  for (std::uint16_t& sample : picture.samples) sample = static_cast<std::uint16_t>(sample % 200);
  LibpngWriteOptions options;
  for (unsigned i = 0; i < 3 * 200; ++i)
    options.palette.push_back(static_cast<std::uint8_t>(i * 37));
  if (withAlpha) options.alphas = Bytes(50, 128);
  return encodeAnyWithLibpng(picture, options);
}

TEST(ExpandModes, CheckNamesTheLayoutWithTheFlagAndTheFlagWithoutIt) {
  ScratchFolder folder;
  const fs::path img = folder.path() / "img";
  fs::create_directories(img);
  writeFile(img / "x.png", palettePicture(false));
  writeFile(img / "y.png", palettePicture(true));
  writeFile(img / "z.png", buildPng(makePngPicture(9, 5, 16, 0, true, 3)));
  const ProcessResult plain = runProcess(binary() + " --check", folder.path());
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(reportText(plain.output),
            "img/x.png\trefused\tpalette PNG is not converted without --expand\n"
            "img/y.png\trefused\tpalette PNG is not converted without --expand\n"
            "img/z.png\trefused\t16-bit PNG is not converted without --expand\n"
            "3 files checked: 0 would convert, 3 would not\n");
  for (const char* jobs : {"", " -j 2"}) {
    const ProcessResult expanded = runProcess(binary() + " --check --expand" + jobs, folder.path());
    EXPECT_EQ(expanded.status, 0);
    EXPECT_EQ(reportText(expanded.output),
              "img/x.png\tok\tPNG palette 8-bit 70x41 -> bmp/x.bmp 128x64 24-bit\n"
              "img/y.png\tok\tPNG palette 8-bit 70x41 -> bmp/y.bmp 128x64 32-bit\n"
              "img/z.png\tok\tPNG grey 16-bit 9x5 -> bmp/z.bmp 16x8 24-bit\n"
              "3 files checked: 3 would convert, 0 would not\n");
  }
  EXPECT_FALSE(fs::exists(folder.path() / "bmp"));
}

// Pictures of every reader in the layouts a default run converts: the flag changes no byte of
// the report or of the files.
TEST(ExpandModes, ChangesNothingForWhatADefaultRunConverts) {
  ScratchFolder plainFolder;
  ScratchFolder expandFolder;
  for (const fs::path& img : {plainFolder.path() / "img", expandFolder.path() / "img"}) {
    fs::create_directories(img);
    writeFile(img / "a.bmp", buildBmp({.width = 9, .height = 6}));
    writeFile(img / "b.tga", buildTga({.imageType = 10, .width = 6, .height = 5, .pixelDepth = 32},
                                      encodeTgaRle(tgaTestPixels(6, 5, 4), 4)));
    writeFile(img / "c.png", buildPng(makePngPicture(13, 7, 8, 2, true, 42)));
    writeFile(img / "d.png", buildPng(makePngPicture(20, 17, 8, 6, false, 7)));
    writeFile(img / "e.jpg", encodeJpeg({.width = 33, .height = 17, .subsampled = true}));
  }
  const ProcessResult plain = runProcess(binary() + " --no-pause", plainFolder.path());
  const ProcessResult expanded =
      runProcess(binary() + " --no-pause --expand -j 2", expandFolder.path());
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(expanded.status, 0);
  EXPECT_EQ(reportText(expanded.output), reportText(plain.output));
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp", "d.bmp", "e.bmp"}) {
    EXPECT_EQ(readFile(expandFolder.path() / "bmp" / name),
              readFile(plainFolder.path() / "bmp" / name))
        << name;
  }
  const ProcessResult checkPlain = runProcess(binary() + " --check", plainFolder.path());
  const ProcessResult checkExpanded =
      runProcess(binary() + " --check --expand", plainFolder.path());
  EXPECT_EQ(reportText(checkExpanded.output), reportText(checkPlain.output));
}

// One file per call: the expanded palette picture gives the BMP a default run makes of libpng's
// expansion of it saved as 8-bit RGBA.
TEST(ExpandModes, OneFileGivesWhatADefaultRunGivesForTheSamePictureInRgb) {
  ScratchFolder folder;
  const Bytes palette = palettePicture(true);
  writeFile(folder.path() / "p.png", palette);
  PngPicture rgba;
  rgba.width = 70;
  rgba.height = 41;
  rgba.colourType = 6;
  Bytes rows;
  auto provide = [&rows](const LibpngLayout& layout) -> std::uint8_t* {
    rows.assign(layout.rowBytes * layout.height, 0);
    return rows.data();
  };
  ASSERT_TRUE(readExpandedWithLibpng(palette, provide));
  rgba.samples.assign(rows.begin(), rows.end());
  writeFile(folder.path() / "q.png", buildPng(rgba));
  const ProcessResult refused = runProcess(binary() + " p.png p.bmp", folder.path());
  EXPECT_EQ(refused.status, 1);
  const ProcessResult expanded = runProcess(binary() + " --expand p.png p.bmp", folder.path());
  EXPECT_EQ(expanded.status, 0);
  EXPECT_EQ(reportText(expanded.output), "File p.bmp generated OK, size: 70x41/32\n");
  const ProcessResult reference = runProcess(binary() + " q.png q.bmp", folder.path());
  ASSERT_EQ(reference.status, 0);
  EXPECT_EQ(readFile(folder.path() / "p.bmp"), readFile(folder.path() / "q.bmp"));
}

}  // namespace
