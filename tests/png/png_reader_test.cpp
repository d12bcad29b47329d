#include "png/png_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>

#include "base/heap.h"
#include "image/loader.h"
#include "png/decode_state.h"
#include "png/inflate.h"
#include "support/png_oracle.h"
#include "support/png_writer.h"
#include "support/test_files.h"

namespace {

ImagePtr decode(const Bytes& file) { return decodePng(ByteSpan(file.data(), file.size())); }

// The record holds nothing between decodes.
void expectIdle() {
  EXPECT_EQ(pngState.palette, nullptr);
  EXPECT_EQ(pngState.idatData, nullptr);
  EXPECT_EQ(pngState.writableFile, nullptr);
  EXPECT_EQ(pngState.idatInPlace, nullptr);
  EXPECT_EQ(pngState.rows[0], nullptr);
  EXPECT_EQ(pngState.rows[1], nullptr);
  EXPECT_EQ(pngState.pixels, nullptr);
  EXPECT_EQ(pngState.streamCursor, nullptr);
  EXPECT_EQ(pngState.idatCursor, nullptr);
  EXPECT_EQ(pngState.idatEnd, nullptr);
  EXPECT_EQ(pngState.idatLength, 0);
  EXPECT_EQ(pngState.idatCapacity, 0u);
  EXPECT_EQ(pngState.streamRemaining, 0);
  EXPECT_EQ(pngState.chunkLength, 0u);
  EXPECT_EQ(inflateState.window, nullptr);
}

// Every test checks that the record is idle afterwards, whatever the decode returned.
class PngReader : public ::testing::Test {
 protected:
  void TearDown() override {
    failAllocationsAfter(-1);
    expectIdle();
  }
};

// The Image a truecolour picture must become: rows bottom-up, B,G,R(,A).
Bytes expectedImage(const PngPicture& picture) {
  const unsigned channels = pngChannels(picture.colourType);
  Bytes out;
  for (std::uint32_t row = picture.height; row-- > 0;) {
    for (std::uint32_t x = 0; x < picture.width; ++x) {
      const std::uint16_t* s = &picture.samples[(std::size_t{row} * picture.width + x) * channels];
      out.insert(out.end(), {static_cast<std::uint8_t>(s[2]), static_cast<std::uint8_t>(s[1]),
                             static_cast<std::uint8_t>(s[0])});
      if (channels == 4) out.push_back(static_cast<std::uint8_t>(s[3]));
    }
  }
  return out;
}

Bytes imageBytes(const Image& image) {
  return Bytes(image.pixels(), image.pixels() + image.pixelBytes());
}

// Expects file to decode to picture exactly.
void expectDecodes(const Bytes& file, const PngPicture& picture) {
  ImagePtr image = decode(file);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, picture.width);
  EXPECT_EQ(image->height, picture.height);
  EXPECT_EQ(image->channels, pngChannels(picture.colourType));
  EXPECT_EQ(imageBytes(*image), expectedImage(picture));
  expectIdle();
}

// A picture of at least 100 bytes' file, assembled from chunk pieces.
Bytes header(const PngPicture& p, std::uint8_t interlaceMethod) {
  return pngChunk("IHDR",
                  pngHeaderData(p.width, p.height, p.bitDepth, p.colourType, interlaceMethod));
}
Bytes header(const PngPicture& p) { return header(p, p.interlaced ? 1 : 0); }
Bytes imageData(const PngPicture& p) { return zlibCompress(pngScanlines(p)); }
Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
}
const Bytes kEnd = pngChunk("IEND", {});

// ---- pictures that decode --------------------------------------------------------------------

TEST_F(PngReader, TruecolourBecomesBottomUpBgr) {
  PngPicture picture;
  picture.width = 2;
  picture.height = 2;
  picture.samples = {1, 2, 3, 4,  5,  6,  // top row: (1,2,3) (4,5,6)
                     7, 8, 9, 10, 11, 12};
  ImagePtr image = decode(buildPng(picture));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->channels, 3);
  EXPECT_EQ(imageBytes(*image), (Bytes{9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}));
}

TEST_F(PngReader, TruecolourWithAlphaKeepsAlphaLast) {
  PngPicture picture;
  picture.width = 1;
  picture.height = 2;
  picture.colourType = 6;
  picture.samples = {1, 2, 3, 4, 5, 6, 7, 8};
  ImagePtr image = decode(buildPng(picture));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->channels, 4);
  EXPECT_EQ(imageBytes(*image), (Bytes{7, 6, 5, 8, 3, 2, 1, 4}));
}

// Differential test: the Image equals libpng's pixels with red and blue swapped and the rows
// reversed.
void expectMatchesLibpng(const PngPicture& picture) {
  const Bytes file = buildPng(picture);
  const LibpngPicture reference = decodeWithLibpng(file);
  ASSERT_TRUE(reference.ok);
  ImagePtr image = decode(file);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width, reference.width);
  ASSERT_EQ(image->height, reference.height);
  ASSERT_EQ(image->channels, reference.channels);
  const std::size_t rowBytes = image->rowBytes();
  Bytes fromLibpng;
  for (std::uint32_t row = reference.height; row-- > 0;) {
    for (std::size_t i = 0; i < rowBytes; i += reference.channels) {
      const std::uint8_t* px = &reference.pixels[row * rowBytes + i];
      fromLibpng.insert(fromLibpng.end(), {px[2], px[1], px[0]});
      if (reference.channels == 4) fromLibpng.push_back(px[3]);
    }
  }
  EXPECT_EQ(imageBytes(*image), fromLibpng);
}

TEST_F(PngReader, MatchesLibpngForSmallSizesEveryFilterPlainAndInterlaced) {
  std::uint32_t seed = 100;
  for (std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{6}}) {
    for (bool interlaced : {false, true}) {
      for (std::uint32_t width = 1; width <= 17; ++width) {
        for (std::uint32_t height : {1u, 2u, 3u, 5u, 8u, 9u, 17u}) {
          PngPicture picture = makePngPicture(width, height, 8, colourType, interlaced, ++seed);
          picture.filters = {static_cast<std::uint8_t>(seed % 5), 4, 3, 2, 1, 0};
          SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " type " +
                       std::to_string(colourType) + (interlaced ? " Adam7" : ""));
          expectMatchesLibpng(picture);
        }
      }
    }
  }
}

TEST_F(PngReader, MatchesLibpngForLargerPicturesWithEachFilterType) {
  const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{300, 7}, {127, 201}, {33, 301}};
  std::uint32_t seed = 900;
  for (const auto& [width, height] : sizes) {
    for (std::uint8_t filterType = 0; filterType <= 4; ++filterType) {
      for (std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{6}}) {
        for (bool interlaced : {false, true}) {
          PngPicture picture = makePngPicture(width, height, 8, colourType, interlaced, ++seed);
          picture.filters = {filterType};
          SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " filter " +
                       std::to_string(filterType) + (interlaced ? " Adam7" : ""));
          expectMatchesLibpng(picture);
        }
      }
    }
  }
}

// A 4096x4096 RGBA picture of zeros, plain and interlaced: what the decode holds beside the
// picture and the file is a small slice of filtered scanlines, not a second picture's worth.
TEST_F(PngReader, LargePictureHoldsLittleBesideThePicture) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows keeps one peak of resident memory per process and cannot reset it";
#endif
  constexpr std::uint32_t kSide = 4096;
  for (const bool interlaced : {false, true}) {
    // Zero filter bytes and zero samples: only the count of scanline bytes matters.
    std::size_t scanlineBytes = std::size_t{kSide} * (kSide * 4 + 1);
    if (interlaced) {
      scanlineBytes = 0;
      const std::uint32_t columns[7][2] = {{0, 8}, {4, 8}, {0, 4}, {2, 4}, {0, 2}, {1, 2}, {0, 1}};
      const std::uint32_t rows[7][2] = {{0, 8}, {0, 8}, {4, 8}, {0, 4}, {2, 4}, {0, 2}, {1, 2}};
      for (int p = 0; p < 7; ++p) {
        const std::size_t width = (kSide - columns[p][0] + columns[p][1] - 1) / columns[p][1];
        const std::size_t height = (kSide - rows[p][0] + rows[p][1] - 1) / rows[p][1];
        scanlineBytes += height * (width * 4 + 1);
      }
    }
    Bytes file;
    {
      const Bytes scanlines(scanlineBytes, 0);
      file = joinBytes({pngSignature(),
                        pngChunk("IHDR", pngHeaderData(kSide, kSide, 8, 6, interlaced ? 1 : 0)),
                        pngChunk("IDAT", zlibCompress(scanlines, 1)), pngChunk("IEND", {})});
    }
    ASSERT_TRUE(resetPeakResident()) << "the peak of resident memory cannot be reset";
    const std::size_t before = peakResidentBytes();
    ImagePtr image = decode(file);
    const std::size_t held = peakResidentBytes() - before;
    ASSERT_NE(image, nullptr) << interlaced;
    const std::size_t pictureBytes = image->pixelBytes();
    EXPECT_LT(held, pictureBytes + 2 * file.size() + (std::size_t{16} << 20))
        << (interlaced ? "interlaced" : "plain");
  }
}

TEST_F(PngReader, SplitImageDataWithChunksBetweenDecodesAsOneChunk) {
  PngPicture picture = makePngPicture(23, 11, 8, 6, true, 5);
  picture.filters = {0, 1, 2, 3, 4};
  const Bytes stream = imageData(picture);
  const std::size_t a = 1, b = stream.size() / 2, c = stream.size() - 3;
  // IDAT before IHDR, an empty IDAT, ancillary, unknown critical and unknown ancillary chunks
  // between the pieces, trailing bytes after IEND.
  const Bytes file = joinBytes(
      {pngSignature(), pngChunk("IDAT", slice(stream, 0, a)), header(picture), pngChunk("IDAT", {}),
       pngChunk("tEXt", {'k', 0, 'v'}), pngChunk("IDAT", slice(stream, a, b)),
       pngChunk("ABCD", {1, 2, 3}), pngChunk("IDAT", slice(stream, b, c)), pngChunk("zzZz", {}),
       pngChunk("IDAT", slice(stream, c, stream.size())), kEnd,
       Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0, 'I', 'E', 'N', 'D'}});
  expectDecodes(file, picture);
}

// The reader given the file's bytes to overwrite gathers the picture data within them: whatever
// the file, it must give the picture and the reason it gives reading them as they stand. Files of
// many IDAT pieces with other chunks between them (a palette picture's PLTE and tRNS among them),
// each intact, with a CRC fault in any one chunk, with damaged picture data, or cut short.
TEST_F(PngReader, GatheringInPlaceGivesThePictureAndReasonOfReadingAsTheBytesStand) {
  std::mt19937 random(41);
  int decoded = 0;
  for (const std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{3}, std::uint8_t{6}}) {
    const PngPicture picture = makePngPicture(37, 29, 8, colourType, false, 7 + colourType);
    const Bytes stream = imageData(picture);
    Bytes intact = joinBytes({pngSignature(), header(picture)});
    std::size_t at = 0;
    for (int piece = 0; at < stream.size(); ++piece) {
      const std::size_t size = std::min<std::size_t>(stream.size() - at, 1 + random() % 97);
      intact = joinBytes({intact, pngChunk("IDAT", slice(stream, at, at + size))});
      at += size;
      if (piece == 0 && colourType == 3) {  // PLTE and tRNS after the first piece
        intact = joinBytes(
            {intact, pngChunk("PLTE", pngPaletteData(256)), pngChunk("tRNS", Bytes(9, 128))});
      }
      if (piece % 3 == 1) intact = joinBytes({intact, pngChunk("tEXt", Bytes(random() % 5, 'x'))});
    }
    intact = joinBytes({intact, kEnd});
    std::vector<Bytes> files = {intact};
    for (const std::size_t chunk : pngChunkOffsets(intact)) {
      Bytes file = intact;
      file[chunk + 8 + random() % 4] ^= 0x10;  // the type, the CRC fault in this chunk
      files.push_back(file);
    }
    for (const std::size_t cut : {std::size_t{60}, intact.size() / 2, intact.size() - 13}) {
      files.push_back(slice(intact, 0, cut));
    }
    std::vector<std::size_t> imageChunks;  // offsets of the IDAT chunks
    for (const std::size_t start : pngChunkOffsets(intact)) {
      if (std::equal(intact.begin() + static_cast<std::ptrdiff_t>(start + 4),
                     intact.begin() + static_cast<std::ptrdiff_t>(start + 8), "IDAT")) {
        imageChunks.push_back(start);
      }
    }
    for (const std::size_t chunk :
         {imageChunks.front(), imageChunks[imageChunks.size() / 2], imageChunks.back()}) {
      // A changed data byte, the chunk's CRC made right again: the stream is damaged there.
      const std::size_t length = (std::size_t{intact[chunk + 2]} << 8) | intact[chunk + 3];
      Bytes data = slice(intact, chunk + 8, chunk + 8 + length);
      data[length / 2] ^= 0xA5;
      const Bytes rebuilt = pngChunk("IDAT", data);
      Bytes file = intact;
      std::copy(rebuilt.begin(), rebuilt.end(), file.begin() + static_cast<std::ptrdiff_t>(chunk));
      files.push_back(file);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
      for (const bool expand : {false, true}) {
        SCOPED_TRACE(testing::Message() << "colour type " << int{colourType} << ", file " << i
                                        << (expand ? ", expanded" : ""));
        const Bytes& file = files[i];
        DecodeReport standing;
        const ImagePtr expected = decodePng(ByteSpan(file.data(), file.size()), &standing, expand);
        Bytes writable = file;
        DecodeReport inPlace;
        const ImagePtr image = decodePngInPlace(writable.data(), writable.size(), &inPlace, expand);
        EXPECT_STREQ(inPlace.reason, standing.reason);
        EXPECT_STREQ(inPlace.layout, standing.layout);
        ASSERT_EQ(image != nullptr, expected != nullptr) << standing.reason;
        if (image) {
          ++decoded;
          EXPECT_EQ(imageBytes(*image), imageBytes(*expected));
        }
        expectIdle();
      }
    }
  }
  EXPECT_GE(decoded, 4);  // the intact files, expanded and not (the palette one only expanded)
}

// libpng asked to flush (png_set_flush) ends each flushed row with zlib's empty stored block.
TEST_F(PngReader, FlushedLibpngFilesDecode) {
  for (const std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{6}}) {
    for (const bool interlaced : {false, true}) {
      for (const int flushRows : {1, 3}) {
        SCOPED_TRACE(std::to_string(colourType) + (interlaced ? " interlaced " : " plain ") +
                     std::to_string(flushRows));
        const PngPicture picture = makePngPicture(37, 29, 8, colourType, interlaced, 8);
        const Bytes file = encodeWithLibpng(picture, flushRows);
        ASSERT_FALSE(file.empty());
        const Bytes emptyStoredBlock = {0x00, 0x00, 0xFF, 0xFF};  // LEN, NLEN
        ASSERT_NE(
            std::search(file.begin(), file.end(), emptyStoredBlock.begin(), emptyStoredBlock.end()),
            file.end());
        expectDecodes(file, picture);
      }
    }
  }
}

TEST_F(PngReader, ImageDataInOneByteChunksDecodes) {
  const PngPicture picture = makePngPicture(40, 30, 8, 2, false, 6);
  const Bytes stream = imageData(picture);
  Bytes file = joinBytes({pngSignature(), header(picture)});
  for (std::size_t i = 0; i < stream.size(); ++i)
    file = joinBytes({file, pngChunk("IDAT", {stream[i]})});
  expectDecodes(joinBytes({file, kEnd}), picture);
}

TEST_F(PngReader, ZlibStreamWithBytesToSpareDecodes) {
  const PngPicture picture = makePngPicture(9, 9, 8, 2, false, 7);
  Bytes scanlines = pngScanlines(picture);
  scanlines.resize(scanlines.size() + 1000, 0x55);
  expectDecodes(
      joinBytes({pngSignature(), header(picture), pngChunk("IDAT", zlibCompress(scanlines)), kEnd}),
      picture);
}

TEST_F(PngReader, SecondHeaderReplacesTheFirst) {
  const PngPicture picture = makePngPicture(6, 6, 8, 2, false, 8);
  const Bytes grey = pngChunk("IHDR", pngHeaderData(3, 4, 1, 0, 1));
  expectDecodes(joinBytes({pngSignature(), grey, header(picture),
                           pngChunk("IDAT", imageData(picture)), kEnd}),
                picture);
  // The last header governs: a refused one after a good one fails the file.
  EXPECT_FALSE(decode(
      joinBytes({pngSignature(), header(picture), pngChunk("IHDR", pngHeaderData(6, 6, 16, 2)),
                 pngChunk("IDAT", imageData(picture)), kEnd})));
}

TEST_F(PngReader, HeaderLongerThanThirteenBytesUsesTheFirstThirteen) {
  const PngPicture picture = makePngPicture(6, 6, 8, 2, false, 9);
  Bytes headerData = pngHeaderData(6, 6, 8, 2);
  headerData.push_back(0x77);
  expectDecodes(joinBytes({pngSignature(), pngChunk("IHDR", headerData),
                           pngChunk("IDAT", imageData(picture)), kEnd}),
                picture);
}

TEST_F(PngReader, TransparencyChunkDoesNotChangeTheResult) {
  for (std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{6}}) {
    const PngPicture picture = makePngPicture(7, 5, 8, colourType, false, 10);
    for (const Bytes& transparency : {Bytes{0, 1, 0, 2, 0, 3}, Bytes{9}, Bytes(300, 0), Bytes{}}) {
      expectDecodes(joinBytes({pngSignature(), header(picture), pngChunk("tRNS", transparency),
                               pngChunk("IDAT", imageData(picture)), kEnd}),
                    picture);
    }
  }
}

TEST_F(PngReader, TransparencyOfAnyLengthInPalettePictureStaysInsideThePalette) {
  // The palette takes alpha for at most 256 entries (a longer chunk would write past it: the
  // sanitizer build catches that); a tRNS before the PLTE records nothing. The picture itself is
  // a palette picture and is refused after decoding.
  const PngPicture picture = makePngPicture(8, 8, 8, 3, false, 39);
  const Bytes palette = pngChunk("PLTE", pngPaletteData(256));
  for (std::size_t length : {std::size_t{256}, std::size_t{257}, std::size_t{1100}}) {
    const Bytes transparency = pngChunk("tRNS", Bytes(length, 0x80));
    for (bool afterPalette : {true, false}) {
      EXPECT_FALSE(decode(joinBytes(
          {pngSignature(), header(picture), afterPalette ? palette : transparency,
           afterPalette ? transparency : palette, pngChunk("IDAT", imageData(picture)), kEnd})))
          << length;
    }
  }
}

TEST_F(PngReader, DataOfTheEndChunkIsIgnored) {
  const PngPicture picture = makePngPicture(6, 5, 8, 2, false, 40);
  expectDecodes(joinBytes({pngSignature(), header(picture), pngFillerChunk(40),
                           pngChunk("IDAT", imageData(picture)), pngChunk("IEND", {1, 2, 3})}),
                picture);
}

TEST_F(PngReader, PaletteChunkInTruecolourPictureIsIgnoredWhateverItsLength) {
  const PngPicture picture = makePngPicture(7, 5, 8, 2, false, 11);
  for (std::size_t length : {std::size_t{0}, std::size_t{7}, std::size_t{3000}}) {
    expectDecodes(joinBytes({pngSignature(), header(picture), pngChunk("PLTE", Bytes(length, 1)),
                             pngChunk("IDAT", imageData(picture)), kEnd}),
                  picture);
  }
}

TEST_F(PngReader, HeaderOfThePreviousFileDoesNotCarryOver) {
  // A palette picture leaves colour type 3 behind unless every field is reset; a PLTE of bad
  // length before the IHDR of the next file would then fail that file.
  EXPECT_FALSE(decode(buildPng(makePngPicture(8, 8, 4, 3, false, 12))));
  const PngPicture picture = makePngPicture(7, 5, 8, 2, false, 13);
  expectDecodes(joinBytes({pngSignature(), pngChunk("PLTE", Bytes(7, 1)), header(picture),
                           pngChunk("IDAT", imageData(picture)), kEnd}),
                picture);
}

TEST_F(PngReader, FileOfExactlyOneHundredBytesDecodes) {
  PngPicture picture = makePngPicture(1, 1, 8, 2, false, 14);
  const Bytes bare =
      joinBytes({pngSignature(), header(picture), pngChunk("IDAT", imageData(picture)), kEnd});
  ASSERT_LT(bare.size(), 80u);
  EXPECT_FALSE(decode(bare));  // a well-formed file under 100 bytes
  const Bytes head = joinBytes({pngSignature(), header(picture)});
  const Bytes tail = joinBytes({pngChunk("IDAT", imageData(picture)), kEnd});
  const Bytes ninetyNine = joinBytes({head, pngFillerChunk(99 - bare.size()), tail});
  ASSERT_EQ(ninetyNine.size(), 99u);
  EXPECT_FALSE(decode(ninetyNine));
  const Bytes hundred = joinBytes({head, pngFillerChunk(100 - bare.size()), tail});
  ASSERT_EQ(hundred.size(), 100u);
  expectDecodes(hundred, picture);
}

TEST_F(PngReader, ShortOrUnsignedFileLeavesTheRecordUntouched) {
  pngState.width = 77;
  EXPECT_FALSE(decode(Bytes(99, 0)));
  Bytes notPng = buildPng(makePngPicture(4, 4, 8, 2, false, 15));
  notPng[1] = 'Q';
  EXPECT_FALSE(decode(notPng));
  EXPECT_EQ(pngState.width, 77);
  pngState.width = 0;
}

// Chunk lengths up to PNG's maximum, 2^31 - 1, are read: a 2048 x 2048 photo-like picture
// (incompressible) in one IDAT of about 12.6 MB, and an ancillary chunk just over 10,000,000
// bytes. A length that runs past the end of the file is refused.
TEST_F(PngReader, ChunksOverTenMillionBytesAreRead) {
  PngPicture photo = makePngPicture(2048, 2048, 8, 2, false, 16);
  std::mt19937 noise(16);
  for (std::uint16_t& sample : photo.samples) sample = static_cast<std::uint16_t>(noise() & 0xFF);
  const Bytes oneIdat = buildPng(photo);
  ASSERT_EQ(pngChunkOffsets(oneIdat).size(), 3u);  // IHDR, IDAT, IEND
  ASSERT_GT(oneIdat.size(), 12'500'000u);
  expectDecodes(oneIdat, photo);

  const PngPicture picture = makePngPicture(5, 5, 8, 2, false, 16);
  const Bytes bigger(10'000'001, 0x42);
  expectDecodes(joinBytes({pngSignature(), header(picture), pngChunk("blOb", bigger),
                           pngChunk("IDAT", imageData(picture)), kEnd}),
                picture);

  Bytes pastTheEnd = buildPng(picture);
  const std::size_t idat = pngChunkOffsets(pastTheEnd)[1];
  for (std::size_t i = 0; i < 4; ++i) pastTheEnd[idat + i] = i == 0 ? 0x7F : 0xFF;
  EXPECT_FALSE(decode(pastTheEnd));
}

TEST_F(PngReader, LengthWithTopBitSetIsRefused) {
  const PngPicture picture = makePngPicture(5, 5, 8, 2, false, 17);
  Bytes file = buildPng(picture);
  const std::size_t idat = pngChunkOffsets(file)[1];
  file[idat] |= 0x80;
  EXPECT_FALSE(decode(file));
}

// ---- pictures that are refused ---------------------------------------------------------------

TEST_F(PngReader, NonTruecolourPicturesAreRefusedAfterDecoding) {
  const std::pair<std::uint8_t, std::uint8_t> formats[] = {{1, 0}, {2, 0}, {4, 0}, {8, 0}, {1, 3},
                                                           {2, 3}, {4, 3}, {8, 3}, {8, 4}};
  for (const auto& [bitDepth, colourType] : formats) {
    for (bool interlaced : {false, true}) {
      EXPECT_FALSE(decode(buildPng(makePngPicture(9, 7, bitDepth, colourType, interlaced, 18))))
          << int{bitDepth} << "/" << int{colourType};
    }
  }
}

TEST_F(PngReader, UnacceptedHeaderFieldsAreRefused) {
  struct Fields {
    std::uint32_t width, height;
    std::uint8_t bitDepth, colourType, interlace, compression, filter;
  };
  const Fields refused[] = {
      {4, 4, 16, 0, 0, 0, 0},    {4, 4, 16, 2, 0, 0, 0},    {4, 4, 16, 4, 0, 0, 0},
      {4, 4, 16, 6, 0, 0, 0},    {4, 4, 8, 1, 0, 0, 0},     {4, 4, 8, 5, 0, 0, 0},
      {4, 4, 8, 7, 0, 0, 0},     {4, 4, 3, 0, 0, 0, 0},     {4, 4, 4, 2, 0, 0, 0},
      {4, 4, 16, 3, 0, 0, 0},    {4, 4, 8, 2, 2, 0, 0},     {4, 4, 8, 2, 0, 1, 0},
      {4, 4, 8, 2, 0, 0, 1},     {0, 4, 8, 2, 0, 0, 0},     {4, 0, 8, 2, 0, 0, 0},
      {16385, 1, 8, 2, 0, 0, 0}, {1, 16385, 8, 2, 0, 0, 0}, {0x80000004u, 4, 8, 2, 0, 0, 0}};
  const PngPicture picture = makePngPicture(4, 4, 8, 2, false, 19);
  const Bytes data = pngChunk("IDAT", imageData(picture));
  for (const Fields& f : refused) {
    const Bytes ihdr = pngChunk("IHDR", pngHeaderData(f.width, f.height, f.bitDepth, f.colourType,
                                                      f.interlace, f.compression, f.filter));
    EXPECT_FALSE(decode(joinBytes({pngSignature(), ihdr, pngFillerChunk(40), data, kEnd})))
        << f.width << "x" << f.height << " depth " << int{f.bitDepth} << " type "
        << int{f.colourType};
  }
}

TEST_F(PngReader, SideOf16384IsAccepted) {
  for (bool wide : {true, false}) {
    PngPicture picture = makePngPicture(wide ? 16384 : 1, wide ? 1 : 16384, 8, 2, false, 20);
    picture.filters = {1};
    expectDecodes(buildPng(picture), picture);
  }
}

TEST_F(PngReader, HeaderShorterThanThirteenBytesIsRefused) {
  const PngPicture picture = makePngPicture(4, 4, 8, 2, false, 21);
  Bytes headerData = pngHeaderData(4, 4, 8, 2);
  headerData.pop_back();  // interlace method missing
  EXPECT_FALSE(decode(joinBytes({pngSignature(), pngChunk("IHDR", headerData), pngFillerChunk(40),
                                 pngChunk("IDAT", imageData(picture)), kEnd})));
}

TEST_F(PngReader, EndWithoutHeaderOrImageDataIsRefused) {
  const PngPicture picture = makePngPicture(4, 4, 8, 2, false, 22);
  const Bytes data = pngChunk("IDAT", imageData(picture));
  EXPECT_FALSE(decode(joinBytes({pngSignature(), header(picture), pngFillerChunk(60), kEnd})));
  EXPECT_FALSE(decode(joinBytes(
      {pngSignature(), header(picture), pngChunk("IDAT", {}), pngFillerChunk(60), kEnd})));
  EXPECT_FALSE(
      decode(joinBytes({pngSignature(), data, pngFillerChunk(60), kEnd, header(picture)})));
}

TEST_F(PngReader, PalettePictureWithoutPaletteIsRefused) {
  const PngPicture picture = makePngPicture(4, 4, 8, 3, false, 23);
  EXPECT_FALSE(decode(joinBytes({pngSignature(), header(picture), pngFillerChunk(60),
                                 pngChunk("IDAT", imageData(picture)), kEnd})));
}

TEST_F(PngReader, FileWithoutEndChunkIsRefused) {
  const PngPicture picture = makePngPicture(4, 4, 8, 2, false, 24);
  EXPECT_FALSE(decode(joinBytes({pngSignature(), header(picture), pngFillerChunk(60),
                                 pngChunk("IDAT", imageData(picture))})));
}

TEST_F(PngReader, WrongCrcInAnyChunkIsRefused) {
  const PngPicture picture = makePngPicture(6, 5, 8, 2, false, 25);
  const Bytes good = joinBytes({pngSignature(), header(picture), pngChunk("tEXt", {'k', 0, 'v'}),
                                pngChunk("quUx", {1, 2}), pngChunk("IDAT", imageData(picture)),
                                pngChunk("tRNS", {0, 1, 0, 2, 0, 3}), pngFillerChunk(30), kEnd});
  ASSERT_TRUE(decode(good));
  for (const std::size_t offset : pngChunkOffsets(good)) {
    const std::size_t crcOffset =
        offset + 8 + (std::size_t{good[offset + 2]} << 8 | good[offset + 3]);
    Bytes bad = good;
    bad[crcOffset + 3] ^= 1;
    EXPECT_FALSE(decode(bad)) << "chunk at " << offset;
    // A changed data or type byte is caught by the same check.
    Bytes badType = good;
    badType[offset + 4] ^= 0x20;
    EXPECT_FALSE(decode(badType)) << "chunk at " << offset;
  }
}

TEST_F(PngReader, ChangedByteInIgnoredChunkIsRefused) {
  const PngPicture picture = makePngPicture(6, 5, 8, 2, false, 26);
  Bytes file = joinBytes({pngSignature(), header(picture), pngChunk("tEXt", {'k', 0, 'v', 'v'}),
                          pngChunk("IDAT", imageData(picture)), pngFillerChunk(40), kEnd});
  ASSERT_TRUE(decode(file));
  file[pngChunkOffsets(file)[1] + 10] ^= 0x04;
  EXPECT_FALSE(decode(file));
}

TEST_F(PngReader, FileCutAtAnyByteIsRefused) {
  const PngPicture picture = makePngPicture(7, 6, 8, 6, true, 27);
  const Bytes file = joinBytes({pngSignature(), header(picture), pngChunk("tEXt", {'k', 0, 'v'}),
                                pngChunk("IDAT", imageData(picture)), kEnd});
  ASSERT_TRUE(decode(file));
  for (std::size_t length = 100; length < file.size(); ++length) {
    EXPECT_FALSE(decode(slice(file, 0, length))) << length;
  }
}

TEST_F(PngReader, FilterTypeFiveInTheLastRowIsRefused) {
  PngPicture picture = makePngPicture(5, 6, 8, 2, false, 28);
  Bytes scanlines = pngScanlines(picture);
  scanlines[scanlines.size() - 16] = 5;
  EXPECT_FALSE(decode(joinBytes({pngSignature(), header(picture), pngFillerChunk(40),
                                 pngChunk("IDAT", zlibCompress(scanlines)), kEnd})));
}

TEST_F(PngReader, StreamEndingBeforeTheLastRowIsRefused) {
  PngPicture picture = makePngPicture(5, 6, 8, 2, true, 29);
  Bytes scanlines = pngScanlines(picture);
  scanlines.pop_back();
  EXPECT_FALSE(decode(joinBytes({pngSignature(), header(picture), pngFillerChunk(40),
                                 pngChunk("IDAT", zlibCompress(scanlines)), kEnd})));
  // Cut compressed data, too.
  const Bytes stream = imageData(picture);
  EXPECT_FALSE(decode(joinBytes({pngSignature(), header(picture), pngFillerChunk(40),
                                 pngChunk("IDAT", slice(stream, 0, stream.size() / 2)), kEnd})));
}

TEST_F(PngReader, EveryFailedAllocationIsRefusedCleanly) {
  PngPicture picture = makePngPicture(9, 8, 8, 6, true, 30);
  const Bytes file =
      joinBytes({pngSignature(), header(picture), pngChunk("tEXt", {'k', 0, 'v'}),
                 pngChunk("IDAT", slice(imageData(picture), 0, 5)),
                 pngChunk("IDAT", slice(imageData(picture), 5, imageData(picture).size())), kEnd});
  bool succeeded = false;
  for (long allowed = 0; allowed < 200 && !succeeded; ++allowed) {
    failAllocationsAfter(allowed);
    ImagePtr image = decode(file);
    failAllocationsAfter(-1);
    expectIdle();
    if (image) {
      succeeded = true;
      EXPECT_EQ(imageBytes(*image), expectedImage(picture));
    }
  }
  EXPECT_TRUE(succeeded);
}

// Allocations a call makes: the hook lets budget allocations through, and what is left of the
// budget afterwards is counted by allocating until one fails.
template <class Call>
long countAllocations(Call call) {
  constexpr long kBudget = 1000;
  failAllocationsAfter(kBudget);
  call();
  long left = 0;
  while (left <= kBudget) {
    void* block = heapAllocate(1);
    if (block == nullptr) break;
    std::free(block);
    ++left;
  }
  failAllocationsAfter(-1);
  return kBudget - left;
}

TEST_F(PngReader, TinyFileClaimingAHugePictureIsRefusedBeforeAllocatingIt) {
  // A 16384 x 16384 RGBA header over a few bytes of zlib data: at 1032 output bytes per input
  // byte the data cannot hold the scanlines. Only the gathered IDAT block may be allocated.
  const Bytes stream = zlibCompress(Bytes(64, 0));
  for (std::uint8_t interlace : {std::uint8_t{0}, std::uint8_t{1}}) {
    const Bytes file =
        joinBytes({pngSignature(), pngChunk("IHDR", pngHeaderData(16384, 16384, 8, 6, interlace)),
                   pngFillerChunk(40), pngChunk("IDAT", stream), kEnd});
    ASSERT_LT(file.size(), 200u);
    ImagePtr image;
    EXPECT_EQ(countAllocations([&] { image = decode(file); }), 1) << int{interlace};
    EXPECT_FALSE(image);
    expectIdle();
  }
}

TEST_F(PngReader, MaximallyCompressedPictureNearTheRatioBoundDecodes) {
  // Uniform rows compress to runs of longest matches, close to the 1032-fold limit.
  for (std::uint8_t colourType : {std::uint8_t{2}, std::uint8_t{6}}) {
    PngPicture picture = makePngPicture(1024, 1024, 8, colourType, false, 41);
    std::fill(picture.samples.begin(), picture.samples.end(), std::uint16_t{0});
    const Bytes scanlines = pngScanlines(picture);
    const Bytes stream = zlibCompress(scanlines);
    ASSERT_GT(scanlines.size(), 1000 * stream.size()) << "ratio below 1000";
    expectDecodes(joinBytes({pngSignature(), header(picture), pngChunk("IDAT", stream), kEnd}),
                  picture);
  }
}

// ---- through the converter -------------------------------------------------------------------

Bytes bmpFileFor(const PngPicture& picture) {
  const auto channels = pngChannels(picture.colourType);
  const Bytes pixels = expectedImage(picture);
  Bytes out(54, 0);
  const auto put32 = [&out](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  out[0] = 'B';
  out[1] = 'M';
  put32(2, static_cast<std::uint32_t>(54 + pixels.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, picture.width);
  put32(22, picture.height);
  out[26] = 1;
  out[28] = static_cast<std::uint8_t>(8 * channels);
  put32(38, picture.width);
  put32(42, picture.height);
  out.insert(out.end(), pixels.begin(), pixels.end());
  return out;
}

TEST_F(PngReader, ConverterTurnsPngFilesIntoBmpFiles) {
  ScratchFolder folder(true);
  std::filesystem::create_directory("img");
  PngPicture plain = makePngPicture(8, 4, 8, 2, false, 32);
  plain.filters = {4, 3};
  PngPicture interlaced = makePngPicture(16, 16, 8, 6, true, 33);
  interlaced.filters = {1, 2, 3, 4, 0};
  writeFile("img/a.png", buildPng(plain));
  writeFile("img/b.png", buildPng(interlaced));
  const ProcessResult run = runConverterHere();
  EXPECT_EQ(run.output, withNativeSeparators("File bmp/a.bmp generated OK, size: 8x4/24\n"
                                             "File bmp/b.bmp generated OK, size: 16x16/32\n"
                                             "OK\n"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile("bmp/a.bmp"), bmpFileFor(plain));
  EXPECT_EQ(readFile("bmp/b.bmp"), bmpFileFor(interlaced));
}

TEST_F(PngReader, ConverterStopsAtPalettePicture) {
  ScratchFolder folder(true);
  std::filesystem::create_directory("img");
  writeFile("img/a.png", buildPng(makePngPicture(8, 8, 8, 2, false, 34)));
  writeFile("img/b.png", buildPng(makePngPicture(8, 8, 8, 3, false, 35)));
  writeFile("img/c.png", buildPng(makePngPicture(8, 8, 8, 2, false, 36)));
  const ProcessResult run = runConverterHere();
  EXPECT_EQ(run.output, withNativeSeparators("File bmp/a.bmp generated OK, size: 8x8/24\n"
                                             "ERROR: Cannot load input image img/b.png\n"));
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(std::filesystem::exists("bmp/c.bmp"));
}

}  // namespace
