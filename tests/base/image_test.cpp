#include "base/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

ImagePtr numberedImage(unsigned channels, unsigned height, unsigned width) {
  ImagePtr image = createImage(channels, height, width);
  for (std::size_t i = 0; i < image->pixelBytes(); ++i)
    image->pixels()[i] = static_cast<std::uint8_t>(i);
  return image;
}

std::vector<std::uint8_t> rowOf(const Image& image, std::size_t row) {
  const std::uint8_t* start = image.pixels() + row * image.rowBytes();
  return {start, start + image.rowBytes()};
}

TEST(Image, CreateSetsHeaderFields) {
  ImagePtr image = createImage(4, 3, 5);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 5);
  EXPECT_EQ(image->height, 3);
  EXPECT_EQ(image->channels, 4);
  EXPECT_EQ(image->reserved, 1);
  EXPECT_EQ(image->pixelBytes(), 60u);
}

TEST(Image, CreateRefusesEmptyOrOversizedSides) {
  EXPECT_FALSE(createImage(3, 0, 4));
  EXPECT_FALSE(createImage(3, 4, 0));
  EXPECT_FALSE(createImage(0, 4, 4));
  EXPECT_FALSE(createImage(3, 4, 70000));
}

TEST(Image, CreateReturnsNullWhenAllocationFails) {
  failAllocationsAfter(0);
  ImagePtr image = createImage(3, 4, 4);
  failAllocationsAfter(-1);
  EXPECT_FALSE(image);
}

class FlipRows : public ::testing::TestWithParam<unsigned> {};

TEST_P(FlipRows, ReversesWholeRowsAndKeepsTheMiddle) {
  const unsigned height = GetParam();
  ImagePtr original = numberedImage(3, height, 5);  // 15-byte rows: not a multiple of 4
  ImagePtr flipped = numberedImage(3, height, 5);
  flipImageRows(*flipped);
  for (unsigned r = 0; r < height; ++r)
    EXPECT_EQ(rowOf(*flipped, r), rowOf(*original, height - 1 - r)) << r;
}

INSTANTIATE_TEST_SUITE_P(Heights, FlipRows, ::testing::Values(1u, 2u, 3u, 4u, 7u));

// flipLeadingRows against flipImageRows, on pictures whose rows from some row on are zero.
TEST(Image, FlipLeadingRowsGivesTheFlipOfAPictureWithAZeroTail) {
  for (unsigned height : {1u, 2u, 3u, 6u, 7u}) {
    for (unsigned leading = 0; leading <= height + 1; ++leading) {
      ImagePtr expected = numberedImage(3, height, 5);
      const std::size_t kept = std::min(leading, height) * expected->rowBytes();
      std::fill(expected->pixels() + kept, expected->pixels() + expected->pixelBytes(), 0);
      ImagePtr flipped = createImage(3, height, 5);
      std::copy(expected->pixels(), expected->pixels() + expected->pixelBytes(), flipped->pixels());
      flipImageRows(*expected);
      flipLeadingRows(*flipped, leading);
      for (unsigned r = 0; r < height; ++r) {
        EXPECT_EQ(rowOf(*flipped, r), rowOf(*expected, r)) << height << " " << leading << " " << r;
      }
    }
  }
}

TEST(Image, CreateZeroedGivesZeroPixelsOrNull) {
  ImagePtr image = createZeroedImage(4, 3, 5);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->reserved, 1);
  EXPECT_EQ(image->channels, 4);
  EXPECT_TRUE(std::all_of(image->pixels(), image->pixels() + image->pixelBytes(),
                          [](std::uint8_t b) { return b == 0; }));
  failAllocationsAfter(0);
  ImagePtr failed = createZeroedImage(3, 4, 4);
  failAllocationsAfter(-1);
  EXPECT_FALSE(failed);
  EXPECT_FALSE(createZeroedImage(3, 0, 4));
}

TEST(Image, SwapRedBlueKeepsGreenAndAlpha) {
  ImagePtr image = createImage(4, 1, 2);
  const std::uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::copy(std::begin(bytes), std::end(bytes), image->pixels());
  swapRedBlue(*image);
  EXPECT_EQ(rowOf(*image, 0), (std::vector<std::uint8_t>{3, 2, 1, 4, 7, 6, 5, 8}));

  ImagePtr rgb = createImage(3, 1, 2);
  std::copy(std::begin(bytes), std::begin(bytes) + 6, rgb->pixels());
  swapRedBlue(*rgb);
  EXPECT_EQ(rowOf(*rgb, 0), (std::vector<std::uint8_t>{3, 2, 1, 6, 5, 4}));
}

}  // namespace
