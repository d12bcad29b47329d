#include "app/bmp_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>

#include "base/byte_io.h"
#include "support/test_files.h"

namespace {

// What a run does with one picture: the padded file under a temporary name, then put in place.
BmpWriteResult writePaddedFile(const std::filesystem::path& path, const Image& picture,
                               BmpRowStage& stage) {
  TemporaryFile temporary;
  const BmpWriteResult written =
      writePaddedBmpTemporary(path.string().c_str(), picture, stage, temporary);
  return written == BmpWriteResult::written ? commitBmpFile(temporary, path.string().c_str())
                                            : written;
}

BmpWriteResult writePaddedFile(const std::filesystem::path& path, const Image& picture) {
  BmpRowStage stage;
  return writePaddedFile(path, picture, stage);
}

std::ptrdiff_t entriesIn(const std::filesystem::path& folder) {
  return std::distance(std::filesystem::directory_iterator(folder),
                       std::filesystem::directory_iterator());
}

TEST(BmpWriter, HeaderFieldsForFiveByFour) {
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  ASSERT_EQ(writePaddedFile(path, *numberedImage(3, 4, 5)), BmpWriteResult::written);
  const Bytes file = readFile(path);
  ASSERT_EQ(file.size(), 54u + 96u);
  const ByteSpan h(file.data(), 54);
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

TEST(BmpWriter, ReplacesAnExistingFileAndLeavesNothingElse) {
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  writeFile(path, Bytes(1000, 0x55));
  ImagePtr image = numberedImage(4, 5, 3);
  ASSERT_EQ(writePaddedFile(path, *image), BmpWriteResult::written);
  EXPECT_EQ(readFile(path), expectedPaddedBmp(*image));
  EXPECT_EQ(entriesIn(folder.path()), 1);
}

TEST(BmpWriter, CannotCreateInMissingFolder) {
  ScratchFolder folder;
  EXPECT_EQ(writePaddedFile(folder.path() / "missing" / "x.bmp", *numberedImage(3, 4, 4)),
            BmpWriteResult::cannotCreate);
  EXPECT_EQ(entriesIn(folder.path()), 0);
}

// A write that fails, in the rows or only when the stream is flushed on closing (54 + 48 bytes
// fit in the stream buffer), keeps the file that was there and leaves no temporary file.
TEST(BmpWriter, FailedWriteKeepsExistingFileAndLeavesNoTemporary) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a file size limit (setrlimit), which Windows lacks";
#else
  struct Case {
    unsigned side;
    std::uint64_t limit;
  };
  for (const Case c : {Case{300, 100000}, Case{64, 1000}, Case{4, 100}}) {
    ScratchFolder folder;
    const auto path = folder.path() / "out.bmp";
    writeFile(path, Bytes{1, 2, 3});
    {
      FileSizeLimit limit(c.limit);
      EXPECT_EQ(writePaddedFile(path, *numberedImage(3, c.side, c.side)),
                BmpWriteResult::cannotWrite)
          << c.side;
    }
    EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));
    EXPECT_EQ(entriesIn(folder.path()), 1);
  }
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
  ASSERT_EQ(writePaddedFile(path, *numberedImage(3, 4, 4)), BmpWriteResult::written);
  EXPECT_FALSE(std::filesystem::is_symlink(path));
  EXPECT_EQ(readFile(target), (Bytes{9, 9}));
}

TEST(BmpWriter, LargestPictureIsWrittenUnpadded) {
  ImagePtr image = createImage(4, 8192, 8192);
  ASSERT_TRUE(image);
  std::memset(image->pixels(), 0x5A, image->pixelBytes());
  ScratchFolder folder;
  const auto path = folder.path() / "big.bmp";
  ASSERT_EQ(writePaddedFile(path, *image), BmpWriteResult::written);
  EXPECT_EQ(std::filesystem::file_size(path), 54u + 8192u * 8192u * 4u);
}

// The padded file, written to a file or a stream, is byte for byte the reference padding of the
// picture, for random sides and both channel counts, with one stage reused across pictures
// (rows of several stages, top rows of several stages, sides that need no padding).
TEST(BmpWriter, PaddedWriteEqualsThePlainlyPaddedPicture) {
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  const auto streamed = folder.path() / "streamed.bmp";
  std::mt19937 random(7);
  BmpRowStage stage;
  const unsigned sides[] = {1, 4, 5, 64, 127, 128, 300, 1000, 1024, 1100};
  for (int round = 0; round < 40; ++round) {
    const unsigned width = sides[random() % std::size(sides)];
    const unsigned height = sides[random() % std::size(sides)];
    const unsigned channels = 3 + random() % 2;
    ImagePtr picture = numberedImage(channels, height, width);
    ASSERT_TRUE(picture);
    for (std::size_t i = 0; i < picture->pixelBytes(); i += 7) {
      picture->pixels()[i] = static_cast<std::uint8_t>(random());
    }
    const Bytes expected = expectedPaddedBmp(*picture);
    ASSERT_EQ(writePaddedFile(path, *picture, stage), BmpWriteResult::written);
    ASSERT_EQ(readFile(path), expected) << width << "x" << height << "/" << channels;
    if (round % 4 == 0) {
      std::FILE* stream = std::fopen(streamed.string().c_str(), "wb");
      ASSERT_NE(stream, nullptr);
      EXPECT_TRUE(writePaddedBmpStream(stream, *picture, stage));
      std::fclose(stream);
      ASSERT_EQ(readFile(streamed), expected) << width << "x" << height << "/" << channels;
    }
  }
}

// Rows handed to the writer as a reader would, top row first in runs of random length, make
// the same file as the padded write of the whole picture: for random sides, both channel counts,
// one stage reused across pictures. Sides a run does not convert are not taken.
TEST(BmpWriter, RowsWrittenAsTheyComeEqualThePlainlyPaddedPicture) {
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  const std::string name = path.string();
  std::mt19937 random(11);
  BmpRowStage stage;
  const unsigned sides[] = {4, 5, 64, 127, 128, 300, 1000, 1024, 1100};
  for (int round = 0; round < 30; ++round) {
    const unsigned width = sides[random() % std::size(sides)];
    const unsigned height = sides[random() % std::size(sides)];
    const unsigned channels = 3 + random() % 2;
    ImagePtr picture = numberedImage(channels, height, width);
    ASSERT_TRUE(picture);
    for (std::size_t i = 0; i < picture->pixelBytes(); i += 5) {
      picture->pixels()[i] = static_cast<std::uint8_t>(random());
    }
    // Row 0 is the top row, the last one of the bottom-up picture.
    const std::uint8_t* topRow = picture->pixels() + (height - 1) * picture->rowBytes();
    const auto rowStride = -static_cast<std::ptrdiff_t>(picture->rowBytes());
    TemporaryFile temporary;
    {
      OverlappedBmpWriter writer(name.c_str(), stage, temporary);
      ASSERT_TRUE(writer.begin(width, height, channels));
      for (std::size_t first = 0; first < height;) {
        const std::size_t count = std::min<std::size_t>(height - first, 1 + random() % 40);
        writer.rowsReady(topRow, rowStride, first, count);
        first += count;
      }
      ASSERT_EQ(writer.finish(), BmpWriteResult::written);
    }
    ASSERT_EQ(commitBmpFile(temporary, path.string().c_str()), BmpWriteResult::written);
    ASSERT_EQ(readFile(path), expectedPaddedBmp(*picture))
        << width << "x" << height << "/" << channels;
  }
  TemporaryFile temporary;
  for (const auto& [width, height] : {std::pair{3u, 100u}, std::pair{100u, 8193u}}) {
    OverlappedBmpWriter writer(name.c_str(), stage, temporary);
    EXPECT_FALSE(writer.begin(width, height, 3));
    EXPECT_FALSE(writer.begun());
  }
  EXPECT_EQ(entriesIn(folder.path()), 1);
}

// A writer left before its rows are all written (a decode that failed) removes its file.
TEST(BmpWriter, AbandonedRowWriterLeavesNoFile) {
  ScratchFolder folder;
  const auto path = folder.path() / "out.bmp";
  const std::string name = path.string();
  ImagePtr picture = numberedImage(3, 300, 200);
  BmpRowStage stage;
  TemporaryFile temporary;
  {
    OverlappedBmpWriter writer(name.c_str(), stage, temporary);
    ASSERT_TRUE(writer.begin(200, 300, 3));
    EXPECT_EQ(entriesIn(folder.path()), 1);
    writer.rowsReady(picture->pixels() + 299 * picture->rowBytes(),
                     -static_cast<std::ptrdiff_t>(picture->rowBytes()), 0, 120);
  }
  EXPECT_EQ(entriesIn(folder.path()), 0);
}

#ifndef _WIN32
// A write that fails (beyond the file size limit) is a write failure, and the file goes.
TEST(BmpWriter, RowWriterBeyondTheFileSizeLimitCannotWrite) {
  for (const std::uint64_t limit : {std::uint64_t{30}, std::uint64_t{100000}}) {
    ScratchFolder folder;
    const auto path = folder.path() / "out.bmp";
    const std::string name = path.string();
    ImagePtr picture = numberedImage(3, 300, 300);
    BmpRowStage stage;
    TemporaryFile temporary;
    {
      FileSizeLimit sizeLimit(limit);
      OverlappedBmpWriter writer(name.c_str(), stage, temporary);
      ASSERT_TRUE(writer.begin(300, 300, 3));
      writer.rowsReady(picture->pixels() + 299 * picture->rowBytes(),
                       -static_cast<std::ptrdiff_t>(picture->rowBytes()), 0, 300);
      EXPECT_EQ(writer.finish(), BmpWriteResult::cannotWrite) << limit;
    }
    EXPECT_EQ(entriesIn(folder.path()), 0) << limit;
  }
}
#endif

}  // namespace
