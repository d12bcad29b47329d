#include "image/bmp_reader.h"

#include <gtest/gtest.h>

#include "image/loader.h"
#include "support/bmp_builder.h"

namespace {

ImagePtr decode(const Bytes& file) { return decodeBmp(ByteSpan(file.data(), file.size())); }

// Expects the picture to hold the builder's pixels, stored row s landing in picture row
// rowOf(s).
void expectBuilderPixels(const Image& image, const BmpFields& fields, bool topDown) {
  const unsigned channels = fields.bitsPerPixel / 8u;
  ASSERT_EQ(image.channels, channels);
  ASSERT_EQ(image.width, fields.width);
  const unsigned rows = image.height;
  for (unsigned s = 0; s < rows; ++s) {
    const unsigned row = topDown ? rows - 1 - s : s;
    for (unsigned x = 0; x < image.width; ++x) {
      for (unsigned k = 0; k < channels; ++k) {
        ASSERT_EQ(image.pixels()[(row * image.width + x) * channels + k], bmpTestPixel(s, x, k))
            << "stored row " << s << " column " << x << " channel " << k;
      }
    }
  }
}

struct GoodCase {
  const char* name;
  BmpFields fields;
};

class BmpReaderAccepts : public ::testing::TestWithParam<GoodCase> {};

TEST_P(BmpReaderAccepts, CopiesPixelsDroppingAlignment) {
  const BmpFields& fields = GetParam().fields;
  ImagePtr image = decode(buildBmp(fields));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->height, static_cast<unsigned>(std::abs(fields.height)));
  expectBuilderPixels(*image, fields, fields.height < 0);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, BmpReaderAccepts,
    ::testing::Values(GoodCase{"Stride16Width5", {.width = 5, .height = 3}},
                      GoodCase{"Stride12OnePiece", {.width = 4, .height = 3}},
                      GoodCase{"TopDown", {.width = 5, .height = -3}},
                      GoodCase{"Alpha32", {.width = 3, .height = 2, .bitsPerPixel = 32}},
                      GoodCase{"TopDown32", {.width = 3, .height = -5, .bitsPerPixel = 32}},
                      GoodCase{"Offset5054", {.width = 4, .height = 4, .dataOffset = 5054}},
                      GoodCase{"InfoHeader108",
                               {.width = 6, .height = 2, .infoHeaderSize = 108, .dataOffset = 122}},
                      GoodCase{"InfoHeader124",
                               {.width = 6, .height = 2, .infoHeaderSize = 124, .dataOffset = 138}},
                      GoodCase{"FileSizeFieldSmaller",
                               {.width = 5, .height = 4, .fileSizeDelta = -2}},
                      GoodCase{"OnePixelWide", {.width = 1, .height = 7}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct BadCase {
  const char* name;
  BmpFields fields;
};

class BmpReaderRefuses : public ::testing::TestWithParam<BadCase> {};

TEST_P(BmpReaderRefuses, ReturnsNull) { EXPECT_FALSE(decode(buildBmp(GetParam().fields))); }

INSTANTIATE_TEST_SUITE_P(
    Variants, BmpReaderRefuses,
    ::testing::Values(
        BadCase{"Offset5055", {.dataOffset = 5055}}, BadCase{"Offset53", {.dataOffset = 53}},
        BadCase{"FileSizeBeyondFile", {.fileSizeDelta = 1}},
        BadCase{"DeclaredDataUnder10", {.width = 1, .height = 1}}, BadCase{"Width0", {.width = 0}},
        BadCase{"Width16385", {.width = 16385, .height = 1}}, BadCase{"Height0", {.height = 0}},
        BadCase{"Bits8", {.bitsPerPixel = 8}}, BadCase{"Bits16", {.bitsPerPixel = 16}},
        BadCase{"Bits1", {.bitsPerPixel = 1}}, BadCase{"Planes2", {.planes = 2}},
        BadCase{"BitFields", {.compression = 3}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(BmpReader, AcceptsLargestSides) {
  // 16384 x -16384 would need 768 MiB of pixels; the header limits are checked on thin pictures.
  EXPECT_TRUE(decode(buildBmp({.width = 16384, .height = 1})));
  EXPECT_TRUE(decode(buildBmp({.width = 1, .height = -16384})));
  EXPECT_FALSE(decode(buildBmp({.width = 1, .height = -16385})));
}

TEST(BmpReader, RefusesShortFilesAndOtherSignatures) {
  Bytes file = buildBmp({});
  EXPECT_FALSE(decodeBmp(ByteSpan(file.data(), 53)));
  Bytes headerOnly(file.begin(), file.begin() + 54);
  EXPECT_FALSE(decode(headerOnly));
  file[1] = 'N';
  EXPECT_FALSE(decode(file));
}

void putLe32(Bytes& file, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i)
    file[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

TEST(BmpReader, PixelDataOfTenBytesIsEnough) {
  // 1 x 1 at 24 bits: one 4-byte row. The bytes the file holds after the pixel data offset
  // decide, whatever the file size field says below them.
  Bytes file = buildBmp({.width = 1, .height = 1});
  file.resize(64, 0xEE);
  for (const std::uint32_t field : {64u, 58u, 0u}) {
    putLe32(file, 2, field);
    ImagePtr image = decode(file);
    ASSERT_TRUE(image) << field;
    EXPECT_EQ(image->pixels()[2], bmpTestPixel(0, 0, 2));
  }
  file.resize(63);  // 9 bytes of pixel data
  putLe32(file, 2, 63);
  EXPECT_FALSE(decode(file));
}

// Many writers leave the 40-byte info header out of the file size field, others write less or
// nothing there. A file that holds its rows reads as the same file with the true size, whatever
// the field says below the file's length; cut three bytes short of its rows (one more than the
// two the reader allows for) it is refused, whatever the field; a field beyond the file's end
// is refused too.
TEST(BmpReader, ReadsAFileWhoseSizeFieldIsShortAsTheFileWithItsTrueSize) {
  for (const std::int32_t width : {2, 3, 4, 5, 7}) {
    for (const std::int32_t height : {3, -3, 6}) {
      for (const std::uint16_t bits : {std::uint16_t{24}, std::uint16_t{32}}) {
        const BmpFields fields{.width = width, .height = height, .bitsPerPixel = bits};
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + "/" +
                     std::to_string(bits));
        const Bytes whole = buildBmp(fields);
        const ImagePtr expected = decode(whole);
        ASSERT_TRUE(expected);
        const auto size = static_cast<std::int64_t>(whole.size());
        for (const std::int64_t field : {size - 40, size - 3, size - 54, std::int64_t{0}}) {
          SCOPED_TRACE("size field " + std::to_string(field));
          Bytes file = whole;
          putLe32(file, 2, static_cast<std::uint32_t>(field));
          const ImagePtr image = decode(file);
          ASSERT_TRUE(image);
          ASSERT_EQ(image->channels, expected->channels);
          ASSERT_EQ(image->width, expected->width);
          ASSERT_EQ(image->height, expected->height);
          EXPECT_EQ(Bytes(image->pixels(), image->pixels() + image->pixelBytes()),
                    Bytes(expected->pixels(), expected->pixels() + expected->pixelBytes()));
          // Cut short: the rows' last three bytes are missing.
          const std::int64_t stride = (std::int64_t{bits} / 8 * width + 3) / 4 * 4;
          Bytes cut = file;
          cut.resize(static_cast<std::size_t>(54 + stride * std::abs(height) - 3));
          EXPECT_FALSE(decode(cut));
          putLe32(cut, 2, static_cast<std::uint32_t>(cut.size()) - 40);
          EXPECT_FALSE(decode(cut));
          putLe32(file, 2, static_cast<std::uint32_t>(size + 1));
          EXPECT_FALSE(decode(file));
        }
      }
    }
  }
}

TEST(BmpReader, RefusesPixelDataOffsetBeyondTheFile) {
  // 102 bytes in all; the header places the pixels at 5000 and declares 100 bytes of them. The
  // available data length is negative, so the declared length exceeds it.
  Bytes file = buildBmp({.width = 4, .height = 4});
  ASSERT_EQ(file.size(), 102u);
  putLe32(file, 10, 5000);
  putLe32(file, 2, 5100);
  EXPECT_FALSE(decode(file));
}

TEST(BmpReader, RefusesTheMostNegativeHeight) {
  // The magnitude of -2^31 does not fit in 32 bits.
  Bytes file = buildBmp({.width = 4, .height = -4});
  putLe32(file, 22, 0x80000000u);
  EXPECT_FALSE(decode(file));
}

TEST(BmpReader, ZeroFillsTheTwoToleratedBytesBeyondTheFile) {
  // Width 4 at 24 bits: rows of 12 bytes without alignment; the file ends 2 bytes early.
  BmpFields fields{.width = 4, .height = 2};
  Bytes file = buildBmp(fields);
  file.resize(file.size() - 2);
  file[2] = static_cast<std::uint8_t>(file.size());  // file size field = actual length
  ImagePtr image = decode(file);
  ASSERT_TRUE(image);
  const std::uint8_t* lastRow = image->pixels() + image->rowBytes();
  EXPECT_EQ(lastRow[9], bmpTestPixel(1, 3, 0));
  EXPECT_EQ(lastRow[10], 0);
  EXPECT_EQ(lastRow[11], 0);
}

TEST(BmpReader, ZeroFillsMissingBytesOfAPaddedLastRow) {
  // Width 5 at 24 bits: 15 pixel bytes and one alignment byte per row. Cut 2 bytes: one pixel
  // byte is missing.
  Bytes file = buildBmp({.width = 5, .height = 2});
  file.resize(file.size() - 2);
  file[2] = static_cast<std::uint8_t>(file.size());
  ImagePtr image = decode(file);
  ASSERT_TRUE(image);
  const std::uint8_t* lastRow = image->pixels() + image->rowBytes();
  EXPECT_EQ(lastRow[13], bmpTestPixel(1, 4, 1));
  EXPECT_EQ(lastRow[14], 0);
}

TEST(BmpReader, ChainGivesNullForEmptyAndRefusedFiles) {
  Bytes file = buildBmp({.bitsPerPixel = 8});
  EXPECT_FALSE(decodeImage(ByteSpan(file.data(), file.size())));
  EXPECT_FALSE(decodeImage(ByteSpan()));
  Bytes good = buildBmp({.width = 5, .height = 2});
  EXPECT_TRUE(decodeImage(ByteSpan(good.data(), good.size())));
}

}  // namespace
