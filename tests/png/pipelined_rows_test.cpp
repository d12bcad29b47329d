// Reconstruction on a borrowed core against reconstruction on the decoding thread alone: the same
// pictures, and for damaged files the same refusals, on random pictures large enough to be
// pipelined.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/byte_io.h"
#include "base/cpu_features.h"
#include "base/decode_report.h"
#include "base/row_sink.h"
#include "base/spare_cores.h"
#include "png/png_reader.h"
#include "support/png_writer.h"

namespace {

struct Decoded {
  bool picture = false;
  Bytes pixels;
  std::string reason;
};

Decoded decodeWith(const Bytes& file, int lentCores) {
  const SpareCoreLoan loan(lentCores);
  DecodeReport report;
  const ImagePtr image = decodePng(ByteSpan(file.data(), file.size()), &report);
  Decoded decoded;
  decoded.reason = report.reason;
  if (image) {
    decoded.picture = true;
    decoded.pixels.assign(image->pixels(), image->pixels() + image->pixelBytes());
  }
  return decoded;
}

Bytes pngFile(std::uint32_t width, std::uint32_t height, std::uint8_t colourType,
              const Bytes& zlib) {
  return joinBytes({pngSignature(), pngChunk("IHDR", pngHeaderData(width, height, 8, colourType)),
                    pngChunk("IDAT", zlib), pngChunk("IEND", {})});
}

// A random 8-bit RGB or RGBA picture of about one to three MiB of scanlines, with a random filter
// per scanline, sometimes a filter type above 4, and sometimes damage: zlib bytes changed or the
// file cut short.
Bytes randomFile(std::mt19937& random) {
  const auto below = [&](std::uint32_t bound) {
    return static_cast<std::uint32_t>(random() % bound);
  };
  const std::uint8_t colourType = below(2) == 0 ? 2 : 6;
  const std::uint32_t width = 400 + below(300);
  const std::uint32_t height = 650 + below(400);
  PngPicture picture = makePngPicture(width, height, 8, colourType, false, below(1u << 31));
  picture.filters.clear();
  for (int row = 0; row < 97; ++row) picture.filters.push_back(static_cast<std::uint8_t>(below(5)));
  if (random() % 4 == 0)
    picture.filters[random() % picture.filters.size()] = static_cast<std::uint8_t>(5 + below(250));
  Bytes zlib = zlibCompress(pngScanlines(picture), 1);
  switch (below(4)) {
    case 0:  // a few bytes of the zlib data changed
      for (int k = 0; k < 3; ++k) {
        zlib[below(static_cast<std::uint32_t>(zlib.size()))] ^=
            static_cast<std::uint8_t>(1 + below(255));
      }
      break;
    case 1:  // the zlib data cut short
      zlib.resize(zlib.size() - 1 - below(static_cast<std::uint32_t>(zlib.size() / 2)));
      break;
    default:
      break;
  }
  return pngFile(width, height, colourType, zlib);
}

TEST(PipelinedRows, EqualTheRowsOfOneThreadOnRandomAndDamagedPictures) {
  const std::uint64_t borrowedBefore = coresBorrowedSoFar();
  int pictures = 0;
  int refusals = 0;
  for (std::uint32_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const Bytes file = randomFile(random);
    const Decoded alone = decodeWith(file, 0);
    const Decoded pipelined = decodeWith(file, 1);
    EXPECT_EQ(pipelined.picture, alone.picture);
    EXPECT_EQ(pipelined.reason, alone.reason);
    EXPECT_TRUE(pipelined.pixels == alone.pixels);
    (alone.picture ? pictures : refusals) += 1;
  }
  // Both kinds came up, and the helper ran.
  EXPECT_GT(pictures, 3);
  EXPECT_GT(refusals, 3);
  EXPECT_GT(coresBorrowedSoFar() - borrowedBefore, 5u);
}

// A picture of two pulls, the second one short, whose parts go round the buffer.
TEST(PipelinedRows, EqualTheRowsOfOneThreadOverSeveralPulls) {
  PngPicture picture = makePngPicture(1100, 1000, 8, 6, false, 11);
  picture.filters = {0, 1, 2, 3, 4, 4, 2, 1, 3};
  const Bytes file = buildPng(picture);
  const Decoded alone = decodeWith(file, 0);
  const Decoded pipelined = decodeWith(file, 1);
  ASSERT_TRUE(alone.picture);
  EXPECT_TRUE(pipelined.picture);
  EXPECT_TRUE(pipelined.pixels == alone.pixels);
}

// A filter type above 4 early in a pull whose later bytes are cut off: the stream fails before
// the filter types of the pull are looked at, with the helper or without.
TEST(PipelinedRows, DamageLaterInAPullComesBeforeAnEarlierFilterType) {
  PngPicture picture = makePngPicture(700, 700, 8, 2, false, 3);
  picture.filters = {1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 9, 1, 2, 3, 4, 0};
  Bytes zlib = zlibCompress(pngScanlines(picture), 1);
  zlib.resize(zlib.size() * 3 / 4);
  const Bytes file = pngFile(700, 700, 2, zlib);
  const Decoded alone = decodeWith(file, 0);
  const Decoded pipelined = decodeWith(file, 1);
  EXPECT_FALSE(alone.picture);
  EXPECT_EQ(pipelined.reason, alone.reason);
  EXPECT_EQ(alone.reason.find("filter type"), std::string::npos) << alone.reason;
}

TEST(PipelinedRows, NoCoreIsBorrowedWhenNoneIsLent) {
  PngPicture picture = makePngPicture(1000, 600, 8, 2, false, 7);
  const Bytes file = buildPng(picture);
  const std::uint64_t borrowedBefore = coresBorrowedSoFar();
  EXPECT_TRUE(decodeWith(file, 0).picture);
  EXPECT_EQ(coresBorrowedSoFar(), borrowedBefore);
  EXPECT_TRUE(decodeWith(file, 1).picture);
  EXPECT_EQ(coresBorrowedSoFar(), borrowedBefore + 1);
}

// Keeps the rows a reader sends, checking that they come in order, once each, off the decoding
// thread.
class RecordingSink final : public RowSink {
 public:
  explicit RecordingSink(bool takes) : takes_(takes) {}

  bool begin(unsigned width, unsigned height, unsigned channels) noexcept override {
    ++begun;
    height_ = height;
    rowBytes_ = std::size_t{width} * channels;
    rows.clear();
    return takes_;
  }
  void rowsReady(const std::uint8_t* topRow, std::ptrdiff_t rowStride, std::size_t first,
                 std::size_t count) noexcept override {
    inOrder = inOrder && first * rowBytes_ == rows.size() && first + count <= height_;
    onDecodingThread = onDecodingThread || std::this_thread::get_id() == decodingThread;
    for (std::size_t row = first; row < first + count; ++row) {
      const std::uint8_t* pixels = topRow + static_cast<std::ptrdiff_t>(row) * rowStride;
      rows.insert(rows.end(), pixels, pixels + rowBytes_);
    }
  }

  int begun = 0;
  bool inOrder = true;
  bool onDecodingThread = false;
  std::thread::id decodingThread = std::this_thread::get_id();
  Bytes rows;  // top row first

 private:
  bool takes_;
  std::size_t height_ = 0;
  std::size_t rowBytes_ = 0;
};

// The picture's rows, top row first.
Bytes topDown(const Decoded& decoded, std::size_t rowBytes) {
  Bytes rows;
  for (std::size_t end = decoded.pixels.size(); end >= rowBytes; end -= rowBytes) {
    rows.insert(rows.end(), decoded.pixels.begin() + static_cast<std::ptrdiff_t>(end - rowBytes),
                decoded.pixels.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return rows;
}

// With a core lent, every row of a decoded picture reaches the sink once, in order, on the
// helper, as the picture holds it; a damaged picture sends only rows of its own; without a core
// lent, or when the sink does not take the picture, no row is sent.
TEST(PipelinedRows, RowsReachTheSinkInOrderFromTheHelper) {
  int pictures = 0;
  for (std::uint32_t seed = 21; seed <= 30; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const Bytes file = randomFile(random);
    RecordingSink sink(true);
    Decoded decoded;
    {
      const RowSinkScope scope(&sink);
      decoded = decodeWith(file, 1);
    }
    EXPECT_EQ(sink.begun, 1);
    EXPECT_TRUE(sink.inOrder);
    EXPECT_FALSE(sink.onDecodingThread);
    if (!decoded.picture) continue;
    ++pictures;
    // The width and the colour type as IHDR states them, after the signature and the chunk's
    // length and type.
    const std::size_t width = readBe32(ByteSpan(file.data(), file.size()), 16);
    const std::size_t channels = file[25] == 6 ? 4 : 3;
    EXPECT_TRUE(sink.rows == topDown(decoded, width * channels));
  }
  EXPECT_GT(pictures, 2);

  const Bytes file = buildPng(makePngPicture(1000, 600, 8, 2, false, 5));
  RecordingSink declining(false);
  RecordingSink unused(true);
  {
    const RowSinkScope scope(&declining);
    EXPECT_TRUE(decodeWith(file, 1).picture);
  }
  {
    const RowSinkScope scope(&unused);
    EXPECT_TRUE(decodeWith(file, 0).picture);
  }
  EXPECT_EQ(declining.begun, 1);
  EXPECT_TRUE(declining.rows.empty());
  EXPECT_EQ(unused.begun, 0);
  EXPECT_EQ(currentRowSink(), nullptr);
}

// The picture's rows, top row first, as the writer's samples give them: blue, green, red(, alpha).
Bytes writtenRows(const PngPicture& picture) {
  const std::size_t channels = pngChannels(picture.colourType);
  Bytes rows(picture.samples.begin(), picture.samples.end());
  for (std::size_t i = 0; i < rows.size(); i += channels) std::swap(rows[i], rows[i + 2]);
  return rows;
}

// Runs of Paeth scanlines, which are reconstructed two at a time, in pictures whose parts (303
// scanlines of 2,101 bytes) are odd, so that a pair would straddle two parts: with and without a
// core lent, through each code path, the picture and the rows the sink takes are the samples the
// writer filtered.
TEST(PipelinedRows, RunsOfPaethAcrossPartsGiveTheWrittenPicture) {
  const std::vector<std::uint8_t> patterns[] = {{4}, {4, 4, 4, 1, 4, 4, 2, 4, 4, 4, 4, 0}};
  std::uint32_t seed = 40;
  for (const std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{6}}) {
    const std::uint32_t width = colourType == 2 ? 700 : 525;
    for (const std::vector<std::uint8_t>& filters : patterns) {
      PngPicture picture = makePngPicture(width, 1212, 8, colourType, false, ++seed);
      picture.filters = filters;
      const Bytes file = pngFile(width, 1212, colourType, zlibCompress(pngScanlines(picture), 1));
      const Bytes expected = writtenRows(picture);
      for (const CodePath path : {CodePath::kBest, CodePath::kBaseline, CodePath::kPortable}) {
        SCOPED_TRACE("type " + std::to_string(colourType) + ", " + std::to_string(filters.size()) +
                     " filters, path " + std::to_string(static_cast<int>(path)));
        setCodePath(path);
        RecordingSink sink(true);
        Decoded pipelined;
        {
          const RowSinkScope scope(&sink);
          pipelined = decodeWith(file, 1);
        }
        const Decoded alone = decodeWith(file, 0);
        setCodePath(CodePath::kBest);
        ASSERT_TRUE(pipelined.picture);
        ASSERT_TRUE(alone.picture);
        const std::size_t rowBytes = std::size_t{width} * pngChannels(colourType);
        EXPECT_TRUE(sink.rows == expected);
        EXPECT_TRUE(topDown(pipelined, rowBytes) == expected);
        EXPECT_TRUE(topDown(alone, rowBytes) == expected);
      }
    }
  }
}

}  // namespace
