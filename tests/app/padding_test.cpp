#include "app/padding.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/byte_io.h"
#include "support/test_files.h"

namespace {

const std::uint8_t* pixelAt(const Image& image, unsigned row, unsigned column) {
  return image.pixels() + (std::size_t{row} * image.width + column) * image.channels;
}

TEST(Padding, TargetSides) {
  const unsigned cases[][2] = {{1, 4},    {4, 4},       {5, 8},      {64, 64},
                               {65, 128}, {8191, 8192}, {8192, 8192}};
  for (const auto& c : cases) EXPECT_EQ(paddedSide(c[0]), c[1]) << c[0];
}

struct PadCase {
  unsigned channels, height, width;
};

class PadReplicates : public ::testing::TestWithParam<PadCase> {};

TEST_P(PadReplicates, EdgePixelsToTheRightAndTopRowUpward) {
  const PadCase c = GetParam();
  ImagePtr original = numberedImage(c.channels, c.height, c.width);
  ImagePtr padded = padToPowerOfTwo(numberedImage(c.channels, c.height, c.width));
  ASSERT_TRUE(padded);
  ASSERT_EQ(padded->width, paddedSide(c.width));
  ASSERT_EQ(padded->height, paddedSide(c.height));
  ASSERT_EQ(padded->channels, c.channels);
  for (unsigned row = 0; row < padded->height; ++row) {
    const unsigned sourceRow = std::min(row, c.height - 1);
    for (unsigned column = 0; column < padded->width; ++column) {
      const unsigned sourceColumn = std::min(column, c.width - 1);
      ASSERT_EQ(std::memcmp(pixelAt(*padded, row, column),
                            pixelAt(*original, sourceRow, sourceColumn), c.channels),
                0)
          << "row " << row << " column " << column;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PadReplicates,
                         ::testing::Values(PadCase{3, 4, 4}, PadCase{3, 4, 5}, PadCase{3, 5, 4},
                                           PadCase{4, 5, 5}, PadCase{4, 3, 9}, PadCase{3, 33, 100},
                                           PadCase{3, 1, 1}, PadCase{4, 64, 65}));

TEST(Padding, AllocationFailureGivesNull) {
  ImagePtr image = numberedImage(3, 5, 5);
  failAllocationsAfter(0);
  ImagePtr padded = padToPowerOfTwo(std::move(image));
  failAllocationsAfter(-1);
  EXPECT_FALSE(padded);
}

}  // namespace
