#include "image/tga_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "base/heap.h"
#include "image/loader.h"
#include "support/bmp_builder.h"
#include "support/png_writer.h"
#include "support/tga_writer.h"

namespace {

using Types = std::initializer_list<std::uint8_t>;

// Decodes from a heap block of exactly the file's size, so that a read past the end is caught
// by the sanitizer.
ImagePtr decode(const Bytes& file) {
  HeapPtr<std::uint8_t[]> copy = allocateArray<std::uint8_t>(file.size());
  if (!copy) return nullptr;
  if (!file.empty()) std::memcpy(copy.get(), file.data(), file.size());
  return decodeTga(ByteSpan(copy.get(), file.size()));
}

Bytes operator+(Bytes left, const Bytes& right) {
  left.insert(left.end(), right.begin(), right.end());
  return left;
}

std::ptrdiff_t at(std::size_t offset) { return static_cast<std::ptrdiff_t>(offset); }

Bytes pixelBytes(const Image& image) {
  return Bytes(image.pixels(), image.pixels() + image.pixelBytes());
}

// Stored rows in reverse order: what a top-row-first file must turn into.
Bytes reverseRows(const Bytes& pixels, std::size_t rowBytes) {
  Bytes out;
  for (std::size_t row = pixels.size() / rowBytes; row-- > 0;) {
    const auto begin = pixels.begin() + static_cast<std::ptrdiff_t>(row * rowBytes);
    out.insert(out.end(), begin, begin + static_cast<std::ptrdiff_t>(rowBytes));
  }
  return out;
}

// Re-arms the allocation fault injection off at the end of a test, whatever happens.
struct AllocationFaults {
  explicit AllocationFaults(long succeeding) { failAllocationsAfter(succeeding); }
  ~AllocationFaults() { failAllocationsAfter(-1); }
};

const Bytes kPixelA = {0x11, 0x22, 0x33};
const Bytes kPixelB = {0x44, 0x55, 0x66};
const Bytes kPixelC = {0x77, 0x88, 0x99};

// ---- header tests ----------------------------------------------------------------------------

TEST(TgaReader, RefusesFilesShorterThanHeaderOrWithoutDataByte) {
  const Bytes seventeen(17, 0);
  EXPECT_FALSE(decode(seventeen));
  EXPECT_FALSE(decode(buildTga({.imageType = 10, .width = 1, .height = 1}, {})));
  EXPECT_FALSE(decode(buildTga({.imageType = 10, .width = 1, .height = 1, .id = {0x80}}, {})));
}

TEST(TgaReader, AcceptsRunLengthPictureWithOneDataByteAsZeroPixels) {
  ImagePtr image = decode(buildTga({.imageType = 10, .width = 2, .height = 1}, {0x81}));
  ASSERT_TRUE(image);
  EXPECT_EQ(pixelBytes(*image), Bytes(6, 0));
}

TEST(TgaReader, UncompressedPictureNeedsEveryPixelByte) {
  const Bytes pixels = tgaTestPixels(2, 2, 3);  // 12 bytes
  for (const Bytes& id : {Bytes{}, Bytes{1, 2, 3, 4, 5}}) {
    const TgaFields fields{.id = id};
    EXPECT_FALSE(decode(buildTga(fields, Bytes(pixels.begin(), pixels.end() - 1))));

    ImagePtr exact = decode(buildTga(fields, pixels));
    ASSERT_TRUE(exact);
    EXPECT_EQ(pixelBytes(*exact), pixels);

    Bytes surplus = pixels;
    surplus.push_back(0xEE);
    ImagePtr longer = decode(buildTga(fields, surplus));
    ASSERT_TRUE(longer);
    EXPECT_EQ(pixelBytes(*longer), pixels);
  }
}

struct SizeCase {
  const char* name;
  std::uint16_t width;
  std::uint16_t height;
  bool accepted;
};

// Names the case in test output (the default printer dumps raw bytes, padding included).
void PrintTo(const SizeCase& testCase, std::ostream* out) { *out << testCase.name; }

class TgaReaderSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(TgaReaderSize, AcceptsSidesFrom1To16384) {
  const SizeCase& c = GetParam();
  for (std::uint8_t imageType : Types{2, 10}) {
    const TgaFields fields{.imageType = imageType, .width = c.width, .height = c.height};
    const Bytes data =
        imageType == 2 ? Bytes(std::size_t{c.width} * c.height * 3, 0x5A) : Bytes{0xFF, 1, 2, 3};
    ImagePtr image = decode(buildTga(fields, data));
    EXPECT_EQ(static_cast<bool>(image), c.accepted) << "image type " << int{imageType};
    if (image) {
      EXPECT_EQ(image->width, c.width);
      EXPECT_EQ(image->height, c.height);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Bounds, TgaReaderSize,
                         ::testing::Values(SizeCase{"Width16384", 16384, 1, true},
                                           SizeCase{"Height16384", 1, 16384, true},
                                           SizeCase{"Width0", 0, 4, false},
                                           SizeCase{"Height0", 4, 0, false},
                                           SizeCase{"Width16385", 16385, 1, false},
                                           SizeCase{"Height16385", 1, 16385, false},
                                           SizeCase{"WidthFFFF", 0xFFFF, 1, false}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct FieldCase {
  const char* name;
  TgaFields fields;
};

// Names the case in test output (the default printer dumps raw bytes, padding included).
void PrintTo(const FieldCase& testCase, std::ostream* out) { *out << testCase.name; }

class TgaReaderRefuses : public ::testing::TestWithParam<FieldCase> {};

// Uncompressed 32-bit data for a 2x2 picture: enough for every variant below to pass the size test.
TEST_P(TgaReaderRefuses, ReturnsNull) {
  EXPECT_FALSE(decode(buildTga(GetParam().fields, tgaTestPixels(2, 2, 4))));
}

INSTANTIATE_TEST_SUITE_P(
    Variants, TgaReaderRefuses,
    ::testing::Values(
        FieldCase{"ColourMapType1", {.colourMapType = 1}},
        FieldCase{"ColourMapLength1", {.colourMapLength = 1}},
        FieldCase{"ColourMapLength256", {.colourMapLength = 256}},
        FieldCase{"ColourMapType1Rle", {.colourMapType = 1, .imageType = 10}},
        FieldCase{"ImageType0", {.imageType = 0}}, FieldCase{"ImageType1", {.imageType = 1}},
        FieldCase{"ImageType3", {.imageType = 3}}, FieldCase{"ImageType9", {.imageType = 9}},
        FieldCase{"ImageType11", {.imageType = 11}}, FieldCase{"Depth8", {.pixelDepth = 8}},
        FieldCase{"Depth15", {.pixelDepth = 15}}, FieldCase{"Depth16", {.pixelDepth = 16}},
        FieldCase{"Depth0", {.pixelDepth = 0}}, FieldCase{"Depth25", {.pixelDepth = 25}},
        FieldCase{"Depth16Rle", {.imageType = 10, .pixelDepth = 16}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(TgaReader, AcceptsTheFilesTheRefusedVariantsAreMadeFrom) {
  EXPECT_TRUE(decode(buildTga({}, tgaTestPixels(2, 2, 4))));
  EXPECT_TRUE(decode(buildTga({.pixelDepth = 32}, tgaTestPixels(2, 2, 4))));
  EXPECT_TRUE(decode(buildTga({.imageType = 10}, tgaTestPixels(2, 2, 4))));
}

TEST(TgaReader, ReturnsNullWhenThePictureCannotBeAllocated) {
  const Bytes file = buildTga({}, tgaTestPixels(2, 2, 3));
  AllocationFaults faults(0);
  EXPECT_FALSE(decodeTga(ByteSpan(file.data(), file.size())));
}

// ---- pixel data ------------------------------------------------------------------------------

TEST(TgaReader, SkipsTheImageIdField) {
  const Bytes pixels = tgaTestPixels(2, 2, 3);
  for (std::size_t idLength : {std::size_t{1}, std::size_t{5}, std::size_t{255}}) {
    for (std::uint8_t imageType : Types{2, 10}) {
      const TgaFields fields{.imageType = imageType, .id = Bytes(idLength, 0xFF)};
      ImagePtr image = decode(buildTga(fields, imageType == 2 ? pixels : encodeTgaRle(pixels, 3)));
      ASSERT_TRUE(image) << idLength;
      EXPECT_EQ(pixelBytes(*image), pixels) << "ID length " << idLength;
    }
  }
}

TEST(TgaReader, KeepsTheFourthByteAsAlphaWhateverTheAlphaBitCount) {
  const Bytes pixels = tgaTestPixels(3, 2, 4);
  for (std::uint8_t descriptor : Types{0x00, 0x08, 0x0F}) {
    ImagePtr image =
        decode(buildTga({.width = 3, .pixelDepth = 32, .descriptor = descriptor}, pixels));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->channels, 4);
    EXPECT_EQ(pixelBytes(*image), pixels);
  }
}

struct OriginCase {
  const char* name;
  std::uint8_t imageType;
  std::uint8_t pixelDepth;
  std::uint8_t descriptor;
  bool topFirst;
};

// Names the case in test output (the default printer dumps raw bytes, padding included).
void PrintTo(const OriginCase& testCase, std::ostream* out) { *out << testCase.name; }

class TgaReaderOrigin : public ::testing::TestWithParam<OriginCase> {};

// Bit 5 alone decides the row order; bit 4 (right to left) and the alpha bits change nothing.
TEST_P(TgaReaderOrigin, PutsRowsBottomUpAndColumnsInStoredOrder) {
  const OriginCase& c = GetParam();
  const unsigned channels = c.pixelDepth / 8u;
  const Bytes stored = tgaTestPixels(3, 2, channels);  // rows A then B
  const TgaFields fields{.imageType = c.imageType,
                         .width = 3,
                         .height = 2,
                         .pixelDepth = c.pixelDepth,
                         .descriptor = c.descriptor};
  ImagePtr image =
      decode(buildTga(fields, c.imageType == 2 ? stored : encodeTgaRle(stored, channels)));
  ASSERT_TRUE(image);
  EXPECT_EQ(pixelBytes(*image), c.topFirst ? reverseRows(stored, 3 * channels) : stored);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, TgaReaderOrigin,
                         ::testing::Values(OriginCase{"BottomFirst", 2, 24, 0x00, false},
                                           OriginCase{"TopFirst", 2, 24, 0x20, true},
                                           OriginCase{"TopFirstRle", 10, 24, 0x20, true},
                                           OriginCase{"BottomFirstRle32", 10, 32, 0x08, false},
                                           OriginCase{"RightToLeftIgnored", 2, 24, 0x10, false},
                                           OriginCase{"RightToLeftTopFirst", 10, 32, 0x38, true},
                                           OriginCase{"HighBitsIgnored", 2, 24, 0xC0, false}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(TgaReader, RunPacketStartingInLastPixelOfARowFillsTheNextRow) {
  Bytes data;
  appendRawPacket(data, 2, kPixelA + kPixelB);
  appendRunPacket(data, 3, kPixelC);  // row 0 column 2, row 1 columns 0 and 1
  appendRawPacket(data, 1, kPixelA);
  ImagePtr image = decode(buildTga({.imageType = 10, .width = 3, .height = 2}, data));
  ASSERT_TRUE(image);
  EXPECT_EQ(pixelBytes(*image), kPixelA + kPixelB + kPixelC + kPixelC + kPixelC + kPixelA);
}

TEST(TgaReader, RawPacketCrossingRowsCarriesOn) {
  const Bytes stored = tgaTestPixels(2, 3, 3);
  Bytes data;
  appendRunPacket(data, 1, Bytes(stored.begin(), stored.begin() + 3));
  appendRawPacket(data, 5, Bytes(stored.begin() + 3, stored.end()));
  ImagePtr image = decode(buildTga({.imageType = 10, .width = 2, .height = 3}, data));
  ASSERT_TRUE(image);
  EXPECT_EQ(pixelBytes(*image), stored);
}

TEST(TgaReader, EncodedPicturesDecodeToTheirPixels) {
  for (unsigned channels : {3u, 4u}) {
    Bytes stored = tgaTestPixels(37, 9, channels);
    // Long runs across rows, a run of exactly 128 and one of 129.
    std::fill(stored.begin() + at(20 * channels), stored.begin() + at(90 * channels), 0x42);
    std::fill(stored.begin() + at(100 * channels), stored.begin() + at(228 * channels), 0x17);
    std::fill(stored.begin() + at(230 * channels), stored.begin() + at(329 * channels), 0x99);
    const TgaFields fields{.imageType = 10,
                           .width = 37,
                           .height = 9,
                           .pixelDepth = static_cast<std::uint8_t>(channels * 8)};
    ImagePtr image = decode(buildTga(fields, encodeTgaRle(stored, channels)));
    ASSERT_TRUE(image);
    EXPECT_EQ(pixelBytes(*image), stored) << channels;
  }
}

TEST(TgaReader, RunLengthDataEndingEarlyLeavesTheRestZero) {
  // Let the picture land in a block that held non-zero bytes, so stale bytes would show.
  const std::size_t blockBytes = Image::kHeaderBytes + 4 * 4 * 3;
  {
    HeapPtr<std::uint8_t[]> stale = allocateArray<std::uint8_t>(blockBytes);
    ASSERT_TRUE(stale);
    std::memset(stale.get(), 0xAB, blockBytes);
  }
  Bytes data;
  appendRunPacket(data, 3, kPixelA);
  appendRawPacket(data, 2, kPixelB + kPixelC);
  data.push_back(0x84);  // a run packet whose pixel is missing
  data.push_back(0x11);
  ImagePtr image = decode(buildTga({.imageType = 10, .width = 4, .height = 4}, data));
  ASSERT_TRUE(image);
  Bytes expected = kPixelA + kPixelA + kPixelA + kPixelB + kPixelC;
  expected.resize(4 * 4 * 3, 0);
  EXPECT_EQ(pixelBytes(*image), expected);
}

// ---- unpackTgaRle ----------------------------------------------------------------------------

constexpr std::uint8_t kSentinel = 0xCD;

struct Unpacked {
  Bytes output;        // the outputBytes bytes written
  bool guardIntact;    // the bytes after them untouched
  std::size_t unused;  // the returned count
};

Unpacked unpack(const Bytes& input, std::size_t outputBytes, std::size_t pixelSize) {
  Bytes buffer(outputBytes + 16, kSentinel);
  // A heap copy of exactly the input, so a read past it is caught by the sanitizer.
  HeapPtr<std::uint8_t[]> in = allocateArray<std::uint8_t>(input.size());
  if (!input.empty()) std::memcpy(in.get(), input.data(), input.size());
  const std::size_t unused =
      unpackTgaRle(buffer.data(), outputBytes, in.get(), input.size(), pixelSize);
  const bool intact = std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(outputBytes),
                                  buffer.end(), [](std::uint8_t b) { return b == kSentinel; });
  buffer.resize(outputBytes);
  return {buffer, intact, unused};
}

TEST(UnpackTgaRle, RunPacketRepeatsItsPixel) {
  const Unpacked u = unpack(Bytes{0x83} + kPixelA, 12, 3);
  EXPECT_EQ(u.output, kPixelA + kPixelA + kPixelA + kPixelA);
  EXPECT_TRUE(u.guardIntact);
  EXPECT_EQ(u.unused, 0u);
}

TEST(UnpackTgaRle, RawPacketCopiesItsPixels) {
  const Unpacked u = unpack(Bytes{0x02} + kPixelA + kPixelB + kPixelC, 9, 3);
  EXPECT_EQ(u.output, kPixelA + kPixelB + kPixelC);
  EXPECT_TRUE(u.guardIntact);
  EXPECT_EQ(u.unused, 0u);
}

TEST(UnpackTgaRle, RunOf128WithTenPixelsLeftWritesTenAndStops) {
  const Bytes tail = {0x00, 1, 2, 3};  // a further packet that must not be taken
  const Unpacked u = unpack(Bytes{0xFF} + kPixelA + tail, 30, 3);
  Bytes expected;
  for (int i = 0; i < 10; ++i) expected = expected + kPixelA;
  EXPECT_EQ(u.output, expected);
  EXPECT_TRUE(u.guardIntact);
  EXPECT_EQ(u.unused, tail.size());
}

TEST(UnpackTgaRle, RawPacketCutInsideAPixelCopiesTheWholePixels) {
  const Bytes four = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};  // 2.5 pixels of 4 bytes
  const Unpacked u = unpack(Bytes{0x03} + four, 16, 4);
  EXPECT_EQ(u.output, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(u.guardIntact);
  EXPECT_EQ(u.unused, 2u);
}

struct ReturnCase {
  const char* name;
  Bytes input;
  std::size_t outputBytes;
  std::size_t pixelSize;
  std::size_t unused;
};

// Names the case in test output (the default printer dumps raw bytes, padding included).
void PrintTo(const ReturnCase& testCase, std::ostream* out) { *out << testCase.name; }

class UnpackTgaRleReturn : public ::testing::TestWithParam<ReturnCase> {};

TEST_P(UnpackTgaRleReturn, CountsTheInputBytesNotConsumed) {
  const ReturnCase& c = GetParam();
  const Unpacked u = unpack(c.input, c.outputBytes, c.pixelSize);
  EXPECT_EQ(u.unused, c.unused);
  EXPECT_TRUE(u.guardIntact);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnpackTgaRleReturn,
    ::testing::Values(
        ReturnCase{"NoOutputTakesNothing", {0x80, 1, 2, 3}, 0, 3, 4},
        ReturnCase{"EmptyInput", {}, 6, 3, 0},
        ReturnCase{"HeaderAndPartialPixelStayUnread", {0x80, 1, 2}, 6, 3, 3},
        ReturnCase{"HeaderAndNothingElse", {0x80}, 6, 3, 1},
        ReturnCase{"ExactlyHeaderPlusPixelIsTaken", {0x80, 1, 2, 3}, 6, 3, 0},
        ReturnCase{"SurplusAfterFullPicture", {0x81, 1, 2, 3, 9, 9, 9, 9, 9}, 6, 3, 5},
        ReturnCase{"RawCutByOutputLeavesItsRest", {0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 6, 3, 3},
        ReturnCase{"RawCutByInputKeepsPartialPixel", {0x02, 1, 2, 3, 4, 5}, 9, 3, 2},
        ReturnCase{"ShortPixelAfterARunStaysUnread", {0x80, 1, 2, 3, 4, 0x7F, 1, 2, 3}, 12, 4, 4},
        ReturnCase{"RawCutByInputConsumesItAll", {0x80, 1, 2, 3, 4, 0x7F, 1, 2, 3, 4}, 12, 4, 0}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// Every pixel size the unpacker takes, run lengths 1..128, and an output that ends inside a
// pixel: the result must match a plain packet-by-packet expansion.
TEST(UnpackTgaRle, RunsOfEveryLengthMatchAPlainExpansionForEveryPixelSize) {
  for (std::size_t pixelSize = 1; pixelSize <= 5; ++pixelSize) {
    for (std::size_t run = 1; run <= 128; ++run) {
      Bytes pixel(pixelSize);
      for (std::size_t i = 0; i < pixelSize; ++i) pixel[i] = static_cast<std::uint8_t>(run + 7 * i);
      const Bytes input = Bytes{static_cast<std::uint8_t>(0x80 | (run - 1))} + pixel;
      // Room for the whole run, and room ending inside its last pixel.
      for (const std::size_t outputBytes : {run * pixelSize, run * pixelSize - 1}) {
        if (outputBytes == 0) continue;  // no room at all: covered by the return cases
        const std::size_t written = outputBytes / pixelSize;
        Bytes expected(outputBytes, 0);
        for (std::size_t k = 0; k < written; ++k) {
          std::copy(pixel.begin(), pixel.end(),
                    expected.begin() + static_cast<std::ptrdiff_t>(k * pixelSize));
        }
        const Unpacked u = unpack(input, outputBytes, pixelSize);
        ASSERT_EQ(u.output, expected)
            << "pixel size " << pixelSize << ", run " << run << ", output bytes " << outputBytes;
        EXPECT_TRUE(u.guardIntact);
        EXPECT_EQ(u.unused, 0u);
      }
    }
  }
}

TEST(UnpackTgaRle, ZeroesWhatNoPacketReached) {
  const Unpacked u = unpack(Bytes{0x81} + kPixelA + Bytes{0x05, 1}, 15, 3);
  EXPECT_EQ(u.output, kPixelA + kPixelA + Bytes(9, 0));
  EXPECT_TRUE(u.guardIntact);
  EXPECT_EQ(u.unused, 2u);
}

// ---- detection -------------------------------------------------------------------------------

// A 4x4 RGB PNG whose samples count up from 0.
Bytes smallPng() {
  PngPicture picture;
  picture.width = 4;
  picture.height = 4;
  for (std::uint16_t sample = 0; sample < 48; ++sample) picture.samples.push_back(sample);
  return buildPng(picture);
}

// The start of a baseline JFIF file followed by filler: SOI, APP0, then bytes to 200.
Bytes jpegLike() {
  Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0x00, 0x01,
                0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xDB, 0x00, 0x43};
  jpeg.resize(200, 0x10);
  return jpeg;
}

TEST(TgaReaderDetection, NeverClaimsBmpPngOrJpegFiles) {
  EXPECT_FALSE(decode(buildBmp({})));
  EXPECT_FALSE(decode(buildBmp({.width = 5, .height = -3, .bitsPerPixel = 32})));
  EXPECT_FALSE(decode(buildBmp({.planes = 0})));  // not even a BMP the BMP reader accepts
  EXPECT_FALSE(decode(smallPng()));
  EXPECT_FALSE(decode(jpegLike()));
}

TEST(TgaReaderDetection, RefusesAnyNonZeroSecondByte) {
  Bytes file = buildTga({}, tgaTestPixels(2, 2, 3));
  for (unsigned value = 1; value < 256; ++value) {
    file[1] = static_cast<std::uint8_t>(value);
    EXPECT_FALSE(decode(file)) << value;
  }
}

TEST(TgaReaderDetection, DecodeImageTakesATgaFileThroughTheChain) {
  const Bytes stored = tgaTestPixels(5, 3, 4);
  const Bytes file =
      buildTga({.imageType = 10, .width = 5, .height = 3, .pixelDepth = 32, .descriptor = 0x20},
               encodeTgaRle(stored, 4));
  ImagePtr image = decodeImage(ByteSpan(file.data(), file.size()));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 5);
  EXPECT_EQ(image->height, 3);
  EXPECT_EQ(image->channels, 4);
  EXPECT_EQ(pixelBytes(*image), reverseRows(stored, 5 * 4));
}

// ---- end to end ------------------------------------------------------------------------------

void putLe32(Bytes& out, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) out[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The converter's output for a picture of the given padded size, written field by field.
Bytes bmpHeader(std::uint32_t width, std::uint32_t height, std::uint32_t channels,
                std::uint32_t unpaddedWidth, std::uint32_t unpaddedHeight) {
  Bytes header(54, 0);
  header[0] = 'B';
  header[1] = 'M';
  putLe32(header, 2, 54 + width * height * channels);  // file size
  putLe32(header, 10, 54);                             // pixel data offset
  putLe32(header, 14, 40);                             // info header size
  putLe32(header, 18, width);
  putLe32(header, 22, height);
  header[26] = 1;  // planes
  header[28] = static_cast<std::uint8_t>(channels * 8);
  putLe32(header, 38, unpaddedWidth);
  putLe32(header, 42, unpaddedHeight);
  return header;
}

TEST(TgaReaderEndToEnd, ConvertsTgaFilesIntoPaddedBmpFiles) {
  ScratchFolder folder(true);
  std::filesystem::create_directory("img");

  // 5x4, 24 bits, run-length encoded, top row first, with an ID field.
  const Bytes storedA = tgaTestPixels(5, 4, 3);
  writeFile(
      "img/a_rle.tga",
      buildTga(
          {.imageType = 10, .width = 5, .height = 4, .descriptor = 0x20, .id = {'p', 'i', 'c'}},
          encodeTgaRle(storedA, 3)));
  // 4x4, 32 bits, uncompressed, bottom row first, with a footer after the pixels.
  Bytes storedB = tgaTestPixels(4, 4, 4);
  Bytes fileB = buildTga({.width = 4, .height = 4, .pixelDepth = 32}, storedB);
  fileB.resize(fileB.size() + 26, 0x54);
  writeFile("img/b_raw.tga", fileB);

  const ProcessResult run = runConverterHere();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, withNativeSeparators("File bmp/a_rle.bmp generated OK, size: 5x4/24\n"
                                             "File bmp/b_raw.bmp generated OK, size: 4x4/32\n"
                                             "OK\n"));

  // Picture row r is stored row 3 - r; columns 5..7 repeat column 4.
  Bytes expectedA = bmpHeader(8, 4, 3, 5, 4);
  for (std::uint32_t r = 0; r < 4; ++r) {
    for (std::uint32_t x = 0; x < 8; ++x) {
      for (std::uint32_t k = 0; k < 3; ++k)
        expectedA.push_back(tgaTestPixel(3 - r, std::min(x, 4u), k));
    }
  }
  EXPECT_EQ(readFile("bmp/a_rle.bmp"), expectedA);

  Bytes expectedB = bmpHeader(4, 4, 4, 4, 4);
  expectedB.insert(expectedB.end(), storedB.begin(), storedB.end());
  EXPECT_EQ(readFile("bmp/b_raw.bmp"), expectedB);
}

// ---- hostile data ----------------------------------------------------------------------------

struct ValidFile {
  const char* name;
  TgaFields fields;
  bool rle;
};

std::vector<ValidFile> validFiles() {
  return {
      {"Raw24", {.width = 5, .height = 3, .id = {1, 2}}, false},
      {"Raw32TopFirst", {.width = 3, .height = 4, .pixelDepth = 32, .descriptor = 0x20}, false},
      {"Rle24", {.imageType = 10, .width = 6, .height = 5, .id = {7}}, true},
      {"Rle32TopFirst",
       {.imageType = 10, .width = 4, .height = 3, .pixelDepth = 32, .descriptor = 0x20},
       true},
  };
}

Bytes validBytes(const ValidFile& v) {
  const unsigned channels = v.fields.pixelDepth / 8u;
  Bytes stored = tgaTestPixels(v.fields.width, v.fields.height, channels);
  if (v.rle) std::fill(stored.begin() + at(3 * channels), stored.begin() + at(9 * channels), 0x3C);
  return buildTga(v.fields, v.rle ? encodeTgaRle(stored, channels) : stored);
}

// A cut run-length file keeps every pixel its whole packets reached and is zero after them.
TEST(TgaReaderHostile, TruncatedRunLengthFilesKeepAPrefixOfThePicture) {
  for (const ValidFile& v : validFiles()) {
    if (!v.rle) continue;
    const Bytes file = validBytes(v);
    ImagePtr full = decode(file);
    ASSERT_TRUE(full) << v.name;
    const Bytes fullPixels = pixelBytes(*full);
    const std::size_t dataOffset = 18 + v.fields.id.size();
    const std::size_t channels = full->channels;
    const bool topFirst = (v.fields.descriptor & 0x20) != 0;
    const std::size_t rowBytes = full->rowBytes();
    for (std::size_t length = 0; length < file.size(); ++length) {
      HeapPtr<std::uint8_t[]> copy = allocateArray<std::uint8_t>(length);
      if (length != 0) std::memcpy(copy.get(), file.data(), length);
      ImagePtr image = decodeTga(ByteSpan(copy.get(), length));
      ASSERT_EQ(static_cast<bool>(image), length > dataOffset) << v.name << " length " << length;
      if (!image) continue;
      // Compare in stored order: a run of matching pixels, then only zero pixels.
      const Bytes got = topFirst ? reverseRows(pixelBytes(*image), rowBytes) : pixelBytes(*image);
      const Bytes want = topFirst ? reverseRows(fullPixels, rowBytes) : fullPixels;
      bool reachedEnd = false;
      for (std::size_t p = 0; p < got.size(); p += channels) {
        const bool same =
            std::equal(got.begin() + at(p), got.begin() + at(p + channels), want.begin() + at(p));
        const bool zero = std::all_of(got.begin() + at(p), got.begin() + at(p + channels),
                                      [](std::uint8_t b) { return b == 0; });
        if (!reachedEnd && !same) reachedEnd = true;
        if (reachedEnd) {
          ASSERT_TRUE(zero) << v.name << " length " << length << " pixel " << p / channels;
        }
      }
    }
  }
}

// A run-length file of 718 bytes claiming 16384 x 16384 at 32 bits: the picture is
// 1 GiB, but only the pixels the packets reach (and, top row first, their flipped places) may
// become resident.
TEST(TgaReaderHostile, ShortRunLengthFileClaimingTheLargestSizeTouchesLittleMemory) {
#ifdef _WIN32
  GTEST_SKIP() << "reads the peak of resident memory from /proc, which Windows lacks";
#endif
  for (const std::uint8_t descriptor : {std::uint8_t{0}, std::uint8_t{0x20}}) {
    TgaFields fields;
    fields.imageType = 10;
    fields.width = 16384;
    fields.height = 16384;
    fields.pixelDepth = 32;
    fields.descriptor = descriptor;
    Bytes data;
    for (int packet = 0; packet < 140; ++packet) appendRunPacket(data, 128, {1, 2, 3, 4});
    ASSERT_TRUE(resetPeakResident()) << "the peak of resident memory cannot be reset";
    const std::size_t before = peakResidentBytes();
    ImagePtr image = decode(buildTga(fields, data));
    const std::size_t after = peakResidentBytes();
    ASSERT_TRUE(image);
    ASSERT_EQ(image->pixelBytes(), std::size_t{1} << 30);
    // A quarter of the picture leaves room for a sanitizer's shadow memory.
    EXPECT_LT(after, before + image->pixelBytes() / 4) << "descriptor " << int{descriptor};
    // The packets hold 140 * 128 pixels: the whole first stored row, then a part of the second.
    const std::size_t firstRow = descriptor == 0 ? 0 : 16383;
    const std::uint8_t* row = image->pixels() + firstRow * image->rowBytes();
    EXPECT_EQ(row[0], 1);
    EXPECT_EQ(row[image->rowBytes() - 1], 4);
    EXPECT_EQ(image->pixels()[image->pixelBytes() / 2], 0);
  }
}

}  // namespace
