// Every truncation, every single-bit flip and every inverted byte of small valid files of each
// format, and random damage to them, offered to the whole reader chain. Each decode must return,
// give the same verdict and picture when repeated, leave the PNG decoder idle, and whatever it
// returns must be a whole picture. Under the asan preset a read outside the
// file or undefined behaviour in any reader ends the test.
//
// Beyond not crashing, the sweep holds each format to what it promises about damaged input:
// PNG refuses every cut and every flip (the signature, chunk CRCs and the end chunk cover every
// byte); a flip in the pixel bytes of an uncompressed BMP or TGA changes at most that bit of the
// picture; a cut that still decodes keeps the full picture size.
//
// The layouts read only when expanding (palette, run-length, bit-field, OS/2 BMP; colour-mapped,
// grey, 16-bit TGA) are swept the same way, decoded with expand on.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>  // mingw-w64 has one too, for dup, dup2, open and close

#include <bit>
#include <cstdio>
#include <limits>
#include <ostream>
#include <random>
#include <string_view>

#include "base/byte_io.h"
#include "image/loader.h"
#include "png/decode_state.h"
#include "support/bmp_builder.h"
#include "support/jpeg_oracle.h"
#include "support/png_writer.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

// What one decode gave: nothing, or the picture's layout and pixel bytes.
struct Verdict {
  bool decoded = false;
  unsigned width = 0;
  unsigned height = 0;
  unsigned channels = 0;
  Bytes pixels;

  bool operator==(const Verdict&) const = default;
};

// Decodes a private copy of exactly the given bytes, so a read one byte past them is a read
// outside the heap block.
Verdict decodeVerdict(Bytes::const_iterator first, std::size_t length, bool expand) {
  const Bytes copy(first, first + static_cast<std::ptrdiff_t>(length));
  ImagePtr image = decodeImage(ByteSpan(copy.data(), copy.size()), nullptr, expand);
  // Whatever the damage, the PNG decoder lets go of every block and cursor.
  EXPECT_TRUE(pngState.palette == nullptr && pngState.idatData == nullptr &&
              pngState.rows[0] == nullptr && pngState.rows[1] == nullptr &&
              pngState.pixels == nullptr && pngState.streamCursor == nullptr &&
              pngState.idatCursor == nullptr && pngState.idatLength == 0 &&
              pngState.streamRemaining == 0)
      << "the PNG decoder is not idle";
  Verdict verdict;
  if (!image) return verdict;
  verdict.decoded = true;
  verdict.width = image->width;
  verdict.height = image->height;
  verdict.channels = image->channels;
  verdict.pixels.assign(image->pixels(), image->pixels() + image->pixelBytes());
  return verdict;
}

Verdict decodeVerdict(const Bytes& bytes, bool expand) {
  return decodeVerdict(bytes.begin(), bytes.size(), expand);
}

// Bits that differ between two pixel blocks of the same size.
std::size_t differingBits(const Bytes& a, const Bytes& b) {
  std::size_t bits = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    bits += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(a[i] ^ b[i])));
  }
  return bits;
}

#ifdef _WIN32
constexpr char kNullDevice[] = "NUL";
constexpr int kNullDeviceFlags = O_WRONLY | O_NOINHERIT;
#else
constexpr char kNullDevice[] = "/dev/null";
constexpr int kNullDeviceFlags = O_WRONLY | O_CLOEXEC;
#endif

// Sends standard error to the null device for its lifetime: damaged JPEG files make the library
// print a warning for nearly every decode of the sweep.
class QuietStandardError {
 public:
  QuietStandardError() : saved_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    const int null = ::open(kNullDevice, kNullDeviceFlags);
    if (null >= 0) {
      ::dup2(null, STDERR_FILENO);
      ::close(null);
    }
  }
  ~QuietStandardError() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
    }
  }
  QuietStandardError(const QuietStandardError&) = delete;
  QuietStandardError& operator=(const QuietStandardError&) = delete;

 private:
  int saved_;
};

constexpr std::size_t kNoOffset = std::numeric_limits<std::size_t>::max();

// Where the first scan of a JPEG file lies: its marker FF DA, the first byte of its entropy-coded
// data and the next marker after that data (a restart marker excepted).
struct JpegFirstScan {
  std::size_t marker = kNoOffset;
  std::size_t dataStart = kNoOffset;
  std::size_t dataEnd = kNoOffset;
};

JpegFirstScan jpegFirstScan(const Bytes& file) {
  JpegFirstScan scan;
  for (std::size_t i = 2; i + 3 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xDA) {
      scan.marker = i;
      scan.dataStart = i + 2 + (std::size_t{file[i + 2]} << 8 | file[i + 3]);
      break;
    }
  }
  for (std::size_t i = scan.dataStart; i + 1 < file.size(); ++i) {
    const std::uint8_t next = file[i + 1];
    if (file[i] == 0xFF && next != 0x00 && next != 0xFF && (next < 0xD0 || next > 0xD7)) {
      scan.dataEnd = i;
      break;
    }
  }
  return scan;
}

Bytes bmp24() { return buildBmp({.width = 5, .height = 3}); }
Bytes bmp32TopDown() { return buildBmp({.width = 7, .height = -4, .bitsPerPixel = 32}); }
Bytes tgaRaw24() { return buildTga({.width = 6, .height = 3}, tgaTestPixels(6, 3, 3)); }
Bytes tgaRaw24WithId() {
  return buildTga({.width = 5, .height = 3, .id = {1, 2}}, tgaTestPixels(5, 3, 3));
}
Bytes tgaRaw32TopDown() {
  return buildTga({.width = 5, .height = 4, .pixelDepth = 32, .descriptor = 0x20},
                  tgaTestPixels(5, 4, 4));
}
// Runs and raw packets alike: the picture's rows start with repeated pixels.
Bytes tgaRle24() {
  Bytes pixels = tgaTestPixels(9, 4, 3);
  for (std::size_t i = 0; i < 3 * 4; ++i) pixels[i + 3] = pixels[i % 3];
  return buildTga({.imageType = 10, .width = 9, .height = 4}, encodeTgaRle(pixels, 3));
}
Bytes tgaRle32() {
  return buildTga({.imageType = 10, .width = 6, .height = 5, .pixelDepth = 32, .descriptor = 0x20},
                  encodeTgaRle(tgaTestPixels(6, 5, 4), 4));
}
Bytes pngWithFilters(std::uint32_t width, std::uint32_t height, std::uint8_t colourType,
                     bool interlaced, std::vector<std::uint8_t> filters, std::uint32_t seed) {
  PngPicture picture = makePngPicture(width, height, 8, colourType, interlaced, seed);
  picture.filters = std::move(filters);
  return buildPng(picture);
}
Bytes pngRgbPlain() { return pngWithFilters(5, 3, 2, false, {0, 1, 2}, 101); }
Bytes pngRgbaPlain() { return pngWithFilters(6, 4, 6, false, {3, 4, 1, 2}, 102); }
Bytes pngRgbAdam7() { return pngWithFilters(9, 7, 2, true, {1, 4, 2, 3, 0}, 103); }
Bytes pngRgbaAdam7() { return pngWithFilters(11, 9, 6, true, {4, 3, 2, 1}, 104); }
// Image data split over two chunks with ancillary chunks around them.
Bytes pngRgbSplitData() {
  PngPicture picture = makePngPicture(7, 5, 8, 2, false, 105);
  picture.filters = {2, 0, 4};
  const Bytes data = zlibCompress(pngScanlines(picture));
  const auto half = static_cast<std::ptrdiff_t>(data.size() / 2);
  return joinBytes(
      {pngSignature(), pngChunk("IHDR", pngHeaderData(7, 5, 8, 2)), pngChunk("tEXt", {'k', 0, 'v'}),
       pngChunk("IDAT", Bytes(data.begin(), data.begin() + half)), pngChunk("quUx", {7}),
       pngChunk("IDAT", Bytes(data.begin() + half, data.end())), pngChunk("IEND", {})});
}
// Layouts read only when expanding.
Bytes bmpPalette4() {
  Bytes table(16 * 4);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i * 7 + 1);
  Bytes rows(3 * 4);  // 7 pixels of 4 bits, padded to 4 bytes
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<std::uint8_t>(i * 0x35);
  return buildBmpFrom({.width = 7, .height = 3, .bitsPerPixel = 4}, {}, table, rows);
}
Bytes bmpPalette1TopDown() {
  const Bytes table = {10, 20, 30, 0, 200, 210, 220, 0};
  Bytes rows(4 * 4);  // 13 pixels of 1 bit, padded to 4 bytes
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<std::uint8_t>(i * 0x5B);
  return buildBmpFrom({.width = 13, .height = -4, .bitsPerPixel = 1, .infoHeaderSize = 124}, {},
                      table, rows);
}
// A run, indices stored as they are, a delta, early line ends and the end of the picture.
Bytes bmpRle8() {
  Bytes table(6 * 4);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i * 11 + 3);
  const Bytes data = {3, 1, 0, 4, 2, 3, 4, 5, 2, 0, 0, 0, 0, 2, 2, 1,
                      5, 4, 0, 0, 0, 3, 1, 2, 3, 0, 9, 5, 0, 0, 0, 1};
  return buildBmpFrom({.width = 9, .height = 4, .bitsPerPixel = 8, .compression = 1}, {}, table,
                      data);
}
Bytes bmpRle4() {
  Bytes table(16 * 4);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i * 5 + 9);
  const Bytes data = {5, 0x12, 0, 5, 0x34, 0x56, 0x70, 0,    0,  0,    0, 2, 1, 1,
                      4, 0xAB, 0, 0, 0,    3,    0xEF, 0x10, 11, 0xCD, 0, 0, 0, 1};
  return buildBmpFrom({.width = 10, .height = 4, .bitsPerPixel = 4, .compression = 2}, {}, table,
                      data);
}
Bytes bmpBitFieldsAlpha() {
  Bytes rows(6 * 3 * 4);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<std::uint8_t>(i * 13 + 2);
  return buildBmpFrom(
      {.width = 6, .height = 3, .bitsPerPixel = 32, .compression = 3, .infoHeaderSize = 124},
      {0x0000FF00, 0x00FF0000, 0xFF000000, 0x000000FF}, {}, rows);
}
Bytes bmp555() {
  Bytes rows(8 * 5);  // 3 pixels of 2 bytes, padded to 8
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<std::uint8_t>(i * 29 + 7);
  return buildBmpFrom({.width = 3, .height = -5, .bitsPerPixel = 16}, {}, {}, rows);
}
Bytes bmpOs2Palette8() {
  Bytes table(20 * 3);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i * 3 + 1);
  Bytes rows(8 * 3);  // 5 pixels of 8 bits, padded to 8
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<std::uint8_t>(i % 23);
  return buildOs2Bmp(5, 3, 8, table, rows);
}
TgaFields colourMapped(std::uint8_t imageType, std::uint8_t pixelDepth, std::uint8_t entryBits,
                       std::uint16_t entries) {
  Bytes map(entries * ((entryBits + 7u) / 8u));
  for (std::size_t i = 0; i < map.size(); ++i) map[i] = static_cast<std::uint8_t>(i * 17 + 5);
  return {.colourMapType = 1,
          .imageType = imageType,
          .colourMapLength = entries,
          .width = 5,
          .height = 4,
          .pixelDepth = pixelDepth,
          .colourMapFirstEntry = 2,
          .colourMapEntrySize = entryBits,
          .colourMap = map};
}
Bytes tgaMapped8() {
  Bytes indices(5 * 4);
  for (std::size_t i = 0; i < indices.size(); ++i)
    indices[i] = static_cast<std::uint8_t>(2 + i % 9);
  return buildTga(colourMapped(1, 8, 24, 9), indices);
}
Bytes tgaMappedRle16() {
  Bytes indices;
  for (std::size_t i = 0; i < 5 * 4; ++i) {
    indices.push_back(static_cast<std::uint8_t>(2 + (i / 3) % 6));
    indices.push_back(0);
  }
  return buildTga(colourMapped(9, 16, 32, 6), encodeTgaRle(indices, 2));
}
Bytes tgaMapped16Entries() {
  Bytes indices(5 * 4);
  for (std::size_t i = 0; i < indices.size(); ++i)
    indices[i] = static_cast<std::uint8_t>(2 + i % 4);
  TgaFields fields = colourMapped(1, 8, 16, 4);
  fields.descriptor = 0x20;
  return buildTga(fields, indices);
}
Bytes tgaGreyRle() {
  Bytes grey = tgaTestPixels(7, 3, 1);
  for (std::size_t i = 0; i < 4; ++i) grey[i + 1] = grey[0];
  return buildTga({.imageType = 11, .width = 7, .height = 3, .pixelDepth = 8},
                  encodeTgaRle(grey, 1));
}
Bytes tgaGreyAlpha() {
  return buildTga({.imageType = 3, .width = 4, .height = 3, .pixelDepth = 16, .descriptor = 0x20},
                  tgaTestPixels(4, 3, 2));
}
Bytes tga16Rle() {
  return buildTga({.imageType = 10, .width = 6, .height = 3, .pixelDepth = 16},
                  encodeTgaRle(tgaTestPixels(6, 3, 2), 2));
}
Bytes jpegBaseline() { return encodeJpeg({.width = 17, .height = 9, .quality = 75}); }
Bytes jpegSubsampled() {
  return encodeJpeg({.width = 13, .height = 6, .subsampled = true, .quality = 50});
}
Bytes jpegProgressive() {
  return encodeJpeg({.width = 9, .height = 5, .progressive = true, .quality = 60});
}
Bytes jpegCmyk() { return encodeJpeg({.width = 6, .height = 6, .color = JpegColor::Cmyk}); }
Bytes jpegGreyProgressive() {
  return encodeJpeg({.width = 10, .height = 7, .color = JpegColor::Grey, .progressive = true});
}

// How cut files of a format fare.
enum class Cuts {
  allRefused,         // BMP (the file size field declares the whole file), uncompressed TGA
                      // (every pixel must be there), PNG (the end chunk must be there)
  fromFirstDataByte,  // TGA run-length data: the header and one data byte already decode
  jpeg,               // refused up to the first scan marker, decoded inside the first scan's data
};

enum class Expected { refused, decoded, either };

struct SweepCase {
  const char* name;
  Bytes (*build)();
  unsigned width;
  unsigned height;
  unsigned channels;
  Cuts cuts;
  std::size_t rawPixelsFrom;  // first byte of uncompressed pixel data, kNoOffset when compressed
  bool everyFlipRefused;
  bool expand;  // decoded with the layouts read only when expanding
};

void PrintTo(const SweepCase& c, std::ostream* out) { *out << c.name; }

const SweepCase kCases[] = {
    {"bmp24", bmp24, 5, 3, 3, Cuts::allRefused, 54, false, false},
    {"bmp32TopDown", bmp32TopDown, 7, 4, 4, Cuts::allRefused, 54, false, false},
    {"tgaRaw24", tgaRaw24, 6, 3, 3, Cuts::allRefused, 18, false, false},
    {"tgaRaw24WithId", tgaRaw24WithId, 5, 3, 3, Cuts::allRefused, 20, false, false},
    {"tgaRaw32TopDown", tgaRaw32TopDown, 5, 4, 4, Cuts::allRefused, 18, false, false},
    {"tgaRle24", tgaRle24, 9, 4, 3, Cuts::fromFirstDataByte, kNoOffset, false, false},
    {"tgaRle32", tgaRle32, 6, 5, 4, Cuts::fromFirstDataByte, kNoOffset, false, false},
    {"pngRgbPlain", pngRgbPlain, 5, 3, 3, Cuts::allRefused, kNoOffset, true, false},
    {"pngRgbaPlain", pngRgbaPlain, 6, 4, 4, Cuts::allRefused, kNoOffset, true, false},
    {"pngRgbAdam7", pngRgbAdam7, 9, 7, 3, Cuts::allRefused, kNoOffset, true, false},
    {"pngRgbaAdam7", pngRgbaAdam7, 11, 9, 4, Cuts::allRefused, kNoOffset, true, false},
    {"pngRgbSplitData", pngRgbSplitData, 7, 5, 3, Cuts::allRefused, kNoOffset, true, false},
    {"jpegBaseline", jpegBaseline, 17, 9, 3, Cuts::jpeg, kNoOffset, false, false},
    {"jpegSubsampled", jpegSubsampled, 13, 6, 3, Cuts::jpeg, kNoOffset, false, false},
    {"jpegProgressive", jpegProgressive, 9, 5, 3, Cuts::jpeg, kNoOffset, false, false},
    {"jpegCmyk", jpegCmyk, 6, 6, 3, Cuts::jpeg, kNoOffset, false, false},
    {"jpegGreyProgressive", jpegGreyProgressive, 10, 7, 3, Cuts::jpeg, kNoOffset, false, false},
    {"bmpPalette4", bmpPalette4, 7, 3, 3, Cuts::allRefused, kNoOffset, false, true},
    {"bmpPalette1TopDown", bmpPalette1TopDown, 13, 4, 3, Cuts::allRefused, kNoOffset, false, true},
    {"bmpRle8", bmpRle8, 9, 4, 3, Cuts::allRefused, kNoOffset, false, true},
    {"bmpRle4", bmpRle4, 10, 4, 3, Cuts::allRefused, kNoOffset, false, true},
    {"bmpBitFieldsAlpha", bmpBitFieldsAlpha, 6, 3, 4, Cuts::allRefused, 138, false, true},
    {"bmp555", bmp555, 3, 5, 3, Cuts::allRefused, kNoOffset, false, true},
    {"bmpOs2Palette8", bmpOs2Palette8, 5, 3, 3, Cuts::allRefused, kNoOffset, false, true},
    {"tgaMapped8", tgaMapped8, 5, 4, 3, Cuts::allRefused, kNoOffset, false, true},
    {"tgaMappedRle16", tgaMappedRle16, 5, 4, 4, Cuts::fromFirstDataByte, kNoOffset, false, true},
    {"tgaMapped16Entries", tgaMapped16Entries, 5, 4, 3, Cuts::allRefused, kNoOffset, false, true},
    {"tgaGreyRle", tgaGreyRle, 7, 3, 3, Cuts::fromFirstDataByte, kNoOffset, false, true},
    {"tgaGreyAlpha", tgaGreyAlpha, 4, 3, 4, Cuts::allRefused, kNoOffset, false, true},
    {"tga16Rle", tga16Rle, 6, 3, 3, Cuts::fromFirstDataByte, kNoOffset, false, true},
};

// What a cut to length bytes must give. A JPEG cut inside the first scan's header or inside a
// later segment of a progressive file may go either way; the library decides.
Expected expectedCut(Cuts cuts, const Bytes& file, std::size_t length) {
  switch (cuts) {
    case Cuts::allRefused:
      return Expected::refused;
    case Cuts::fromFirstDataByte: {
      // 18 header bytes and no ID field, then the colour map when there is one.
      const std::size_t mapBytes =
          file[1] == 1 ? (file[5] | unsigned{file[6]} << 8) * ((file[7] + 7u) / 8u) : 0;
      return length > 18 + mapBytes ? Expected::decoded : Expected::refused;
    }
    case Cuts::jpeg: {
      const JpegFirstScan scan = jpegFirstScan(file);
      if (length <= scan.marker) return Expected::refused;
      if (length >= scan.dataStart && length <= scan.dataEnd) return Expected::decoded;
      return Expected::either;
    }
  }
  return Expected::either;
}

// A returned picture is whole: a known channel count and sides within the readers' limit (the
// pixel block size follows from them in decodeVerdict).
void expectSanePicture(const Verdict& verdict) {
  if (!verdict.decoded) return;
  EXPECT_TRUE(verdict.channels == 3 || verdict.channels == 4) << verdict.channels;
  EXPECT_GE(verdict.width, 1u);
  EXPECT_LE(verdict.width, kMaxImageSide);
  EXPECT_GE(verdict.height, 1u);
  EXPECT_LE(verdict.height, kMaxImageSide);
}

class CorruptionSweep : public ::testing::TestWithParam<SweepCase> {
 protected:
  void SetUp() override {
    file_ = GetParam().build();
    ASSERT_FALSE(file_.empty());
    whole_ = decodeVerdict(file_, GetParam().expand);
    ASSERT_TRUE(whole_.decoded) << "the untouched file must decode";
    ASSERT_EQ(whole_.width, GetParam().width);
    ASSERT_EQ(whole_.height, GetParam().height);
    ASSERT_EQ(whole_.channels, GetParam().channels);
    ASSERT_EQ(decodeVerdict(file_, GetParam().expand), whole_);
  }

  Bytes file_;
  Verdict whole_;
  QuietStandardError quiet_;
};

TEST_P(CorruptionSweep, EveryCutReturnsTheSameVerdictTwiceAndKeepsTheSizeWhenItDecodes) {
  if (GetParam().cuts == Cuts::jpeg) {
    const JpegFirstScan scan = jpegFirstScan(file_);
    ASSERT_LT(scan.dataStart, scan.dataEnd);
    ASSERT_LT(scan.dataEnd, file_.size());
  }
  for (std::size_t length = 0; length < file_.size(); ++length) {
    const Verdict first = decodeVerdict(file_.begin(), length, GetParam().expand);
    ASSERT_EQ(decodeVerdict(file_.begin(), length, GetParam().expand), first)
        << "cut at " << length;
    const Expected expected = expectedCut(GetParam().cuts, file_, length);
    if (expected != Expected::either) {
      EXPECT_EQ(first.decoded, expected == Expected::decoded)
          << "cut at " << length << " of " << file_.size();
    }
    if (first.decoded) {
      EXPECT_EQ(first.width, whole_.width) << "cut at " << length;
      EXPECT_EQ(first.height, whole_.height) << "cut at " << length;
      EXPECT_EQ(first.channels, whole_.channels) << "cut at " << length;
    }
  }
}

TEST_P(CorruptionSweep, EveryBitFlipReturnsTheSameVerdictTwiceAndAWholePicture) {
  const SweepCase& c = GetParam();
  Bytes mutated = file_;
  for (std::size_t offset = 0; offset < file_.size(); ++offset) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      mutated[offset] = static_cast<std::uint8_t>(file_[offset] ^ (1u << bit));
      const Verdict first = decodeVerdict(mutated, c.expand);
      ASSERT_EQ(decodeVerdict(mutated, c.expand), first) << "offset " << offset << " bit " << bit;
      expectSanePicture(first);
      if (c.everyFlipRefused) {
        EXPECT_FALSE(first.decoded) << "offset " << offset << " bit " << bit;
      }
      if (offset >= c.rawPixelsFrom) {
        // Pixel bytes are taken over as stored: only the flipped bit can change (none when it
        // lies in a row's alignment bytes).
        ASSERT_TRUE(first.decoded) << "offset " << offset << " bit " << bit;
        ASSERT_EQ(first.pixels.size(), whole_.pixels.size());
        EXPECT_LE(differingBits(first.pixels, whole_.pixels), 1u)
            << "offset " << offset << " bit " << bit;
      }
    }
    // Every bit of the byte at once.
    mutated[offset] = static_cast<std::uint8_t>(~file_[offset]);
    const Verdict inverted = decodeVerdict(mutated, c.expand);
    ASSERT_EQ(decodeVerdict(mutated, c.expand), inverted) << "offset " << offset << " inverted";
    expectSanePicture(inverted);
    if (c.everyFlipRefused) {
      EXPECT_FALSE(inverted.decoded) << "offset " << offset << " inverted";
    }
    mutated[offset] = file_[offset];
  }
}

// Several bytes overwritten at random, and every other time the file cut as well. JPEG files are
// left to the fuzzers: a damaged frame header may claim a picture that takes long to refuse.
TEST_P(CorruptionSweep, RandomDamageReturnsTheSameVerdictTwiceAndAWholePicture) {
  const SweepCase& c = GetParam();
  if (c.cuts == Cuts::jpeg) GTEST_SKIP() << "JPEG damage is left to the fuzzers";
  std::mt19937 random(20240505u);
  std::uniform_int_distribution<std::size_t> position(0, file_.size() - 1);
  std::uniform_int_distribution<int> byteValue(0, 255);
  std::uniform_int_distribution<std::size_t> cut(0, file_.size());
  const bool tga = std::string_view(c.name).starts_with("tga");
  const bool bmp = std::string_view(c.name).starts_with("bmp");
  for (int round = 0; round < 500; ++round) {
    Bytes mutated = file_;
    for (int n = 0; n < 4; ++n)
      mutated[position(random)] = static_cast<std::uint8_t>(byteValue(random));
    if (round % 2 == 1) mutated.resize(cut(random));
    // Pictures are kept small enough that a run-length decode stays quick.
    if (tga && mutated.size() >= 18 &&
        std::size_t{readLe16(mutated, 12)} * readLe16(mutated, 14) > (1u << 20)) {
      mutated[15] = 0;
    }
    if (bmp && mutated.size() >= 26 &&
        std::size_t{readLe16(mutated, 18)} * readLe16(mutated, 22) > (1u << 20)) {
      mutated[19] = 0;
    }
    const Verdict first = decodeVerdict(mutated, c.expand);
    ASSERT_EQ(decodeVerdict(mutated, c.expand), first) << "round " << round;
    expectSanePicture(first);
  }
}

std::string caseName(const ::testing::TestParamInfo<SweepCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(Formats, CorruptionSweep, ::testing::ValuesIn(kCases), caseName);

}  // namespace
