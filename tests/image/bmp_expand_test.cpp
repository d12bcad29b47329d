// The BMP layouts read only when expanding: palette, run-length, 16-bit, bit-field and OS/2 1.x
// pictures. Each property test draws random pictures, writes them with the test's own writer
// and expands them with a few plain lines here; the reader must give exactly those pixels with
// expand on, and refuse the file with the switch named in its reason with expand off.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/bmp_reader.h"
#include "support/bmp_builder.h"

namespace {

constexpr char kWithoutExpand[] = " BMP is not converted without --expand";
constexpr std::uint32_t kInfoHeaderSizes[] = {40, 52, 56, 108, 124};

// A picture as the test expects it: rows bottom-up, B,G,R(,A).
struct Expected {
  unsigned width = 0;
  unsigned height = 0;
  unsigned channels = 3;
  Bytes pixels;

  std::uint8_t* at(unsigned row, unsigned x) {
    return pixels.data() + (std::size_t{row} * width + x) * channels;
  }
};

Expected blankPicture(unsigned width, unsigned height, unsigned channels) {
  return {width, height, channels, Bytes(std::size_t{width} * height * channels, 0)};
}

unsigned below(std::mt19937& random, unsigned bound) {
  return static_cast<unsigned>(random() % bound);
}

Bytes randomBytes(std::mt19937& random, std::size_t count) {
  Bytes out(count);
  for (std::uint8_t& byte : out) byte = static_cast<std::uint8_t>(random());
  return out;
}

// Decodes with expand on and expects the picture; decodes with it off and expects the refusal
// that names the switch.
void expectExpanded(const Bytes& file, const Expected& expected, const std::string& what) {
  DecodeReport report;
  ImagePtr image = decodeBmp(ByteSpan(file.data(), file.size()), &report, true);
  ASSERT_TRUE(image) << what << ": " << report.reason;
  EXPECT_NE(report.layout[0], '\0') << what;
  ASSERT_EQ(image->width, expected.width) << what;
  ASSERT_EQ(image->height, expected.height) << what;
  ASSERT_EQ(image->channels, expected.channels) << what;
  ASSERT_EQ(Bytes(image->pixels(), image->pixels() + image->pixelBytes()), expected.pixels) << what;

  DecodeReport refusal;
  EXPECT_FALSE(decodeBmp(ByteSpan(file.data(), file.size()), &refusal, false)) << what;
  const std::string reason = refusal.reason;
  EXPECT_TRUE(reason.ends_with(kWithoutExpand)) << what << ": " << reason;
}

// Rows of `bits`-bit indices packed from the high bits down, each padded to 4 bytes; the bits
// after the last index and the padding are random.
Bytes packIndexRows(std::mt19937& random, const std::vector<std::vector<unsigned>>& rows,
                    unsigned bits, unsigned width) {
  const std::size_t stride = (std::size_t{bits} * width + 31) / 32 * 4;
  Bytes out;
  for (const std::vector<unsigned>& row : rows) {
    Bytes stored = randomBytes(random, stride);
    std::size_t bit = 0;
    for (unsigned index : row) {
      for (unsigned b = 0; b < bits; ++b, ++bit) {
        const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
        const bool set = ((index >> (bits - 1 - b)) & 1u) != 0;
        stored[bit / 8] =
            static_cast<std::uint8_t>(set ? stored[bit / 8] | mask : stored[bit / 8] & ~mask);
      }
    }
    out.insert(out.end(), stored.begin(), stored.end());
  }
  return out;
}

TEST(BmpExpand, PalettePicturesGiveTheirTableColours) {
  std::mt19937 random(1001);
  for (int round = 0; round < 400; ++round) {
    const bool os2 = below(random, 4) == 0;
    const unsigned bitChoices[] = {1, 4, 8, 24};
    const unsigned bits = bitChoices[below(random, os2 ? 4 : 3)];
    const unsigned width = 1 + below(random, 37);
    const unsigned height = 1 + below(random, 9);
    const bool topDown = !os2 && below(random, 2) == 0;
    const std::uint32_t infoSize = kInfoHeaderSizes[below(random, 5)];
    const std::size_t entryBytes = os2 ? 3 : 4;
    const unsigned maxEntries = bits == 24 ? 0 : 1u << bits;
    const unsigned storedEntries = bits == 24 ? 0 : 1 + below(random, maxEntries);
    const std::uint32_t coloursUsed =
        !os2 && storedEntries != 0 && below(random, 2) == 0 ? 1 + below(random, storedEntries) : 0;
    const unsigned usedEntries = coloursUsed != 0 ? coloursUsed : storedEntries;
    const Bytes table = randomBytes(random, storedEntries * entryBytes);

    Expected expected = blankPicture(width, height, 3);
    Bytes data;
    if (bits == 24) {
      const std::size_t stride = (std::size_t{width} * 3 + 3) / 4 * 4;
      data = randomBytes(random, stride * height);
      for (unsigned s = 0; s < height; ++s) {
        for (unsigned x = 0; x < width; ++x) {
          std::memcpy(expected.at(s, x), data.data() + s * stride + 3 * x, 3);
        }
      }
    } else {
      std::vector<std::vector<unsigned>> rows(height, std::vector<unsigned>(width));
      for (unsigned s = 0; s < height; ++s) {
        const unsigned row = topDown ? height - 1 - s : s;
        for (unsigned x = 0; x < width; ++x) {
          const unsigned index = below(random, maxEntries);
          rows[s][x] = index;
          // An index past the table's end reads as black.
          if (index < usedEntries) std::memcpy(expected.at(row, x), &table[index * entryBytes], 3);
        }
      }
      data = packIndexRows(random, rows, bits, width);
    }
    const auto bitsField = static_cast<std::uint16_t>(bits);
    const Bytes file = os2 ? buildOs2Bmp(static_cast<std::uint16_t>(width),
                                         static_cast<std::uint16_t>(height), bitsField, table, data)
                           : buildBmpFrom({.width = static_cast<std::int32_t>(width),
                                           .height = topDown ? -static_cast<std::int32_t>(height)
                                                             : static_cast<std::int32_t>(height),
                                           .bitsPerPixel = bitsField,
                                           .infoHeaderSize = infoSize},
                                          {}, table, data, coloursUsed);
    expectExpanded(file, expected,
                   "round " + std::to_string(round) + (os2 ? " OS/2 " : " ") +
                       std::to_string(bits) + "-bit " + std::to_string(width) + "x" +
                       std::to_string(height));
  }
}

// A field of `bits` bits that starts at bit `shift`.
std::uint32_t fieldMask(unsigned shift, unsigned bits) {
  return bits == 0 ? 0 : static_cast<std::uint32_t>(((std::uint64_t{1} << bits) - 1) << shift);
}

// round(value * 255 / (2^bits - 1)), 0 for an empty field.
std::uint8_t expectedChannel(std::uint32_t pixel, std::uint32_t mask) {
  if (mask == 0) return 0;
  unsigned shift = 0;
  while (((mask >> shift) & 1u) == 0) ++shift;
  unsigned bits = 0;
  while (shift + bits < 32 && ((mask >> (shift + bits)) & 1u) != 0) ++bits;
  const double maximum = std::ldexp(1.0, static_cast<int>(bits)) - 1;
  return static_cast<std::uint8_t>(std::lround(((pixel & mask) >> shift) * 255.0 / maximum));
}

TEST(BmpExpand, BitFieldPicturesScaleEachField) {
  std::mt19937 random(2002);
  for (int round = 0; round < 400; ++round) {
    const unsigned bits = below(random, 2) == 0 ? 16 : 32;
    const std::uint32_t infoSize = kInfoHeaderSizes[below(random, 5)];
    // 16-bit without compression is 5-5-5; else masks with compression 3 or 6.
    const bool plain = bits == 16 && below(random, 3) == 0;
    const std::uint32_t compression = plain ? 0 : below(random, 2) == 0 ? 3 : 6;
    const bool alphaMaskStored = !plain && (compression == 6 || infoSize >= 56);

    // Fields red, green, blue, alpha laid out in a random order with random gaps.
    std::uint32_t masks[4] = {0x7C00, 0x03E0, 0x001F, 0};
    if (!plain) {
      unsigned order[4] = {0, 1, 2, 3};
      std::shuffle(order, order + 4, random);
      unsigned shift = 0;
      for (unsigned k : order) {
        if (k == 3 && !alphaMaskStored) continue;
        const unsigned room = bits - shift;
        const unsigned fieldBits = below(random, std::min(room, 12u) + 1);
        masks[k] = fieldMask(shift, fieldBits);
        shift += fieldBits;
        shift += below(random, bits - shift + 1) / 4;
      }
    }
    const bool alpha = masks[3] != 0;
    const unsigned width = 1 + below(random, 23);
    const unsigned height = 1 + below(random, 7);
    const bool topDown = below(random, 2) == 0;

    const std::size_t pixelBytes = bits / 8;
    const std::size_t stride = (pixelBytes * width + 3) / 4 * 4;
    Bytes data = randomBytes(random, stride * height);
    Expected expected = blankPicture(width, height, alpha ? 4 : 3);
    for (unsigned s = 0; s < height; ++s) {
      const unsigned row = topDown ? height - 1 - s : s;
      for (unsigned x = 0; x < width; ++x) {
        std::uint32_t pixel = 0;
        for (std::size_t b = 0; b < pixelBytes; ++b) {
          pixel |= std::uint32_t{data[s * stride + x * pixelBytes + b]} << (8 * b);
        }
        std::uint8_t* target = expected.at(row, x);
        target[0] = expectedChannel(pixel, masks[2]);
        target[1] = expectedChannel(pixel, masks[1]);
        target[2] = expectedChannel(pixel, masks[0]);
        if (alpha) target[3] = expectedChannel(pixel, masks[3]);
      }
    }
    std::vector<std::uint32_t> stored;
    if (!plain) stored.assign(masks, masks + (alphaMaskStored ? 4 : 3));
    const Bytes file = buildBmpFrom(
        {.width = static_cast<std::int32_t>(width),
         .height = topDown ? -static_cast<std::int32_t>(height) : static_cast<std::int32_t>(height),
         .bitsPerPixel = static_cast<std::uint16_t>(bits),
         .compression = compression,
         .infoHeaderSize = infoSize},
        stored, {}, data);
    expectExpanded(file, expected,
                   "round " + std::to_string(round) + " " + std::to_string(bits) +
                       "-bit compression " + std::to_string(compression) + " header " +
                       std::to_string(infoSize));
  }
}

// Run-length data drawn at random, with the picture it gives kept beside it: runs (some passing
// the row's end, cut there), stored runs, deltas, early line ends and an early end of picture.
struct RunLengthPicture {
  Bytes data;
  std::vector<std::vector<int>> indices;  // [row][x], bottom-up; -1 where no packet reaches
};

RunLengthPicture randomRunLength(std::mt19937& random, bool rle4, unsigned width, unsigned height) {
  RunLengthPicture picture;
  picture.indices.assign(height, std::vector<int>(width, -1));
  const unsigned indexCount = rle4 ? 16 : 256;
  auto byte = [&](unsigned value) { picture.data.push_back(static_cast<std::uint8_t>(value)); };
  unsigned x = 0;
  unsigned y = 0;
  while (y < height) {
    const unsigned choice = below(random, 40);
    if (x >= width || choice < 3) {  // end of line
      byte(0);
      byte(0);
      x = 0;
      ++y;
    } else if (choice == 3) {  // end of picture
      byte(0);
      byte(1);
      return picture;
    } else if (choice < 7) {  // delta
      const unsigned right = below(random, width - x + 1);
      const unsigned up = below(random, height - y);
      byte(0);
      byte(2);
      byte(right);
      byte(up);
      x += right;
      y += up;
    } else if (choice < 24 || width - x < 3) {  // run, now and then past the row's end
      const unsigned count = 1 + below(random, std::min(width - x + 4, 255u));
      const unsigned first = below(random, indexCount);
      const unsigned second = rle4 ? below(random, indexCount) : first;
      byte(count);
      byte(rle4 ? first << 4 | second : first);
      for (unsigned k = 0; k < count && x + k < width; ++k) {
        picture.indices[y][x + k] = static_cast<int>(k % 2 == 0 ? first : second);
      }
      x += count;
    } else {  // indices stored as they are
      const unsigned count = 3 + below(random, std::min(width - x - 2, 253u));
      byte(0);
      byte(count);
      Bytes stored = randomBytes(random, rle4 ? (count + 1) / 2 : count);
      for (unsigned k = 0; k < count; ++k) {
        const unsigned index =
            rle4 ? (k % 2 == 0 ? stored[k / 2] >> 4 : stored[k / 2] & 0x0F) : stored[k];
        picture.indices[y][x + k] = static_cast<int>(index);
      }
      if (stored.size() % 2 != 0) stored.push_back(static_cast<std::uint8_t>(random()));
      picture.data.insert(picture.data.end(), stored.begin(), stored.end());
      x += count;
    }
  }
  if (below(random, 2) == 0) {  // end of picture, or just the end of the data
    byte(0);
    byte(1);
  }
  return picture;
}

TEST(BmpExpand, RunLengthPicturesFollowEveryEscape) {
  std::mt19937 random(3003);
  for (int round = 0; round < 400; ++round) {
    const bool rle4 = below(random, 2) == 0;
    const unsigned maxEntries = rle4 ? 16 : 256;
    const unsigned entries = 1 + below(random, maxEntries);
    const Bytes table = randomBytes(random, entries * 4);
    const unsigned width = 1 + below(random, 40);
    const unsigned height = 1 + below(random, 8);
    const RunLengthPicture picture = randomRunLength(random, rle4, width, height);

    Expected expected = blankPicture(width, height, 3);
    for (unsigned row = 0; row < height; ++row) {
      for (unsigned x = 0; x < width; ++x) {
        const int index = picture.indices[row][x];
        if (index >= 0 && static_cast<unsigned>(index) < entries) {
          std::memcpy(expected.at(row, x), &table[static_cast<std::size_t>(index) * 4], 3);
        }
      }
    }
    const BmpFields fields = {.width = static_cast<std::int32_t>(width),
                              .height = static_cast<std::int32_t>(height),
                              .bitsPerPixel = static_cast<std::uint16_t>(rle4 ? 4 : 8),
                              .compression = rle4 ? 2u : 1u,
                              .infoHeaderSize = kInfoHeaderSizes[below(random, 5)]};
    const std::string what = "round " + std::to_string(round) + (rle4 ? " RLE4 " : " RLE8 ") +
                             std::to_string(width) + "x" + std::to_string(height);
    expectExpanded(buildBmpFrom(fields, {}, table, picture.data), expected, what);

    // Stored top row first, run-length data is damaged.
    BmpFields topDown = fields;
    topDown.height = -topDown.height;
    const Bytes file = buildBmpFrom(topDown, {}, table, picture.data);
    DecodeReport report;
    EXPECT_FALSE(decodeBmp(ByteSpan(file.data(), file.size()), &report, true)) << what;
    EXPECT_NE(report.reason[0], '\0') << what;
  }
}

TEST(BmpExpand, StillRefusesEmbeddedDataWidePixelsAndBadMasks) {
  const std::vector<std::uint32_t> goodMasks = {0x00FF0000, 0x0000FF00, 0x000000FF};
  struct Case {
    const char* name;
    Bytes file;
  };
  const Case cases[] = {
      {"EmbeddedJpeg", buildBmpFrom({.bitsPerPixel = 0, .compression = 4}, {}, {}, Bytes(64, 0))},
      {"EmbeddedPng", buildBmpFrom({.bitsPerPixel = 0, .compression = 5}, {}, {}, Bytes(64, 0))},
      {"SixtyFourBits", buildBmpFrom({.bitsPerPixel = 64}, {}, {}, Bytes(128, 0))},
      {"OverlappingMasks", buildBmpFrom({.bitsPerPixel = 32, .compression = 3},
                                        {0x00FF0000, 0x0001FF00, 0xFF}, {}, Bytes(64, 0))},
      {"MaskWithAGap", buildBmpFrom({.bitsPerPixel = 32, .compression = 3},
                                    {0x00FF0000, 0x0000F0F0, 0x0F}, {}, Bytes(64, 0))},
      {"AlphaMaskOverlapping",
       buildBmpFrom({.bitsPerPixel = 32, .compression = 6},
                    {0x00FF0000, 0x0000FF00, 0x000000FF, 0x01000001}, {}, Bytes(64, 0))},
  };
  for (const Case& c : cases) {
    for (const bool expand : {false, true}) {
      DecodeReport report;
      EXPECT_FALSE(decodeBmp(ByteSpan(c.file.data(), c.file.size()), &report, expand)) << c.name;
      const std::string reason = report.reason;
      EXPECT_FALSE(reason.empty()) << c.name;
      EXPECT_EQ(reason.find("--expand"), std::string::npos) << c.name << ": " << reason;
    }
  }
  // The same header with masks that hold together is read.
  const Bytes good =
      buildBmpFrom({.bitsPerPixel = 32, .compression = 3}, goodMasks, {}, Bytes(64, 0));
  EXPECT_TRUE(decodeBmp(ByteSpan(good.data(), good.size()), nullptr, true));
}

TEST(BmpExpand, DefaultFilesGiveTheSamePicture) {
  std::mt19937 random(4004);
  for (int round = 0; round < 200; ++round) {
    BmpFields fields;
    fields.width = static_cast<std::int32_t>(1 + below(random, 21));
    fields.height = static_cast<std::int32_t>(1 + below(random, 9));
    if (below(random, 2) == 0) fields.height = -fields.height;
    fields.bitsPerPixel = below(random, 2) == 0 ? 24 : 32;
    fields.infoHeaderSize = kInfoHeaderSizes[below(random, 5)];
    fields.dataOffset = 14 + fields.infoHeaderSize + 4 * below(random, 20);
    const Bytes file = buildBmp(fields);
    const ByteSpan bytes(file.data(), file.size());
    ImagePtr plain = decodeBmp(bytes, nullptr, false);
    DecodeReport report;
    ImagePtr expanded = decodeBmp(bytes, &report, true);
    if (!plain) {  // under the 10 data bytes a default file must hold
      EXPECT_FALSE(expanded) << round;
      continue;
    }
    ASSERT_TRUE(expanded) << round;
    EXPECT_EQ(report.layout[0], '\0') << round;
    ASSERT_EQ(expanded->channels, plain->channels);
    ASSERT_EQ(expanded->pixelBytes(), plain->pixelBytes());
    EXPECT_EQ(Bytes(expanded->pixels(), expanded->pixels() + expanded->pixelBytes()),
              Bytes(plain->pixels(), plain->pixels() + plain->pixelBytes()))
        << round;
  }
}

TEST(BmpExpand, ReportNamesTheLayout) {
  struct Case {
    Bytes file;
    const char* layout;
    const char* reason;
  };
  const Case cases[] = {
      {buildBmpFrom({.bitsPerPixel = 8}, {}, Bytes(8, 0), Bytes(16, 0)), "palette 8-bit",
       "8-bit palette BMP is not converted without --expand"},
      {buildBmpFrom({.bitsPerPixel = 8, .compression = 1}, {}, Bytes(8, 0), {0, 1}), "RLE8",
       "RLE8 BMP is not converted without --expand"},
      {buildBmpFrom({.bitsPerPixel = 4, .compression = 2}, {}, Bytes(8, 0), {0, 1}), "RLE4",
       "RLE4 BMP is not converted without --expand"},
      {buildBmpFrom({.bitsPerPixel = 16}, {}, {}, Bytes(32, 0)), "16-bit 5-5-5",
       "16-bit BMP is not converted without --expand"},
      {buildBmpFrom({.bitsPerPixel = 32, .compression = 3}, {0xFF0000, 0xFF00, 0xFF}, {},
                    Bytes(64, 0)),
       "bit fields 32-bit", "32-bit bit-field BMP is not converted without --expand"},
      {buildOs2Bmp(4, 4, 1, Bytes(6, 0), Bytes(16, 0)), "OS/2 1-bit",
       "OS/2 BMP is not converted without --expand"},
  };
  for (const Case& c : cases) {
    const ByteSpan bytes(c.file.data(), c.file.size());
    DecodeReport report;
    EXPECT_TRUE(decodeBmp(bytes, &report, true)) << c.layout << ": " << report.reason;
    EXPECT_STREQ(report.layout, c.layout);
    DecodeReport refusal;
    EXPECT_FALSE(decodeBmp(bytes, &refusal, false)) << c.layout;
    EXPECT_STREQ(refusal.reason, c.reason);
  }
}

}  // namespace
