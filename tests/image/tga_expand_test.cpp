// The TGA layouts read only when expanding: colour-mapped, grey and 15/16-bit true-colour
// pictures, uncompressed and run-length. The property test draws random pictures, writes them
// with the test's own writer and expands them with a few plain lines here; the reader must give
// exactly those pixels with expand on, and refuse the file with the switch named in its reason
// with expand off.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "image/tga_reader.h"
#include "support/tga_writer.h"

namespace {

unsigned below(std::mt19937& random, unsigned bound) {
  return static_cast<unsigned>(random() % bound);
}

Bytes randomBytes(std::mt19937& random, std::size_t count) {
  Bytes out(count);
  for (std::uint8_t& byte : out) byte = static_cast<std::uint8_t>(random());
  return out;
}

// round(v * 255 / 31) for the 5-bit field of `value` at `shift`.
std::uint8_t fiveBits(unsigned value, unsigned shift) {
  const unsigned v = (value >> shift) & 0x1F;
  return static_cast<std::uint8_t>((v * 255 * 2 + 31) / 62);
}

// B,G,R of a stored 15/16-bit pixel.
Bytes fromFiveBits(const std::uint8_t* stored) {
  const unsigned value = stored[0] | unsigned{stored[1]} << 8;
  return {fiveBits(value, 0), fiveBits(value, 5), fiveBits(value, 10)};
}

enum class Kind { mapped, grey, greyAlpha, fifteen, sixteen };

struct Drawn {
  TgaFields fields;
  Bytes stored;    // stored pixels, in stored order
  Bytes expected;  // the picture, rows bottom-up
  unsigned channels = 3;
};

// A random picture of the given kind, its stored pixels and the picture it must give.
Drawn drawPicture(std::mt19937& random, Kind kind, unsigned width, unsigned height, bool topFirst) {
  Drawn drawn;
  TgaFields& f = drawn.fields;
  f.width = static_cast<std::uint16_t>(width);
  f.height = static_cast<std::uint16_t>(height);
  f.descriptor = topFirst ? 0x20 : 0x00;
  if (below(random, 3) == 0) f.id = randomBytes(random, 1 + below(random, 9));
  // The stored pixel (or index) of each place in stored order, with its expected picture pixel.
  std::size_t storedBytes = 1;
  std::vector<Bytes> palette;
  switch (kind) {
    case Kind::mapped: {
      f.colourMapType = 1;
      f.imageType = 1;
      const unsigned entrySizes[] = {15, 16, 24, 32};
      f.colourMapEntrySize = static_cast<std::uint8_t>(entrySizes[below(random, 4)]);
      f.pixelDepth = below(random, 2) == 0 ? 8 : 16;
      storedBytes = f.pixelDepth / 8u;
      const unsigned maxIndex = f.pixelDepth == 8 ? 256 : 700;
      f.colourMapFirstEntry = static_cast<std::uint16_t>(below(random, maxIndex / 2));
      f.colourMapLength =
          static_cast<std::uint16_t>(1 + below(random, maxIndex - f.colourMapFirstEntry));
      const std::size_t entryBytes = (f.colourMapEntrySize + 7u) / 8u;
      f.colourMap = randomBytes(random, f.colourMapLength * entryBytes);
      drawn.channels = f.colourMapEntrySize == 32 ? 4 : 3;
      for (std::size_t k = 0; k < f.colourMapLength; ++k) {
        const std::uint8_t* entry = &f.colourMap[k * entryBytes];
        palette.push_back(entryBytes == 2 ? fromFiveBits(entry)
                                          : Bytes(entry, entry + drawn.channels));
      }
      break;
    }
    case Kind::grey:
    case Kind::greyAlpha:
      f.imageType = 3;
      f.pixelDepth = kind == Kind::grey ? 8 : 16;
      storedBytes = f.pixelDepth / 8u;
      drawn.channels = kind == Kind::grey ? 3 : 4;
      break;
    case Kind::fifteen:
    case Kind::sixteen:
      f.imageType = 2;
      f.pixelDepth = kind == Kind::fifteen ? 15 : 16;
      storedBytes = 2;
      break;
  }

  drawn.expected.assign(std::size_t{width} * height * drawn.channels, 0);
  Bytes previous;
  for (unsigned s = 0; s < height; ++s) {
    const unsigned row = topFirst ? height - 1 - s : s;
    for (unsigned x = 0; x < width; ++x) {
      // Repeat the previous pixel now and then, so run packets appear.
      Bytes stored = randomBytes(random, storedBytes);
      if (!previous.empty() && below(random, 3) == 0) stored = previous;
      if (kind == Kind::mapped) {
        const unsigned index = f.colourMapFirstEntry + below(random, f.colourMapLength);
        if (previous.empty() || stored != previous) {
          stored = storedBytes == 1 ? Bytes{static_cast<std::uint8_t>(index)}
                                    : Bytes{static_cast<std::uint8_t>(index),
                                            static_cast<std::uint8_t>(index >> 8)};
        }
      }
      previous = stored;
      drawn.stored.insert(drawn.stored.end(), stored.begin(), stored.end());
      Bytes pixel;
      switch (kind) {
        case Kind::mapped: {
          const unsigned index =
              storedBytes == 1 ? stored[0] : stored[0] | unsigned{stored[1]} << 8;
          pixel = palette[index - f.colourMapFirstEntry];
          break;
        }
        case Kind::grey:
          pixel = {stored[0], stored[0], stored[0]};
          break;
        case Kind::greyAlpha:
          pixel = {stored[0], stored[0], stored[0], stored[1]};
          break;
        case Kind::fifteen:
        case Kind::sixteen:
          pixel = fromFiveBits(stored.data());
          break;
      }
      std::memcpy(&drawn.expected[(std::size_t{row} * width + x) * drawn.channels], pixel.data(),
                  drawn.channels);
    }
  }
  return drawn;
}

TEST(TgaExpand, EveryLayoutGivesItsPixels) {
  std::mt19937 random(5005);
  const Kind kinds[] = {Kind::mapped, Kind::grey, Kind::greyAlpha, Kind::fifteen, Kind::sixteen};
  for (int round = 0; round < 500; ++round) {
    const Kind kind = kinds[below(random, 5)];
    const unsigned width = 1 + below(random, 40);
    const unsigned height = 1 + below(random, 9);
    const bool topFirst = below(random, 2) == 0;
    const bool runLength = below(random, 2) == 0;
    Drawn drawn = drawPicture(random, kind, width, height, topFirst);
    const std::size_t storedBytes = drawn.stored.size() / (std::size_t{width} * height);
    Bytes data = drawn.stored;
    if (runLength) {
      drawn.fields.imageType = static_cast<std::uint8_t>(drawn.fields.imageType + 8);
      data = encodeTgaRle(drawn.stored, storedBytes);
    }
    data.push_back(0xAB);  // a byte past the pixel data is ignored
    const Bytes file = buildTga(drawn.fields, data);
    const std::string what = "round " + std::to_string(round) + " type " +
                             std::to_string(drawn.fields.imageType) + " depth " +
                             std::to_string(drawn.fields.pixelDepth) + " " + std::to_string(width) +
                             "x" + std::to_string(height);

    DecodeReport report;
    ImagePtr image = decodeTga(ByteSpan(file.data(), file.size()), &report, true);
    ASSERT_TRUE(image) << what << ": " << report.reason;
    EXPECT_NE(report.layout[0], '\0') << what;
    ASSERT_EQ(image->width, width) << what;
    ASSERT_EQ(image->height, height) << what;
    ASSERT_EQ(image->channels, drawn.channels) << what;
    ASSERT_EQ(Bytes(image->pixels(), image->pixels() + image->pixelBytes()), drawn.expected)
        << what;

    DecodeReport refusal;
    EXPECT_FALSE(decodeTga(ByteSpan(file.data(), file.size()), &refusal, false)) << what;
    EXPECT_TRUE(std::string(refusal.reason).ends_with(" is not converted without --expand"))
        << what << ": " << refusal.reason;
  }
}

TEST(TgaExpand, IndexOutsideTheMapRefusesTheFile) {
  // A map of entries 10..13; index 9 lies before it and 14 after it.
  const TgaFields mapped = {.colourMapType = 1,
                            .imageType = 1,
                            .colourMapLength = 4,
                            .width = 2,
                            .height = 2,
                            .pixelDepth = 8,
                            .colourMapFirstEntry = 10,
                            .colourMapEntrySize = 24,
                            .colourMap = Bytes(12, 0x40)};
  TgaFields runLength = mapped;
  runLength.imageType = 9;
  for (const std::uint8_t bad : {std::uint8_t{9}, std::uint8_t{14}}) {
    const Bytes files[] = {
        buildTga(mapped, {10, 11, bad, 13}),
        buildTga(runLength, {0x82, 10, 0x80, bad}),
    };
    for (const Bytes& file : files) {
      DecodeReport report;
      EXPECT_FALSE(decodeTga(ByteSpan(file.data(), file.size()), &report, true)) << int{bad};
      EXPECT_NE(report.reason[0], '\0');
    }
  }
  const Bytes good = buildTga(mapped, {10, 11, 12, 13});
  EXPECT_TRUE(decodeTga(ByteSpan(good.data(), good.size()), nullptr, true));
}

TEST(TgaExpand, DefaultFilesGiveTheSamePicture) {
  std::mt19937 random(6006);
  for (int round = 0; round < 200; ++round) {
    const unsigned width = 1 + below(random, 30);
    const unsigned height = 1 + below(random, 9);
    const unsigned channels = below(random, 2) == 0 ? 3 : 4;
    const bool runLength = below(random, 2) == 0;
    const TgaFields fields = {.imageType = static_cast<std::uint8_t>(runLength ? 10 : 2),
                              .width = static_cast<std::uint16_t>(width),
                              .height = static_cast<std::uint16_t>(height),
                              .pixelDepth = static_cast<std::uint8_t>(8 * channels),
                              .descriptor = static_cast<std::uint8_t>(random() & 0x3F)};
    Bytes pixels = randomBytes(random, std::size_t{width} * height * channels);
    Bytes data = runLength ? encodeTgaRle(pixels, channels) : pixels;
    if (runLength && below(random, 2) == 0) data.resize(data.size() / 2 + 1);  // short stream
    const Bytes file = buildTga(fields, data);
    const ByteSpan bytes(file.data(), file.size());
    ImagePtr plain = decodeTga(bytes, nullptr, false);
    DecodeReport report;
    ImagePtr expanded = decodeTga(bytes, &report, true);
    ASSERT_TRUE(plain) << round;
    ASSERT_TRUE(expanded) << round;
    EXPECT_EQ(report.layout[0], '\0') << round;
    ASSERT_EQ(expanded->channels, plain->channels);
    EXPECT_EQ(Bytes(expanded->pixels(), expanded->pixels() + expanded->pixelBytes()),
              Bytes(plain->pixels(), plain->pixels() + plain->pixelBytes()))
        << round;
  }
}

TEST(TgaExpand, ReportNamesTheLayout) {
  struct Case {
    TgaFields fields;
    const char* layout;
    const char* reason;
  };
  const Case cases[] = {
      {{.colourMapType = 1,
        .imageType = 1,
        .colourMapLength = 4,
        .pixelDepth = 8,
        .colourMapEntrySize = 24,
        .colourMap = Bytes(12, 0)},
       "colour-mapped 8-bit",
       "TGA colour-mapped picture is not converted without --expand"},
      {{.imageType = 11, .pixelDepth = 8},
       "run-length grey 8-bit",
       "TGA greyscale picture is not converted without --expand"},
      {{.imageType = 3, .pixelDepth = 16},
       "grey and alpha 16-bit",
       "TGA greyscale picture is not converted without --expand"},
      {{.imageType = 2, .pixelDepth = 15},
       "15-bit",
       "TGA with 15 bits per pixel is not converted without --expand"},
      {{.imageType = 10, .pixelDepth = 16},
       "run-length 16-bit",
       "TGA with 16 bits per pixel is not converted without --expand"},
  };
  for (const Case& c : cases) {
    const Bytes file = buildTga(c.fields, Bytes(8, 0));
    const ByteSpan bytes(file.data(), file.size());
    DecodeReport report;
    EXPECT_TRUE(decodeTga(bytes, &report, true)) << c.layout << ": " << report.reason;
    EXPECT_STREQ(report.layout, c.layout);
    DecodeReport refusal;
    EXPECT_FALSE(decodeTga(bytes, &refusal, false)) << c.layout;
    EXPECT_STREQ(refusal.reason, c.reason);
  }
}

}  // namespace
