#include "png/scanline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "png/decode_state.h"
#include "png/inflate.h"
#include "support/png_writer.h"

namespace {

// Each test sets up pngState by hand and leaves it idle.
class Scanline : public ::testing::Test {
 protected:
  void TearDown() override { releasePngState(); }

  // Format fields as the IHDR handler sets them, plus the two scanline buffers.
  static void setFormat(std::int32_t width, std::int32_t height, std::int32_t bitDepth,
                        std::int32_t colourType) {
    const std::int32_t bytesPerPixel = colourType == 2   ? 3
                                       : colourType == 4 ? 2
                                       : colourType == 6 ? 4
                                                         : 1;
    pngState.width = width;
    pngState.height = height;
    pngState.bitDepth = bitDepth;
    pngState.colourType = colourType;
    pngState.bytesPerPixel = bytesPerPixel;
    pngState.rowBytes = bitDepth >= 8 ? bytesPerPixel * width : (bitDepth * width + 7) / 8;
    const auto rowBytes = static_cast<std::size_t>(pngState.rowBytes);
    pngState.rows[0] = allocateArray<std::uint8_t>(rowBytes);
    pngState.rows[1] = allocateArray<std::uint8_t>(rowBytes);
    std::memset(pngState.rows[0].get(), 0, rowBytes);
    std::memset(pngState.rows[1].get(), 0, rowBytes);
    const std::size_t pixelBytes = static_cast<std::size_t>(bytesPerPixel) *
                                   static_cast<std::size_t>(width) *
                                   static_cast<std::size_t>(height);
    pngState.pixels = allocateArray<std::uint8_t>(pixelBytes);
    std::memset(pngState.pixels.get(), 0xCD, pixelBytes);
    pngState.currentRow = 0;
  }

  static void putCurrent(const Bytes& bytes) {
    std::memcpy(pngState.rows[pngState.currentRow].get(), bytes.data(), bytes.size());
  }
  static void putPrevious(const Bytes& bytes) {
    std::memcpy(pngState.rows[1 - pngState.currentRow].get(), bytes.data(), bytes.size());
  }
  static Bytes current(std::size_t length) {
    const std::uint8_t* row = pngState.rows[pngState.currentRow].get();
    return Bytes(row, row + length);
  }
  // pngState.pixels as the row target, top row first.
  static RowTarget pixelsTarget() {
    return RowTarget{pngState.pixels.get(),
                     static_cast<std::ptrdiff_t>(pngState.bytesPerPixel) * pngState.width};
  }
  static Bytes pixels() {
    const std::size_t bytes = static_cast<std::size_t>(pngState.bytesPerPixel) *
                              static_cast<std::size_t>(pngState.width) *
                              static_cast<std::size_t>(pngState.height);
    return Bytes(pngState.pixels.get(), pngState.pixels.get() + bytes);
  }

  // Points the zlib decoder at stream and starts it.
  static bool startStream(const Bytes& stream) {
    pngState.idatData = allocateArray<std::uint8_t>(stream.size());
    std::memcpy(pngState.idatData.get(), stream.data(), stream.size());
    pngState.idatLength = static_cast<std::int32_t>(stream.size());
    pngState.idatCursor = pngState.idatData.get();
    pngState.idatEnd = pngState.idatData.get() + stream.size();
    return inflateBegin();
  }
};

// ---- Paeth predictor -------------------------------------------------------------------------

struct PaethCase {
  std::uint8_t left, above, upperLeft, expected;
};

TEST_F(Scanline, PaethPredictorBreaksTiesLeftThenAboveThenUpperLeft) {
  const PaethCase cases[] = {
      {0, 3, 2, 0},         // p = 1: pa = pc = 1 < pb = 2 -> left
      {0, 3, 1, 3},         // p = 2: pb = pc = 1 < pa = 2 -> above
      {7, 7, 7, 7},         // all equal -> left
      {10, 20, 15, 15},     // p = 15: pc = 0 below pa = pb = 5 -> upper-left
      {100, 10, 90, 10},    // p = 20: pa = 80, pb = 10, pc = 70 -> above
      {10, 100, 200, 10},   // p = -90: pa = 100, pb = 190, pc = 290 -> left
      {50, 60, 40, 60},     // p = 70: pa = 20, pb = 10, pc = 30 -> above
      {200, 10, 100, 100},  // p = 110: pa = 90, pb = 100, pc = 10 -> upper-left
      {255, 255, 0, 255},   // p = 510: wide arithmetic
  };
  for (const PaethCase& c : cases) {
    EXPECT_EQ(paethPredictor(c.left, c.above, c.upperLeft), c.expected)
        << int{c.left} << "," << int{c.above} << "," << int{c.upperLeft};
  }
}

// The predictor as PNG defines it, written out with the estimate and three distances.
std::uint8_t textbookPaeth(int left, int above, int upperLeft) {
  const int estimate = left + above - upperLeft;
  const int toLeft = std::abs(estimate - left);
  const int toAbove = std::abs(estimate - above);
  const int toUpperLeft = std::abs(estimate - upperLeft);
  if (toLeft <= toAbove && toLeft <= toUpperLeft) return static_cast<std::uint8_t>(left);
  if (toAbove <= toUpperLeft) return static_cast<std::uint8_t>(above);
  return static_cast<std::uint8_t>(upperLeft);
}

TEST_F(Scanline, PaethPredictorEqualsTheTextbookFormForEveryTriple) {
  std::size_t mismatches = 0;
  for (int left = 0; left < 256; ++left) {
    for (int above = 0; above < 256; ++above) {
      for (int upperLeft = 0; upperLeft < 256; ++upperLeft) {
        const std::uint8_t got =
            paethPredictor(static_cast<std::uint8_t>(left), static_cast<std::uint8_t>(above),
                           static_cast<std::uint8_t>(upperLeft));
        if (got != textbookPaeth(left, above, upperLeft) && ++mismatches <= 5) {
          ADD_FAILURE() << left << "," << above << "," << upperLeft << " -> " << int{got};
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

// ---- filter reversal -------------------------------------------------------------------------

TEST_F(Scanline, UnfilterReversesEveryFilterTypeAgainstReferenceFilter) {
  for (std::int32_t bytesPerPixel : {1, 2, 3, 4}) {
    for (std::uint8_t filterType = 0; filterType <= 4; ++filterType) {
      for (std::size_t length : {std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{23}}) {
        for (bool zeroPrior : {true, false}) {
          setFormat(static_cast<std::int32_t>(length), 1, 8, 0);
          pngState.bytesPerPixel = bytesPerPixel;
          Bytes raw(length), prior(length, 0);
          for (std::size_t i = 0; i < length; ++i) {
            raw[i] = static_cast<std::uint8_t>(i * 97 + 13 + (i % 3) * 60);
            if (!zeroPrior) prior[i] = static_cast<std::uint8_t>(255 - i * 41);
          }
          putCurrent(
              pngFilterScanline(filterType, raw, prior, static_cast<std::size_t>(bytesPerPixel)));
          putPrevious(prior);
          unfilterRow(filterType, static_cast<std::int32_t>(length));
          EXPECT_EQ(current(length), raw)
              << "type " << int{filterType} << " distance " << bytesPerPixel << " length " << length
              << (zeroPrior ? " first row" : "");
          releasePngState();
        }
      }
    }
  }
}

// Distances 3 and 4 take the pixel-at-a-time routine for whole pixels; lengths that are no
// multiple of the distance, which the decode loops never pass, go byte by byte.
TEST_F(Scanline, UnfilterOfWholeAndPartialPixelsMatchesReferenceFilter) {
  const std::size_t lengths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 64, 65, 66, 67};
  std::uint32_t seed = 7;
  for (std::int32_t bytesPerPixel : {3, 4}) {
    for (std::uint8_t filterType = 0; filterType <= 4; ++filterType) {
      for (const std::size_t length : lengths) {
        setFormat(static_cast<std::int32_t>(length), 1, 8, 0);
        pngState.bytesPerPixel = bytesPerPixel;
        Bytes raw(length), prior(length);
        for (std::size_t i = 0; i < length; ++i) {
          seed = seed * 1103515245u + 12345u;
          raw[i] = static_cast<std::uint8_t>(seed >> 16);
          prior[i] = static_cast<std::uint8_t>(seed >> 24);
        }
        putCurrent(
            pngFilterScanline(filterType, raw, prior, static_cast<std::size_t>(bytesPerPixel)));
        putPrevious(prior);
        unfilterRow(filterType, static_cast<std::int32_t>(length));
        EXPECT_EQ(current(length), raw)
            << "type " << int{filterType} << " distance " << bytesPerPixel << " length " << length;
        releasePngState();
      }
    }
  }
}

TEST_F(Scanline, FirstScanlineIsUnfilteredAgainstZeros) {
  setFormat(4, 1, 8, 0);  // distance 1
  const Bytes stored = {10, 20, 30, 40};
  putCurrent(stored);
  unfilterRow(2, 4);  // Up against zeros: unchanged
  EXPECT_EQ(current(4), stored);
  putCurrent(stored);
  unfilterRow(3, 4);  // Average: adds half the reconstructed left byte
  EXPECT_EQ(current(4), (Bytes{10, 25, 42, 61}));
  putCurrent(stored);
  unfilterRow(4, 4);  // Paeth: behaves like Sub
  EXPECT_EQ(current(4), (Bytes{10, 30, 60, 100}));
}

TEST_F(Scanline, SubOnScanlineOfOnePixelChangesNothing) {
  setFormat(1, 1, 8, 2);
  const Bytes stored = {200, 100, 50};
  putCurrent(stored);
  unfilterRow(1, 3);
  EXPECT_EQ(current(3), stored);
}

TEST_F(Scanline, AverageFormsTheSumInFullWidth) {
  setFormat(2, 1, 8, 0);
  putPrevious({255, 255});
  putCurrent({0, 1});
  unfilterRow(3, 2);
  // byte 0: 0 + 255/2 = 127; byte 1: 1 + (127 + 255)/2 = 192
  EXPECT_EQ(current(2), (Bytes{127, 192}));
}

// ---- row conversion --------------------------------------------------------------------------

struct ConvertCase {
  const char* name;
  std::int32_t width, bitDepth, colourType;
  Bytes scanline;
  Bytes expected;
};

// Names the case in test output (the default printer dumps raw bytes, padding included).
void PrintTo(const ConvertCase& testCase, std::ostream* out) { *out << testCase.name; }

class ConvertsRow : public Scanline, public ::testing::WithParamInterface<ConvertCase> {};

TEST_P(ConvertsRow, IntoDecodeBufferLayout) {
  const ConvertCase& c = GetParam();
  setFormat(c.width, 1, c.bitDepth, c.colourType);
  putCurrent(c.scanline);
  convertPlainRow(pixelsTarget(), 0);
  EXPECT_EQ(pixels(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ConvertsRow,
    ::testing::Values(
        ConvertCase{
            "Grey1", 10, 1, 0, {0b10110000, 0b01111111}, {255, 0, 255, 255, 0, 0, 0, 0, 0, 255}},
        ConvertCase{"Grey2", 5, 2, 0, {0b10011100, 0b11000000}, {170, 85, 255, 0, 255}},
        ConvertCase{"Grey4", 3, 4, 0, {0x9F, 0x0A}, {153, 255, 0}},
        ConvertCase{"Grey8", 3, 8, 0, {9, 200, 0}, {9, 200, 0}},
        ConvertCase{"Palette1", 9, 1, 3, {0b01000001, 0b10000000}, {0, 1, 0, 0, 0, 0, 0, 1, 1}},
        ConvertCase{"Palette2", 4, 2, 3, {0b11100100}, {3, 2, 1, 0}},
        ConvertCase{"Palette4", 2, 4, 3, {0x9F}, {9, 15}},
        ConvertCase{"Palette8", 2, 8, 3, {9, 255}, {9, 255}},
        ConvertCase{"GreyAlpha", 2, 8, 4, {1, 2, 3, 4}, {1, 2, 3, 4}},
        ConvertCase{"Rgb", 2, 8, 2, {1, 2, 3, 4, 5, 6}, {3, 2, 1, 6, 5, 4}},
        ConvertCase{"Rgba", 2, 8, 6, {1, 2, 3, 4, 5, 6, 7, 8}, {3, 2, 1, 4, 7, 6, 5, 8}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(Scanline, PassRowLandsAtItsColumnsAndLeavesOthers) {
  setFormat(7, 2, 8, 2);
  putCurrent({1, 2, 3, 4, 5, 6});
  convertPassRow(pixelsTarget(), adam7Passes[3], 1, 2);  // pass 4: columns 2 and 6
  Bytes expected(7 * 2 * 3, 0xCD);
  const Bytes atColumn2 = {3, 2, 1}, atColumn6 = {6, 5, 4};
  std::copy(atColumn2.begin(), atColumn2.end(), expected.begin() + (7 + 2) * 3);
  std::copy(atColumn6.begin(), atColumn6.end(), expected.begin() + (7 + 6) * 3);
  EXPECT_EQ(pixels(), expected);
}

TEST_F(Scanline, PassRowUnpacksLowBitDepths) {
  setFormat(9, 1, 2, 0);
  putCurrent({0b01101100});
  convertPassRow(pixelsTarget(), adam7Passes[5], 0, 4);  // pass 6: columns 1, 3, 5, 7
  EXPECT_EQ(pixels(), (Bytes{0xCD, 85, 0xCD, 170, 0xCD, 255, 0xCD, 0, 0xCD}));
}

// ---- row loops over a real zlib stream -------------------------------------------------------

// What pixels must hold for a picture: grey widened, palette indices kept, RGB(A) as B,G,R(,A).
Bytes expectedPixels(const PngPicture& picture) {
  const unsigned channels = pngChannels(picture.colourType);
  Bytes out;
  for (std::size_t p = 0; p < picture.samples.size() / channels; ++p) {
    const std::uint16_t* s = &picture.samples[p * channels];
    if (picture.colourType == 2 || picture.colourType == 6) {
      out.insert(out.end(), {static_cast<std::uint8_t>(s[2]), static_cast<std::uint8_t>(s[1]),
                             static_cast<std::uint8_t>(s[0])});
      if (channels == 4) out.push_back(static_cast<std::uint8_t>(s[3]));
    } else if (picture.colourType == 0) {
      const unsigned scale = 255u / ((1u << picture.bitDepth) - 1);
      out.push_back(static_cast<std::uint8_t>(s[0] * scale));
    } else {
      for (unsigned c = 0; c < channels; ++c) out.push_back(static_cast<std::uint8_t>(s[c]));
    }
  }
  return out;
}

struct Format {
  std::uint8_t bitDepth, colourType;
};
constexpr Format kFormats[] = {{1, 0}, {2, 0}, {4, 0}, {8, 0}, {8, 2}, {1, 3},
                               {2, 3}, {4, 3}, {8, 3}, {8, 4}, {8, 6}};

TEST_F(Scanline, LoopsPlaceEveryPixelOfEveryFormatAndPassGeometry) {
  const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
      {1, 1}, {5, 5}, {1, 9}, {9, 1}, {2, 2}, {3, 7}, {8, 8}, {10, 3}, {13, 17}, {17, 12}, {33, 9}};
  std::uint32_t seed = 1;
  for (const Format& format : kFormats) {
    for (const auto& [width, height] : sizes) {
      for (bool interlaced : {false, true}) {
        PngPicture picture =
            makePngPicture(width, height, format.bitDepth, format.colourType, interlaced, seed);
        picture.filters = {static_cast<std::uint8_t>(seed % 5), 1, 2, 3, 4, 0};
        ++seed;
        setFormat(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height),
                  format.bitDepth, format.colourType);
        // The stream holds exactly the picture: a loop asking for more gets a short read.
        ASSERT_TRUE(startStream(zlibCompress(pngScanlines(picture))));
        const bool placed =
            interlaced ? readInterlacedRows(pixelsTarget()) : readPlainRows(pixelsTarget());
        ASSERT_TRUE(placed) << width << "x" << height << " depth " << int{format.bitDepth}
                            << " type " << int{format.colourType} << (interlaced ? " Adam7" : "");
        EXPECT_EQ(pixels(), expectedPixels(picture))
            << width << "x" << height << " depth " << int{format.bitDepth} << " type "
            << int{format.colourType} << (interlaced ? " Adam7" : "");
        releasePngState();
      }
    }
  }
}

// Plain 8-bit truecolour rows are reconstructed and reordered in one pass, per filter type;
// each width runs every type alone over several rows, so the previous row matters too.
TEST_F(Scanline, PlainTruecolourRowsOfEveryWidthAndFilterTypeAreExact) {
  const std::uint32_t widths[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 64, 65};
  std::uint32_t seed = 500;
  for (std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{6}}) {
    for (std::uint8_t filterType = 0; filterType <= 4; ++filterType) {
      for (const std::uint32_t width : widths) {
        PngPicture picture = makePngPicture(width, 4, 8, colourType, false, ++seed);
        picture.filters = {filterType};
        setFormat(static_cast<std::int32_t>(width), 4, 8, colourType);
        ASSERT_TRUE(startStream(zlibCompress(pngScanlines(picture))));
        ASSERT_TRUE(readPlainRows(pixelsTarget()));
        EXPECT_EQ(pixels(), expectedPixels(picture))
            << "type " << int{colourType} << " filter " << int{filterType} << " width " << width;
        releasePngState();
      }
    }
  }
}

// A negative stride puts the top row last, as in an Image.
TEST_F(Scanline, RowsGoToTheirPlaceWithANegativeStride) {
  for (bool interlaced : {false, true}) {
    PngPicture picture = makePngPicture(5, 9, 8, 6, interlaced, 61);
    picture.filters = {4, 3, 1};
    setFormat(5, 9, 8, 6);
    ASSERT_TRUE(startStream(zlibCompress(pngScanlines(picture))));
    const std::ptrdiff_t rowBytes = 5 * 4;
    const RowTarget bottomUp{pngState.pixels.get() + 8 * rowBytes, -rowBytes};
    ASSERT_TRUE(interlaced ? readInterlacedRows(bottomUp) : readPlainRows(bottomUp));
    const Bytes topDown = expectedPixels(picture);
    Bytes expected;
    for (std::size_t row = 9; row-- > 0;) {
      const auto from = topDown.begin() + static_cast<std::ptrdiff_t>(row) * rowBytes;
      expected.insert(expected.end(), from, from + rowBytes);
    }
    EXPECT_EQ(pixels(), expected) << (interlaced ? "Adam7" : "plain");
    releasePngState();
  }
}

TEST_F(Scanline, InterlacedOnePixelPictureReadsOnlyPassOne) {
  setFormat(1, 1, 8, 6);
  // Filter byte and one pixel; nothing else is in the stream.
  ASSERT_TRUE(startStream(zlibCompress({0, 10, 20, 30, 40})));
  ASSERT_TRUE(readInterlacedRows(pixelsTarget()));
  EXPECT_EQ(pixels(), (Bytes{30, 20, 10, 40}));
}

TEST_F(Scanline, DataAfterTheLastRowIsLeftUnread) {
  PngPicture picture = makePngPicture(6, 4, 8, 2, false, 77);
  Bytes data = pngScanlines(picture);
  data.resize(data.size() + 500, 9);
  setFormat(6, 4, 8, 2);
  ASSERT_TRUE(startStream(zlibCompress(data)));
  ASSERT_TRUE(readPlainRows(pixelsTarget()));
  EXPECT_EQ(pixels(), expectedPixels(picture));
}

TEST_F(Scanline, FilterTypeAboveFourFailsAlsoInTheLastRow) {
  for (bool interlaced : {false, true}) {
    for (std::uint8_t badType : {std::uint8_t{5}, std::uint8_t{255}}) {
      PngPicture picture = makePngPicture(5, 5, 8, 2, interlaced, 3);
      Bytes data = pngScanlines(picture);
      // The last scanline of either layout is the last row of the picture (pass 7 when
      // interlaced: 5 pixels of 3 bytes).
      data[data.size() - 16] = badType;
      setFormat(5, 5, 8, 2);
      ASSERT_TRUE(startStream(zlibCompress(data)));
      EXPECT_FALSE(interlaced ? readInterlacedRows(pixelsTarget()) : readPlainRows(pixelsTarget()))
          << int{badType};
      releasePngState();
    }
  }
}

TEST_F(Scanline, StreamEndingBeforeTheLastRowFails) {
  for (bool interlaced : {false, true}) {
    for (std::size_t missing : {std::size_t{1}, std::size_t{15}, std::size_t{16}}) {
      PngPicture picture = makePngPicture(5, 5, 8, 2, interlaced, 4);
      Bytes data = pngScanlines(picture);
      data.resize(data.size() - missing);
      setFormat(5, 5, 8, 2);
      ASSERT_TRUE(startStream(zlibCompress(data)));
      EXPECT_FALSE(interlaced ? readInterlacedRows(pixelsTarget()) : readPlainRows(pixelsTarget()))
          << missing;
      releasePngState();
    }
  }
}

}  // namespace

// ---- Vector and portable forms ----------------------------------------------------------------

// Restores the default code path when a test ends, passed or not.
struct CodePathGuard {
  ~CodePathGuard() { setCodePath(CodePath::kBest); }
};

// Random rows of every filter type (and every type mixed row by row), reconstructed through each
// code path: the vector forms where the CPU has them, SSE2 alone, and the portable form must
// all give the pixels of the picture.
TEST_F(Scanline, EveryCodePathReconstructsRandomRowsAlike) {
  const CodePathGuard guard;
  const std::uint32_t widths[] = {1, 2, 3, 4, 5, 6, 7, 11, 16, 21, 33, 100};
  std::uint32_t seed = 900;
  for (std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{6}}) {
    for (std::uint8_t filterType = 0; filterType <= 5; ++filterType) {  // 5: mixed
      for (const std::uint32_t width : widths) {
        PngPicture picture = makePngPicture(width, 9, 8, colourType, false, ++seed);
        picture.filters = filterType == 5 ? std::vector<std::uint8_t>{4, 3, 2, 1, 0, 4, 1, 3, 2}
                                          : std::vector<std::uint8_t>{filterType};
        const Bytes stream = zlibCompress(pngScanlines(picture));
        const Bytes expected = expectedPixels(picture);
        for (CodePath path : {CodePath::kBest, CodePath::kBaseline, CodePath::kPortable}) {
          setCodePath(path);
          setFormat(static_cast<std::int32_t>(width), 9, 8, colourType);
          ASSERT_TRUE(startStream(stream));
          ASSERT_TRUE(readPlainRows(pixelsTarget()));
          EXPECT_EQ(pixels(), expected)
              << "type " << int{colourType} << " filter " << int{filterType} << " width " << width
              << " path " << static_cast<int>(path);
          releasePngState();
        }
      }
    }
  }
}

// unfilterRow, which the interlaced loop uses for every pass, through each code path against the
// reference filter on random rows.
TEST_F(Scanline, EveryCodePathUnfiltersRandomRowsLikeTheReferenceFilter) {
  const CodePathGuard guard;
  std::mt19937 rng(31);
  for (CodePath path : {CodePath::kBest, CodePath::kBaseline, CodePath::kPortable}) {
    setCodePath(path);
    for (std::int32_t bytesPerPixel : {3, 4}) {
      for (std::uint8_t filterType = 0; filterType <= 4; ++filterType) {
        for (std::size_t pixelCount :
             {std::size_t{1}, std::size_t{5}, std::size_t{6}, std::size_t{17}, std::size_t{40}}) {
          const std::size_t length = pixelCount * static_cast<std::size_t>(bytesPerPixel);
          setFormat(static_cast<std::int32_t>(length), 1, 8, 0);
          pngState.bytesPerPixel = bytesPerPixel;
          Bytes raw(length), prior(length);
          for (std::size_t i = 0; i < length; ++i) {
            raw[i] = static_cast<std::uint8_t>(rng());
            prior[i] = static_cast<std::uint8_t>(rng());
          }
          putCurrent(
              pngFilterScanline(filterType, raw, prior, static_cast<std::size_t>(bytesPerPixel)));
          putPrevious(prior);
          unfilterRow(filterType, static_cast<std::int32_t>(length));
          EXPECT_EQ(current(length), raw) << "path " << static_cast<int>(path) << " type "
                                          << int{filterType} << " distance " << bytesPerPixel;
          releasePngState();
        }
      }
    }
  }
}

// Paeth through each code path for every (left, above, upperLeft) triple: in a scanline of 3- or
// 4-byte pixels, each odd pixel takes its left neighbour from the even pixel before it and its
// upper neighbours from the scanline above, one triple per channel.
TEST_F(Scanline, EveryCodePathUnfiltersPaethForEveryTriple) {
  const CodePathGuard guard;
  for (CodePath path : {CodePath::kBest, CodePath::kBaseline}) {
    setCodePath(path);
    for (std::size_t pixel : {std::size_t{3}, std::size_t{4}}) {
      const std::size_t length = (65536 + pixel - 1) / pixel * 2 * pixel;
      std::size_t mismatches = 0;
      for (int upperLeft = 0; upperLeft < 256 && mismatches == 0; ++upperLeft) {
        Bytes raw(length), prior(length), filtered(length);
        for (std::size_t i = 0; i < length; ++i) {
          // (left, above) = (pair >> 8, pair & 255)
          const std::size_t pair = (i / (2 * pixel)) * pixel + i % pixel;
          const bool odd = i % (2 * pixel) >= pixel;
          raw[i] = static_cast<std::uint8_t>(odd ? pair * 7 : pair >> 8);
          prior[i] = static_cast<std::uint8_t>(odd ? pair : static_cast<std::size_t>(upperLeft));
        }
        for (std::size_t i = 0; i < length; ++i) {
          const int left = i >= pixel ? raw[i - pixel] : 0;
          const int corner = i >= pixel ? prior[i - pixel] : 0;
          filtered[i] = static_cast<std::uint8_t>(raw[i] - textbookPaeth(left, prior[i], corner));
        }
        setFormat(static_cast<std::int32_t>(length), 1, 8, 0);
        pngState.bytesPerPixel = static_cast<std::int32_t>(pixel);
        putCurrent(filtered);
        putPrevious(prior);
        unfilterRow(4, static_cast<std::int32_t>(length));
        const Bytes got = current(length);
        for (std::size_t i = 0; i < length; ++i) {
          if (got[i] != raw[i] && ++mismatches <= 3) {
            ADD_FAILURE() << "path " << static_cast<int>(path) << " pixel " << pixel
                          << " upperLeft " << upperLeft << " byte " << i;
          }
        }
        releasePngState();
      }
      EXPECT_EQ(mismatches, 0u);
    }
  }
}
