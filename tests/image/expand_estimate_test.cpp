// The estimate of a load that expands counts the expanded 8-bit picture of the layouts a
// default run refuses, and nothing changes for the others.

#include <gtest/gtest.h>

#include <string>

#include "base/counted_string.h"
#include "image/loader.h"
#include "support/png_writer.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

std::uint64_t estimateOf(const fs::path& path, bool expand) {
  return estimateLoadBytes(CountedString::fromText(path.string().c_str()), expand);
}

constexpr std::uint64_t kSlack = std::uint64_t{8} << 20;  // the process's own few MiB

TEST(ExpandEstimate, CountsTheExpandedPicture) {
  ScratchFolder folder;
  struct Case {
    std::uint8_t bitDepth;
    std::uint8_t colourType;
    std::uint64_t expandedChannels;  // 4 for alpha, and for a palette (its tRNS is not known)
  };
  for (const Case& each : {Case{1, 3, 4}, Case{4, 0, 3}, Case{16, 0, 3}, Case{8, 4, 4},
                           Case{16, 2, 3}, Case{16, 6, 4}}) {
    const std::string name =
        "p" + std::to_string(each.bitDepth) + "-" + std::to_string(each.colourType) + ".png";
    SCOPED_TRACE(name);
    const fs::path path = folder.path() / name;
    writeFile(path, buildPng(makePngPicture(600, 500, each.bitDepth, each.colourType, false, 9)));
    const std::uint64_t file = fs::file_size(path);
    const std::uint64_t picture = 600u * 500u * each.expandedChannels;
    const std::uint64_t scanlines = 500u * (600u * 8u + 1u);  // the widest: RGBA 16-bit
    const std::uint64_t estimate = estimateOf(path, true);
    EXPECT_GE(estimate, file + picture);
    EXPECT_LT(estimate, 2 * file + picture + scanlines + kSlack);
  }
}

TEST(ExpandEstimate, CountsABmpOfAnotherDepthAsAFourBytePicture) {
  ScratchFolder folder;
  // A 54-byte header of an 8-bit palette BMP of 1000x700, and a small file behind it.
  Bytes header(54, 0);
  header[0] = 'B';
  header[1] = 'M';
  header[14] = 40;
  header[18] = 0xE8;  // width 1000
  header[19] = 0x03;
  header[22] = 0xBC;  // height 700
  header[23] = 0x02;
  header[26] = 1;
  header[28] = 8;
  header.resize(2000, 0);
  const fs::path path = folder.path() / "p.bmp";
  writeFile(path, header);
  EXPECT_GE(estimateOf(path, true), 1000u * 700u * 4u);
  EXPECT_LT(estimateOf(path, false), 2000u + kSlack);  // refused before anything is allocated
}

TEST(ExpandEstimate, IsTheSameForWhatADefaultRunReads) {
  ScratchFolder folder;
  for (const std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{6}}) {
    const fs::path path = folder.path() / ("t" + std::to_string(colourType) + ".png");
    writeFile(path, buildPng(makePngPicture(300, 200, 8, colourType, true, 4)));
    EXPECT_EQ(estimateOf(path, true), estimateOf(path, false));
  }
}

}  // namespace
