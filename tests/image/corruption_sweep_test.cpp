// Every truncation and every single-bit flip of small valid files of each format, offered to the
// whole reader chain. Each decode must return, give the same verdict and picture when repeated,
// and whatever it returns must be a whole picture. Under the asan preset a read outside the
// file or undefined behaviour in any reader ends the test.
//
// Beyond not crashing, the sweep holds each format to what it promises about damaged input:
// PNG refuses every cut and every flip (the signature, chunk CRCs and the end chunk cover every
// byte); a flip in the pixel bytes of an uncompressed BMP or TGA changes at most that bit of the
// picture; a cut that still decodes keeps the full picture size.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>  // mingw-w64 has one too, for dup, dup2, open and close

#include <bit>
#include <cstdio>
#include <limits>
#include <ostream>

#include "image/loader.h"
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
Verdict decodeVerdict(Bytes::const_iterator first, std::size_t length) {
  const Bytes copy(first, first + static_cast<std::ptrdiff_t>(length));
  ImagePtr image = decodeImage(ByteSpan(copy.data(), copy.size()));
  Verdict verdict;
  if (!image) return verdict;
  verdict.decoded = true;
  verdict.width = image->width;
  verdict.height = image->height;
  verdict.channels = image->channels;
  verdict.pixels.assign(image->pixels(), image->pixels() + image->pixelBytes());
  return verdict;
}

Verdict decodeVerdict(const Bytes& bytes) { return decodeVerdict(bytes.begin(), bytes.size()); }

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
};

void PrintTo(const SweepCase& c, std::ostream* out) { *out << c.name; }

const SweepCase kCases[] = {
    {"bmp24", bmp24, 5, 3, 3, Cuts::allRefused, 54, false},
    {"bmp32TopDown", bmp32TopDown, 7, 4, 4, Cuts::allRefused, 54, false},
    {"tgaRaw24", tgaRaw24, 6, 3, 3, Cuts::allRefused, 18, false},
    {"tgaRaw32TopDown", tgaRaw32TopDown, 5, 4, 4, Cuts::allRefused, 18, false},
    {"tgaRle24", tgaRle24, 9, 4, 3, Cuts::fromFirstDataByte, kNoOffset, false},
    {"tgaRle32", tgaRle32, 6, 5, 4, Cuts::fromFirstDataByte, kNoOffset, false},
    {"pngRgbPlain", pngRgbPlain, 5, 3, 3, Cuts::allRefused, kNoOffset, true},
    {"pngRgbaPlain", pngRgbaPlain, 6, 4, 4, Cuts::allRefused, kNoOffset, true},
    {"pngRgbAdam7", pngRgbAdam7, 9, 7, 3, Cuts::allRefused, kNoOffset, true},
    {"pngRgbaAdam7", pngRgbaAdam7, 11, 9, 4, Cuts::allRefused, kNoOffset, true},
    {"pngRgbSplitData", pngRgbSplitData, 7, 5, 3, Cuts::allRefused, kNoOffset, true},
    {"jpegBaseline", jpegBaseline, 17, 9, 3, Cuts::jpeg, kNoOffset, false},
    {"jpegSubsampled", jpegSubsampled, 13, 6, 3, Cuts::jpeg, kNoOffset, false},
    {"jpegProgressive", jpegProgressive, 9, 5, 3, Cuts::jpeg, kNoOffset, false},
    {"jpegCmyk", jpegCmyk, 6, 6, 3, Cuts::jpeg, kNoOffset, false},
    {"jpegGreyProgressive", jpegGreyProgressive, 10, 7, 3, Cuts::jpeg, kNoOffset, false},
};

// What a cut to length bytes must give. A JPEG cut inside the first scan's header or inside a
// later segment of a progressive file may go either way; the library decides.
Expected expectedCut(Cuts cuts, const Bytes& file, std::size_t length) {
  switch (cuts) {
    case Cuts::allRefused:
      return Expected::refused;
    case Cuts::fromFirstDataByte:
      return length > 18 ? Expected::decoded : Expected::refused;  // 18 header bytes, no ID field
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
    whole_ = decodeVerdict(file_);
    ASSERT_TRUE(whole_.decoded) << "the untouched file must decode";
    ASSERT_EQ(whole_.width, GetParam().width);
    ASSERT_EQ(whole_.height, GetParam().height);
    ASSERT_EQ(whole_.channels, GetParam().channels);
    ASSERT_EQ(decodeVerdict(file_), whole_);
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
    const Verdict first = decodeVerdict(file_.begin(), length);
    ASSERT_EQ(decodeVerdict(file_.begin(), length), first) << "cut at " << length;
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
      const Verdict first = decodeVerdict(mutated);
      ASSERT_EQ(decodeVerdict(mutated), first) << "offset " << offset << " bit " << bit;
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
    mutated[offset] = file_[offset];
  }
}

std::string caseName(const ::testing::TestParamInfo<SweepCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(Formats, CorruptionSweep, ::testing::ValuesIn(kCases), caseName);

}  // namespace
