#include "app/padding.h"

#include <gtest/gtest.h>

#include <cstring>

#include "image/byte_io.h"
#include "support/test_files.h"

namespace {

ImagePtr numberedImage(unsigned channels, unsigned height, unsigned width) {
  ImagePtr image = createImage(channels, height, width);
  for (std::size_t i = 0; i < image->pixelBytes(); ++i) {
    image->pixels()[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  return image;
}

const std::uint8_t* pixelAt(const Image& image, unsigned row, unsigned column) {
  return image.pixels() + (std::size_t{row} * image.width + column) * image.channels;
}

TEST(Padding, TargetSides) {
  const unsigned cases[][2] = {{1, 4}, {4, 4}, {5, 8}, {64, 64}, {65, 128}, {8191, 8192}, {8192, 8192}};
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
      ASSERT_EQ(std::memcmp(pixelAt(*padded, row, column), pixelAt(*original, sourceRow, sourceColumn),
                            c.channels),
                0)
          << "row " << row << " column " << column;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PadReplicates,
                         ::testing::Values(PadCase{3, 4, 4}, PadCase{3, 4, 5}, PadCase{3, 5, 4},
                                           PadCase{4, 5, 5}, PadCase{4, 3, 9}, PadCase{3, 33, 100},
                                           PadCase{3, 1, 1}, PadCase{4, 64, 65}));

TEST(Padding, HeaderFieldsForFiveByFour) {
  ImagePtr padded = padToPowerOfTwo(numberedImage(3, 4, 5));
  const auto header = buildBmpHeader(*padded, 5, 4);
  const ByteSpan h(header.data(), header.size());
  EXPECT_EQ(h[0], 'B');
  EXPECT_EQ(h[1], 'M');
  EXPECT_EQ(readLe32(h, 2), 54u + 96u);  // file size
  EXPECT_EQ(readLe32(h, 6), 0u);         // reserved
  EXPECT_EQ(readLe32(h, 10), 54u);       // pixel data offset
  EXPECT_EQ(readLe32(h, 14), 40u);       // info header size
  EXPECT_EQ(readLe32(h, 18), 8u);        // padded width
  EXPECT_EQ(readLe32(h, 22), 4u);        // padded height, positive
  EXPECT_EQ(readLe16(h, 26), 1u);        // planes
  EXPECT_EQ(readLe16(h, 28), 24u);       // bits per pixel
  EXPECT_EQ(readLe32(h, 30), 0u);        // compression
  EXPECT_EQ(readLe32(h, 34), 0u);        // image size
  EXPECT_EQ(readLe32(h, 38), 5u);        // unpadded width
  EXPECT_EQ(readLe32(h, 42), 4u);        // unpadded height
  EXPECT_EQ(readLe32(h, 46), 0u);        // colours used
  EXPECT_EQ(readLe32(h, 50), 0u);        // important colours
}

TEST(Padding, WritesHeaderAndPixelsAndReplacesExistingFile) {
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  writeFile(path, Bytes(1000, 0x55));
  ImagePtr image = padToPowerOfTwo(numberedImage(4, 5, 3));
  ASSERT_EQ(writeBmpFile(path.c_str(), *image, 3, 5), BmpWriteResult::written);
  const Bytes written = readFile(path);
  ASSERT_EQ(written.size(), 54u + 4 * 8 * 4);
  const auto header = buildBmpHeader(*image, 3, 5);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), written.begin()));
  EXPECT_EQ(std::memcmp(written.data() + 54, image->pixels(), image->pixelBytes()), 0);
  // Nothing but the output is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(Padding, CannotCreateInMissingFolder) {
  ScratchFolder folder;
  ImagePtr image = numberedImage(3, 4, 4);
  EXPECT_EQ(writeBmpFile((folder.path() / "missing" / "x.bmp").c_str(), *image, 4, 4),
            BmpWriteResult::cannotCreate);
}

TEST(Padding, FailedWriteKeepsExistingFileAndLeavesNoTemporary) {
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  writeFile(path, Bytes{1, 2, 3});
  ImagePtr image = numberedImage(3, 64, 64);
  {
    FileSizeLimit limit(1000);
    EXPECT_EQ(writeBmpFile(path.c_str(), *image, 64, 64), BmpWriteResult::cannotWrite);
  }
  EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(Padding, FailureWhenClosingIsAWriteFailure) {
  // 54 + 48 bytes fit in the stream buffer, so both writes succeed and only the flush on close
  // meets the limit.
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  writeFile(path, Bytes{1, 2, 3});
  ImagePtr image = numberedImage(3, 4, 4);
  {
    FileSizeLimit limit(100);
    EXPECT_EQ(writeBmpFile(path.c_str(), *image, 4, 4), BmpWriteResult::cannotWrite);
  }
  EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(Padding, WritingOverALinkReplacesTheLinkNotItsTarget) {
  ScratchFolder folder;
  const auto target = folder.path() / "target";
  writeFile(target, Bytes{9, 9});
  const auto path = folder.path() / "out.bmp";
  std::filesystem::create_symlink(target, path);
  ImagePtr image = numberedImage(3, 4, 4);
  ASSERT_EQ(writeBmpFile(path.c_str(), *image, 4, 4), BmpWriteResult::written);
  EXPECT_FALSE(std::filesystem::is_symlink(path));
  EXPECT_EQ(readFile(target), (Bytes{9, 9}));
}

TEST(Padding, LargestPictureIsWrittenUnpadded) {
  ImagePtr image = createImage(4, 8192, 8192);
  ASSERT_TRUE(image);
  std::memset(image->pixels(), 0x5A, image->pixelBytes());
  Image* before = image.get();
  ImagePtr padded = padToPowerOfTwo(std::move(image));
  EXPECT_EQ(padded.get(), before);
  ScratchFolder folder;
  const auto path = folder.path() / "big.bmp";
  ASSERT_EQ(writeBmpFile(path.c_str(), *padded, 8192, 8192), BmpWriteResult::written);
  EXPECT_EQ(std::filesystem::file_size(path), 54u + 8192u * 8192u * 4u);
}

TEST(Padding, AllocationFailureGivesNull) {
  ImagePtr image = numberedImage(3, 5, 5);
  failAllocationsAfter(0);
  ImagePtr padded = padToPowerOfTwo(std::move(image));
  failAllocationsAfter(-1);
  EXPECT_FALSE(padded);
}

}  // namespace
