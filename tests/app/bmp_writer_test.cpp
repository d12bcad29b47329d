#include "app/bmp_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "app/padding.h"
#include "base/byte_io.h"
#include "support/test_files.h"

namespace {

TEST(BmpWriter, HeaderFieldsForFiveByFour) {
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

TEST(BmpWriter, WritesHeaderAndPixelsAndReplacesExistingFile) {
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  writeFile(path, Bytes(1000, 0x55));
  ImagePtr image = padToPowerOfTwo(numberedImage(4, 5, 3));
  ASSERT_EQ(writeBmpFile(path.string().c_str(), *image, 3, 5), BmpWriteResult::written);
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

TEST(BmpWriter, CannotCreateInMissingFolder) {
  ScratchFolder folder;
  ImagePtr image = numberedImage(3, 4, 4);
  EXPECT_EQ(writeBmpFile((folder.path() / "missing" / "x.bmp").string().c_str(), *image, 4, 4),
            BmpWriteResult::cannotCreate);
}

TEST(BmpWriter, FailedWriteKeepsExistingFileAndLeavesNoTemporary) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a file size limit (setrlimit), which Windows lacks";
#else
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  writeFile(path, Bytes{1, 2, 3});
  ImagePtr image = numberedImage(3, 64, 64);
  {
    FileSizeLimit limit(1000);
    EXPECT_EQ(writeBmpFile(path.string().c_str(), *image, 64, 64), BmpWriteResult::cannotWrite);
  }
  EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);
#endif
}

TEST(BmpWriter, FailureWhenClosingIsAWriteFailure) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a file size limit (setrlimit), which Windows lacks";
#else
  // 54 + 48 bytes fit in the stream buffer, so both writes succeed and only the flush on close
  // meets the limit.
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  writeFile(path, Bytes{1, 2, 3});
  ImagePtr image = numberedImage(3, 4, 4);
  {
    FileSizeLimit limit(100);
    EXPECT_EQ(writeBmpFile(path.string().c_str(), *image, 4, 4), BmpWriteResult::cannotWrite);
  }
  EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);
#endif
}

TEST(BmpWriter, WritingOverALinkReplacesTheLinkNotItsTarget) {
#ifdef _WIN32
  GTEST_SKIP() << "makes a symbolic link, which Windows allows only with a privilege";
#endif
  ScratchFolder folder;
  const auto target = folder.path() / "target";
  writeFile(target, Bytes{9, 9});
  const auto path = folder.path() / "out.bmp";
  std::filesystem::create_symlink(target, path);
  ImagePtr image = numberedImage(3, 4, 4);
  ASSERT_EQ(writeBmpFile(path.string().c_str(), *image, 4, 4), BmpWriteResult::written);
  EXPECT_FALSE(std::filesystem::is_symlink(path));
  EXPECT_EQ(readFile(target), (Bytes{9, 9}));
}

TEST(BmpWriter, LargestPictureIsWrittenUnpadded) {
  ImagePtr image = createImage(4, 8192, 8192);
  ASSERT_TRUE(image);
  std::memset(image->pixels(), 0x5A, image->pixelBytes());
  Image* before = image.get();
  ImagePtr padded = padToPowerOfTwo(std::move(image));
  EXPECT_EQ(padded.get(), before);
  ScratchFolder folder;
  const auto path = folder.path() / "big.bmp";
  ASSERT_EQ(writeBmpFile(path.string().c_str(), *padded, 8192, 8192), BmpWriteResult::written);
  EXPECT_EQ(std::filesystem::file_size(path), 54u + 8192u * 8192u * 4u);
}

// The padded file written straight from the picture is byte for byte the file of the padded
// picture, for random sides and both channel counts, with one stage reused across pictures
// (rows of several stages, top rows of several stages, sides that need no padding).
TEST(BmpWriter, PaddedWriteEqualsWritingThePaddedPicture) {
  ScratchFolder folder;
  const auto direct = folder.path() / "direct.bmp";
  const auto viaCopy = folder.path() / "copy.bmp";
  std::mt19937 random(7);
  BmpRowStage stage;
  const unsigned sides[] = {4, 5, 64, 127, 128, 300, 1000, 1024, 2049};
  for (int round = 0; round < 60; ++round) {
    const unsigned width = sides[random() % std::size(sides)];
    const unsigned height = sides[random() % std::size(sides)];
    const unsigned channels = 3 + random() % 2;
    ImagePtr picture = numberedImage(channels, height, width);
    ASSERT_TRUE(picture);
    for (std::size_t i = 0; i < picture->pixelBytes(); i += 7) {
      picture->pixels()[i] = static_cast<std::uint8_t>(random());
    }
    ASSERT_EQ(writePaddedBmpFile(direct.string().c_str(), *picture, stage),
              BmpWriteResult::written);
    ImagePtr padded = padToPowerOfTwo(std::move(picture));
    ASSERT_TRUE(padded);
    ASSERT_EQ(writeBmpFile(viaCopy.string().c_str(), *padded, width, height),
              BmpWriteResult::written);
    ASSERT_EQ(readFile(direct), readFile(viaCopy)) << width << "x" << height << "/" << channels;
  }
}

TEST(BmpWriter, FailedPaddedWriteKeepsExistingFileAndLeavesNoTemporary) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a file size limit (setrlimit), which Windows lacks";
#else
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  writeFile(path, Bytes{1, 2, 3});
  ImagePtr image = numberedImage(3, 300, 300);
  BmpRowStage stage;
  {
    FileSizeLimit limit(100000);
    EXPECT_EQ(writePaddedBmpFile(path.string().c_str(), *image, stage),
              BmpWriteResult::cannotWrite);
  }
  EXPECT_EQ(
      writePaddedBmpFile((folder.path() / "missing" / "x.bmp").string().c_str(), *image, stage),
      BmpWriteResult::cannotCreate);
  EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);
#endif
}

}  // namespace
