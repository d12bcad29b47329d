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

// One unfiltered scanline, so the bytes placed are the conversion's alone.
TEST_P(ConvertsRow, IntoDecodeBufferLayout) {
  const ConvertCase& c = GetParam();
  setFormat(c.width, 1, c.bitDepth, c.colourType);
  Bytes data = {0};
  data.insert(data.end(), c.scanline.begin(), c.scanline.end());
  ASSERT_TRUE(startStream(zlibCompress(data)));
  ASSERT_TRUE(readPlainRows(pixelsTarget()));
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

// Scanlines of one byte per pixel (8-bit grey and palette indices) with runs of Paeth rows, odd
// and even, which go two at a time: every width from 1 to 64.
TEST_F(Scanline, PlainRowsOfOneBytePerPixelWithRunsOfPaethAreExact) {
  const std::vector<std::uint8_t> patterns[] = {{4}, {4, 4, 1, 4, 4, 4, 2}, {1, 4, 4, 3, 4}};
  std::uint32_t seed = 700;
  for (std::uint8_t colourType : {std::uint8_t{0}, std::uint8_t{3}}) {
    for (const std::vector<std::uint8_t>& filters : patterns) {
      for (std::uint32_t width = 1; width <= 64; ++width) {
        PngPicture picture = makePngPicture(width, 9, 8, colourType, false, ++seed);
        picture.filters = filters;
        setFormat(static_cast<std::int32_t>(width), 9, 8, colourType);
        ASSERT_TRUE(startStream(zlibCompress(pngScanlines(picture))));
        ASSERT_TRUE(readPlainRows(pixelsTarget()));
        ASSERT_EQ(pixels(), expectedPixels(picture))
            << "type " << int{colourType} << " filters " << filters.size() << " width " << width;
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

// Both loops, every filter type and every 8-bit pixel size (1 to 4 bytes: grey, grey with
// alpha, RGB, RGBA), through each code path, on random rows: the first scanline of a picture and
// of each pass is reconstructed against zeros, the others against the scanline before, and
// sums such as left + above overflow a byte about half the time.
TEST_F(Scanline, EveryCodePathReversesEveryFilterAtEveryPixelSizeInBothLoops) {
  const CodePathGuard guard;
  const std::uint32_t widths[] = {1, 3, 4, 5, 6, 17, 23, 40};
  std::uint32_t seed = 3100;
  for (std::uint8_t colourType :
       {std::uint8_t{0}, std::uint8_t{4}, std::uint8_t{2}, std::uint8_t{6}}) {
    for (std::uint8_t filterType = 0; filterType <= 4; ++filterType) {
      for (const std::uint32_t width : widths) {
        for (bool interlaced : {false, true}) {
          PngPicture picture = makePngPicture(width, 9, 8, colourType, interlaced, ++seed);
          picture.filters = {filterType};
          const Bytes stream = zlibCompress(pngScanlines(picture));
          const Bytes expected = expectedPixels(picture);
          for (CodePath path : {CodePath::kBest, CodePath::kBaseline, CodePath::kPortable}) {
            setCodePath(path);
            setFormat(static_cast<std::int32_t>(width), 9, 8, colourType);
            ASSERT_TRUE(startStream(stream));
            ASSERT_TRUE(interlaced ? readInterlacedRows(pixelsTarget())
                                   : readPlainRows(pixelsTarget()));
            EXPECT_EQ(pixels(), expected)
                << "type " << int{colourType} << " filter " << int{filterType} << " width " << width
                << (interlaced ? " Adam7" : "") << " path " << static_cast<int>(path);
            releasePngState();
          }
        }
      }
    }
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

// A sequence of 65,537 bytes in which every ordered pair of byte values occurs as two
// neighbours: a de Bruijn sequence of order 2 (a, then a b for every b above a, for each a in
// turn), closed by its first byte.
Bytes everyBytePairInSequence() {
  Bytes sequence;
  for (int a = 0; a < 256; ++a) {
    sequence.push_back(static_cast<std::uint8_t>(a));
    for (int b = a + 1; b < 256; ++b) {
      sequence.push_back(static_cast<std::uint8_t>(a));
      sequence.push_back(static_cast<std::uint8_t>(b));
    }
  }
  sequence.push_back(sequence[0]);
  return sequence;
}

// Paeth through each code path for every (left, above, upperLeft) triple, at every 8-bit pixel
// size, in the plain loop and (at 3 and 4 bytes, where it takes its own forms) the interlaced
// one. The scanlines' pixels alternate even and odd; each channel of a pair of pixels is one
// pair p = 256 h + l. An odd pixel holds l in every scanline, so its above value is l; the even
// pixel before it holds sequence[256 h + r] in Paeth scanline r (r = 0 the unfiltered first),
// which is the odd pixel's left, and upperLeft is the even pixel above, sequence[256 h + r - 1].
// Over the 256 Paeth scanlines (h, r) meets every (left, upperLeft) pair once. The interlaced
// picture holds these scanlines in pass 7, the odd rows; the even rows are zero.
TEST_F(Scanline, EveryCodePathUnfiltersPaethForEveryTriple) {
  const CodePathGuard guard;
  const Bytes sequence = everyBytePairInSequence();
  for (std::uint8_t colourType :
       {std::uint8_t{0}, std::uint8_t{4}, std::uint8_t{2}, std::uint8_t{6}}) {
    const std::size_t pixel = pngChannels(colourType);
    const std::size_t width = (65536 + pixel - 1) / pixel * 2;
    const std::size_t rowBytes = width * pixel;
    for (bool interlaced : {false, true}) {
      if (interlaced && pixel < 3) continue;
      const std::size_t scanlines = 257;
      const std::size_t height = interlaced ? 2 * scanlines : scanlines;
      Bytes data;
      data.reserve(height * (rowBytes + 1) * 5 / 4);
      if (interlaced) {  // passes 1 to 6: zero scanlines, each a filter byte and its pixels
        for (int p = 0; p < 6; ++p) {
          const Adam7Pass& pass = adam7Passes[p];
          const auto first = static_cast<std::size_t>(pass.firstColumn);
          const auto step = static_cast<std::size_t>(pass.columnStep);
          const std::size_t count = (width - first + step - 1) / step;
          for (auto row = static_cast<std::size_t>(pass.firstRow); row < height;
               row += static_cast<std::size_t>(pass.rowStep)) {
            data.resize(data.size() + 1 + count * pixel, 0);
          }
        }
      }
      Bytes expected(height * rowBytes, 0);
      for (std::size_t r = 0; r < scanlines; ++r) {
        // The raw scanline r, its filtered form after a filter byte, and the raw one above.
        std::uint8_t* const raw = &expected[(interlaced ? 2 * r + 1 : r) * rowBytes];
        const std::uint8_t* const above = r == 0 ? nullptr : raw - (interlaced ? 2 : 1) * rowBytes;
        data.push_back(r == 0 ? 0 : 4);
        for (std::size_t i = 0; i < rowBytes; ++i) {
          const std::size_t pair = (i / (2 * pixel)) * pixel + i % pixel;
          const bool odd = i % (2 * pixel) >= pixel;
          raw[i] = odd ? static_cast<std::uint8_t>(pair) : sequence[(pair & ~std::size_t{255}) + r];
          if (r == 0) {
            data.push_back(raw[i]);
          } else {
            const int left = i >= pixel ? raw[i - pixel] : 0;
            const int corner = i >= pixel ? above[i - pixel] : 0;
            data.push_back(
                static_cast<std::uint8_t>(raw[i] - textbookPaeth(left, above[i], corner)));
          }
        }
      }
      // The picture holds the raw scanlines with R and B swapped.
      if (pixel >= 3) {
        for (std::size_t i = 0; i < expected.size(); i += pixel)
          std::swap(expected[i], expected[i + 2]);
      }
      const Bytes stream = zlibCompress(data, 0);
      for (CodePath path : {CodePath::kBest, CodePath::kBaseline, CodePath::kPortable}) {
        setCodePath(path);
        setFormat(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), 8,
                  colourType);
        ASSERT_TRUE(startStream(stream));
        ASSERT_TRUE(interlaced ? readInterlacedRows(pixelsTarget())
                               : readPlainRows(pixelsTarget()));
        const std::uint8_t* const got = pngState.pixels.get();
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
          if (got[i] != expected[i] && ++mismatches <= 3) {
            ADD_FAILURE() << "path " << static_cast<int>(path) << " type " << int{colourType}
                          << (interlaced ? " Adam7" : "") << " row " << i / rowBytes << " byte "
                          << i % rowBytes;
          }
        }
        EXPECT_EQ(mismatches, 0u);
        releasePngState();
      }
    }
  }
}
