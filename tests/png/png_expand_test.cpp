// The PNG reader asked to expand, against libpng reading the same files with the same
// transformations: every colour type and bit depth, plain and Adam7, at random sizes, written
// by libpng with random filter sets, palettes of random length (indices past their end
// included) with and without tRNS.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "base/cpu_features.h"
#include "base/decode_report.h"
#include "png/decode_state.h"
#include "png/png_reader.h"
#include "support/libpng_read.h"
#include "support/libpng_write.h"
#include "support/png_writer.h"
#include "support/test_files.h"

namespace {

struct Layout {
  std::uint8_t colourType;
  std::uint8_t bitDepth;
};

constexpr Layout kExpandedLayouts[] = {
    {0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 16}, {3, 1},
    {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 16},
};

constexpr std::size_t kMinReadBytes = 100;
constexpr std::size_t kHeaderEnd = 8 + 25;  // signature and IHDR chunk

// Files under the reader's minimum get a filler chunk after IHDR.
Bytes atLeastMinimum(Bytes file) {
  if (file.size() >= kMinReadBytes) return file;
  const Bytes filler = pngFillerChunk(kMinReadBytes - file.size() + 20);
  file.insert(file.begin() + static_cast<std::ptrdiff_t>(kHeaderEnd), filler.begin(), filler.end());
  return file;
}

struct Oracle {
  bool ok = false;
  LibpngLayout layout;
  Bytes rows;  // top row first, R,G,B(,A)
};

Oracle readWithOracle(const Bytes& file) {
  Oracle oracle;
  auto provide = [&oracle](const LibpngLayout& layout) -> std::uint8_t* {
    oracle.layout = layout;
    oracle.rows.assign(layout.rowBytes * layout.height, 0);
    return oracle.rows.data();
  };
  oracle.ok = readExpandedWithLibpng(file, provide);
  return oracle;
}

// The oracle's rows as an Image holds them: bottom row first, B,G,R(,A).
Bytes asImage(const Oracle& oracle) {
  Bytes out;
  const unsigned channels = oracle.layout.channels;
  for (std::size_t y = oracle.layout.height; y-- > 0;) {
    const std::uint8_t* row = oracle.rows.data() + y * oracle.layout.rowBytes;
    for (std::size_t x = 0; x < oracle.layout.width; ++x, row += channels) {
      out.insert(out.end(), {row[2], row[1], row[0]});
      if (channels == 4) out.push_back(row[3]);
    }
  }
  return out;
}

std::string layoutName(const Layout& layout) {
  const char* kind = layout.colourType == 0   ? "grey"
                     : layout.colourType == 2 ? "RGB"
                     : layout.colourType == 3 ? "palette"
                     : layout.colourType == 4 ? "grey+alpha"
                                              : "RGBA";
  return std::string(kind) + " " + std::to_string(layout.bitDepth) + "-bit";
}

TEST(PngExpand, MatchesLibpngOnEveryLayout) {
  std::mt19937 random(20261208);
  constexpr int kPerLayout = 12;
  for (const Layout& layout : kExpandedLayouts) {
    for (int interlace = 0; interlace < 2; ++interlace) {
      for (int round = 0; round < kPerLayout; ++round) {
        const auto width = static_cast<std::uint32_t>(1 + random() % 41);
        const auto height = static_cast<std::uint32_t>(1 + random() % 29);
        const PngPicture picture =
            makePngPicture(width, height, layout.bitDepth, layout.colourType, interlace == 1,
                           static_cast<std::uint32_t>(random()));
        LibpngWriteOptions options;
        options.filterMask = static_cast<int>(((random() % 31) + 1) << 3);  // a non-empty subset
        if (layout.colourType == 3) {
          // Short palettes leave indices past their end.
          const unsigned most = 1u << layout.bitDepth;
          const unsigned entries = 1 + static_cast<unsigned>(random() % most);
          for (unsigned i = 0; i < 3 * entries; ++i) {
            options.palette.push_back(static_cast<std::uint8_t>(random()));
          }
          if (random() % 2 == 0) {
            const unsigned alphas = 1 + static_cast<unsigned>(random() % entries);
            for (unsigned i = 0; i < alphas; ++i) {
              options.alphas.push_back(static_cast<std::uint8_t>(random()));
            }
          }
        }
        const Bytes file = atLeastMinimum(encodeAnyWithLibpng(picture, options));
        ASSERT_FALSE(file.empty());
        SCOPED_TRACE(layoutName(layout) + " " + std::to_string(width) + "x" +
                     std::to_string(height) + (interlace == 1 ? " Adam7" : "") + " round " +
                     std::to_string(round));
        const Oracle oracle = readWithOracle(file);
        ASSERT_TRUE(oracle.ok);
        DecodeReport report;
        const ImagePtr image = decodePng(ByteSpan(file.data(), file.size()), &report, true);
        ASSERT_NE(image, nullptr) << report.reason;
        ASSERT_EQ(image->width, width);
        ASSERT_EQ(image->height, height);
        ASSERT_EQ(image->channels, oracle.layout.channels);
        const Bytes expected = asImage(oracle);
        ASSERT_EQ(Bytes(image->pixels(), image->pixels() + image->pixelBytes()), expected);
        EXPECT_EQ(std::string(report.layout), layoutName(layout));
      }
    }
  }
}

// The layouts whose rows have vector forms (grey and grey with alpha at 8 and 16 bits, 16-bit
// RGB and RGBA) at every width from 1 to 64, plain and Adam7, written with each filter type alone
// and with a random set, through each code path: the vector forms, SSE2 alone and the portable
// form all read as libpng does.
TEST(PngExpand, EveryCodePathMatchesLibpngAtEveryWidth) {
  struct Restore {
    ~Restore() { setCodePath(CodePath::kBest); }
  } restore;
  constexpr Layout kVectorLayouts[] = {{0, 8}, {0, 16}, {4, 8}, {4, 16}, {2, 16}, {6, 16}};
  std::mt19937 random(57);
  for (const Layout& layout : kVectorLayouts) {
    for (int interlace = 0; interlace < 2; ++interlace) {
      for (std::uint32_t width = 1; width <= 64; ++width) {
        for (int filter = 0; filter <= 5; ++filter) {  // one filter type each, then a random set
          const auto height = static_cast<std::uint32_t>(1 + random() % 9);
          const PngPicture picture =
              makePngPicture(width, height, layout.bitDepth, layout.colourType, interlace == 1,
                             static_cast<std::uint32_t>(random()));
          LibpngWriteOptions options;
          options.filterMask =
              filter < 5 ? 8 << filter : static_cast<int>(((random() % 31) + 1) << 3);
          const Bytes file = atLeastMinimum(encodeAnyWithLibpng(picture, options));
          ASSERT_FALSE(file.empty());
          const Oracle oracle = readWithOracle(file);
          ASSERT_TRUE(oracle.ok);
          const Bytes expected = asImage(oracle);
          for (CodePath path : {CodePath::kBest, CodePath::kBaseline, CodePath::kPortable}) {
            setCodePath(path);
            SCOPED_TRACE(layoutName(layout) + " width " + std::to_string(width) +
                         (interlace == 1 ? " Adam7" : "") + " filter mask " +
                         std::to_string(options.filterMask) + " path " +
                         std::to_string(static_cast<int>(path)));
            DecodeReport report;
            const ImagePtr image = decodePng(ByteSpan(file.data(), file.size()), &report, true);
            ASSERT_NE(image, nullptr) << report.reason;
            ASSERT_EQ(Bytes(image->pixels(), image->pixels() + image->pixelBytes()), expected);
          }
        }
      }
    }
  }
}

// Without expanding, each of these layouts is refused with a reason that names the flag.
TEST(PngExpand, RefusalWithoutTheFlagNamesIt) {
  for (const Layout& layout : kExpandedLayouts) {
    SCOPED_TRACE(layoutName(layout));
    const PngPicture picture = makePngPicture(9, 7, layout.bitDepth, layout.colourType, false, 5);
    const Bytes file = atLeastMinimum(buildPng(picture));
    DecodeReport report;
    EXPECT_EQ(decodePng(ByteSpan(file.data(), file.size()), &report), nullptr);
    EXPECT_NE(std::string(report.reason).find("is not converted without --expand"),
              std::string::npos)
        << report.reason;
    EXPECT_EQ(report.layout[0], '\0');
  }
}

// A file a default run converts gives the same picture when expanding, and no layout.
TEST(PngExpand, DefaultLayoutsAreReadTheSame) {
  std::mt19937 random(7);
  for (const std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{6}}) {
    for (int round = 0; round < 20; ++round) {
      PngPicture picture =
          makePngPicture(static_cast<std::uint32_t>(1 + random() % 50),
                         static_cast<std::uint32_t>(1 + random() % 30), 8, colourType,
                         round % 2 == 1, static_cast<std::uint32_t>(random()));
      picture.filters = {static_cast<std::uint8_t>(random() % 5),
                         static_cast<std::uint8_t>(random() % 5)};
      const Bytes file = atLeastMinimum(buildPng(picture));
      const ImagePtr plain = decodePng(ByteSpan(file.data(), file.size()));
      DecodeReport report;
      const ImagePtr expanded = decodePng(ByteSpan(file.data(), file.size()), &report, true);
      ASSERT_NE(plain, nullptr);
      ASSERT_NE(expanded, nullptr);
      EXPECT_EQ(expanded->channels, plain->channels);
      EXPECT_EQ(Bytes(expanded->pixels(), expanded->pixels() + expanded->pixelBytes()),
                Bytes(plain->pixels(), plain->pixels() + plain->pixelBytes()));
      EXPECT_EQ(report.layout[0], '\0');
    }
  }
}

// An expanded palette picture keeps to the chunk order and sizes of the format.
TEST(PngExpand, PaletteChunksOutOfPlaceAreRefused) {
  const PngPicture picture = makePngPicture(8, 8, 8, 3, false, 3);
  const Bytes header = pngChunk("IHDR", pngHeaderData(8, 8, 8, 3));
  const Bytes palette = pngChunk("PLTE", pngPaletteData(256));
  const Bytes data = pngChunk("IDAT", zlibCompress(pngScanlines(picture)));
  const Bytes end = pngChunk("IEND", {});
  const Bytes filler = pngFillerChunk(40);
  const Bytes alphas = pngChunk("tRNS", Bytes(10, 7));
  const struct {
    Bytes file;
    const char* reason;
  } cases[] = {
      {joinBytes({pngSignature(), header, filler, data, palette, end}),
       "PLTE chunk after the picture data (damaged file)"},
      {joinBytes({pngSignature(), header, filler, alphas, palette, data, end}),
       "tRNS chunk before the PLTE chunk (damaged file)"},
      {joinBytes({pngSignature(), header, filler, palette, data, alphas, end}),
       "tRNS chunk after the picture data (damaged file)"},
      {joinBytes({pngSignature(), header, filler, palette, alphas, alphas, data, end}),
       "second tRNS chunk (damaged file)"},
      {joinBytes({pngSignature(), header, filler, pngChunk("PLTE", pngPaletteData(4)),
                  pngChunk("tRNS", Bytes(5, 1)), data, end}),
       "tRNS chunk with more entries than the palette's 4 (damaged file)"},
  };
  for (const auto& each : cases) {
    DecodeReport report;
    EXPECT_EQ(decodePng(ByteSpan(each.file.data(), each.file.size()), &report, true), nullptr);
    EXPECT_STREQ(report.reason, each.reason);
  }
  // In its place the same chunks make a picture.
  const Bytes good = joinBytes({pngSignature(), header, filler, palette, alphas, data, end});
  const ImagePtr image = decodePng(ByteSpan(good.data(), good.size()), nullptr, true);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->channels, 4u);
}

}  // namespace
