// JPEG reader: every input is made by the library's compressor, and every picture is checked
// against the library's own decode of the same bytes.

#include "image/jpeg_reader.h"

#include <gtest/gtest.h>
#include <jerror.h>
#include <jpeglib.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "base/heap.h"
#include "image/loader.h"
#include "support/bmp_builder.h"
#include "support/jpeg_oracle.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

ByteSpan spanOf(const Bytes& bytes) { return ByteSpan(bytes.data(), bytes.size()); }

// Offset of the first marker FF <code> after the start-of-image marker, or the file size.
std::size_t findMarker(const Bytes& bytes, std::uint8_t code) {
  for (std::size_t i = 2; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && bytes[i + 1] == code) return i;
  }
  return bytes.size();
}

// The file with a comment segment of payloadBytes bytes right after the start-of-image marker.
Bytes withComment(const Bytes& bytes, std::size_t payloadBytes) {
  const std::size_t length = payloadBytes + 2;  // the length field counts itself
  Bytes out(bytes.begin(), bytes.begin() + 2);
  out.insert(out.end(), {0xFF, 0xFE, static_cast<std::uint8_t>(length >> 8),
                         static_cast<std::uint8_t>(length & 0xFF)});
  for (std::size_t i = 0; i < payloadBytes; ++i) out.push_back(static_cast<std::uint8_t>(i * 7));
  out.insert(out.end(), bytes.begin() + 2, bytes.end());
  return out;
}

Bytes truncated(const Bytes& bytes, std::size_t size) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

// The picture must be the reference's rows in reverse order, each pixel's R,G,B as the oracle
// derives them (grey repeated, CMYK read as stored inverted) stored as blue, green, red.
void expectMatchesReference(const Image& image, const JpegReference& reference) {
  ASSERT_TRUE(reference.rowsDecoded);
  ASSERT_EQ(image.channels, 3);
  ASSERT_EQ(image.width, reference.width);
  ASSERT_EQ(image.height, reference.height);
  const Bytes rgb = jpegReferenceRgb(reference);
  const std::size_t width = image.width;
  const std::size_t height = image.height;
  int mismatches = 0;
  for (std::size_t y = 0; y < height && mismatches < 5; ++y) {
    for (std::size_t x = 0; x < width && mismatches < 5; ++x) {
      const std::uint8_t* ref = rgb.data() + (y * width + x) * 3;
      const std::uint8_t* got = image.pixels() + ((height - 1 - y) * width + x) * 3;
      if (got[0] != ref[2] || got[1] != ref[1] || got[2] != ref[0]) {
        ++mismatches;
        ADD_FAILURE() << "pixel x=" << x << " y=" << y << " (from top): got B,G,R " << int{got[0]}
                      << "," << int{got[1]} << "," << int{got[2]} << ", expected R,G,B "
                      << int{ref[0]} << "," << int{ref[1]} << "," << int{ref[2]};
      }
    }
  }
}

// Decodes with the reader and a report, capturing standard error, which the reader must leave
// alone: the library's warnings are held in the report.
struct CapturedDecode {
  ImagePtr image;
  std::string errorOutput;
  std::string warnings;  // held in the report
};

CapturedDecode decodeCapturingStderr(const Bytes& bytes) {
  testing::internal::CaptureStderr();
  CapturedDecode result;
  DecodeReport report;
  result.image = decodeJpeg(spanOf(bytes), &report);
  result.errorOutput = testing::internal::GetCapturedStderr();
  result.warnings = report.warnings;
  return result;
}

struct LayoutCase {
  const char* name;
  JpegEncoding encoding;
  int expectedComponents;
};

void PrintTo(const LayoutCase& param, std::ostream* out) { *out << param.name; }

class JpegLayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(JpegLayoutTest, DecodesAsTheLibraryDoes) {
  const LayoutCase& param = GetParam();
  const Bytes file = encodeJpeg(param.encoding);
  ASSERT_FALSE(file.empty());
  const JpegReference reference = decodeJpegReference(file);
  ASSERT_EQ(reference.components, param.expectedComponents);
  const CapturedDecode decoded = decodeCapturingStderr(file);
  ASSERT_NE(decoded.image, nullptr);
  EXPECT_EQ(decoded.errorOutput, "");
  EXPECT_EQ(decoded.warnings, "");
  expectMatchesReference(*decoded.image, reference);
}

JpegEncoding layout(JpegColor color, int width, int height, bool subsampled = false,
                    bool progressive = false, bool adobeMarker = true) {
  JpegEncoding encoding;
  encoding.adobeMarker = adobeMarker;
  encoding.color = color;
  encoding.width = width;
  encoding.height = height;
  encoding.subsampled = subsampled;
  encoding.progressive = progressive;
  return encoding;
}

INSTANTIATE_TEST_SUITE_P(
    JpegReader, JpegLayoutTest,
    testing::Values(LayoutCase{"Grey", layout(JpegColor::Grey, 19, 11), 1},
                    LayoutCase{"Rgb444", layout(JpegColor::Rgb, 21, 13), 3},
                    LayoutCase{"Rgb420", layout(JpegColor::Rgb, 21, 13, true), 3},
                    LayoutCase{"Cmyk", layout(JpegColor::Cmyk, 17, 9), 4},
                    LayoutCase{"CmykWithoutAdobeMarker",
                               layout(JpegColor::Cmyk, 17, 9, false, false, false), 4},
                    LayoutCase{"Ycck420", layout(JpegColor::Ycck, 17, 9, true), 4},
                    LayoutCase{"Ycck444", layout(JpegColor::Ycck, 12, 7), 4},
                    LayoutCase{"YcckWithoutAdobeMarker",
                               layout(JpegColor::Ycck, 17, 9, true, false, false), 4},
                    LayoutCase{"ProgressiveRgb420", layout(JpegColor::Rgb, 33, 20, true, true), 3},
                    LayoutCase{"ProgressiveGrey", layout(JpegColor::Grey, 9, 30, false, true), 1},
                    LayoutCase{"ProgressiveCmyk", layout(JpegColor::Cmyk, 10, 10, false, true), 4},
                    LayoutCase{"OnePixelGrey", layout(JpegColor::Grey, 1, 1), 1},
                    LayoutCase{"OnePixelRgb", layout(JpegColor::Rgb, 1, 1, true), 3},
                    LayoutCase{"OnePixelCmyk", layout(JpegColor::Cmyk, 1, 1), 4}),
    [](const testing::TestParamInfo<LayoutCase>& test) { return std::string(test.param.name); });

TEST(JpegReader, WidensGreyToThreeEqualBytes) {
  const Bytes file = encodeJpeg(layout(JpegColor::Grey, 8, 3));
  ImagePtr image = decodeJpeg(spanOf(file));
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->channels, 3);
  const std::uint8_t* pixel = image->pixels();
  for (std::size_t i = 0; i < image->pixelBytes(); i += 3) {
    EXPECT_EQ(pixel[i], pixel[i + 1]);
    EXPECT_EQ(pixel[i], pixel[i + 2]);
  }
  // The test pattern darkens towards the top, so the widened rows must not all be equal.
  EXPECT_NE(pixel[0], image->pixels()[image->pixelBytes() - 3]);
}

TEST(JpegReader, StoresTheTopLeftRgbPixelAsBlueGreenRedAtTheStartOfTheLastRow) {
  JpegEncoding encoding = layout(JpegColor::Rgb, 16, 16);
  encoding.quality = 100;
  Bytes samples(16 * 16 * 3);
  for (std::size_t i = 0; i < samples.size(); i += 3) {
    const bool top = i < samples.size() / 2;
    samples[i] = top ? 200 : 20;
    samples[i + 1] = top ? 100 : 40;
    samples[i + 2] = top ? 50 : 60;
  }
  const Bytes file = encodeJpeg(encoding, samples);
  const JpegReference reference = decodeJpegReference(file);
  ASSERT_NEAR(reference.samples[0], 200, 2);
  ASSERT_NEAR(reference.samples[1], 100, 2);
  ASSERT_NEAR(reference.samples[2], 50, 2);

  ImagePtr image = decodeJpeg(spanOf(file));
  ASSERT_NE(image, nullptr);
  const std::uint8_t* topRow = image->pixels() + 15 * image->rowBytes();
  EXPECT_EQ(topRow[0], reference.samples[2]);
  EXPECT_EQ(topRow[1], reference.samples[1]);
  EXPECT_EQ(topRow[2], reference.samples[0]);
  const std::uint8_t* bottomRow = image->pixels();
  EXPECT_NEAR(bottomRow[0], 60, 2);
  EXPECT_NEAR(bottomRow[1], 40, 2);
  EXPECT_NEAR(bottomRow[2], 20, 2);
}

// CMYK stored inverted: a black value of 0 is full black ink whatever the other inks, and every
// value 255 is no ink at all.
TEST(JpegReader, ReadsCmykAsStoredInverted) {
  for (const bool adobeMarker : {true, false}) {
    JpegEncoding encoding = layout(JpegColor::Cmyk, 16, 16, false, false, adobeMarker);
    encoding.quality = 100;
    Bytes samples(16 * 16 * 4, 255);
    for (std::size_t i = 0; i < samples.size() / 2; i += 4) {
      samples[i] = static_cast<std::uint8_t>(i);
      samples[i + 1] = 90;
      samples[i + 2] = 170;
      samples[i + 3] = 0;  // the top half: black
    }
    ImagePtr image = decodeJpeg(spanOf(encodeJpeg(encoding, samples)));
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->channels, 3);
    const std::size_t half = image->pixelBytes() / 2;
    for (std::size_t i = 0; i < image->pixelBytes(); ++i) {
      // Rows are bottom-up: the first half of the block is the bottom, white half.
      EXPECT_EQ(image->pixels()[i], i < half ? 255 : 0) << "byte " << i << ", " << adobeMarker;
    }
  }
}

// A YCCK file goes through the library's conversion to CMYK: the same inks stored as YCCK and
// as CMYK give nearly the same picture.
TEST(JpegReader, YcckAndCmykOfTheSameInksAgree) {
  JpegEncoding cmyk = layout(JpegColor::Cmyk, 24, 16);
  cmyk.quality = 100;
  JpegEncoding ycck = cmyk;
  ycck.color = JpegColor::Ycck;
  const Bytes samples = jpegTestSamples(cmyk);
  ImagePtr fromCmyk = decodeJpeg(spanOf(encodeJpeg(cmyk, samples)));
  ImagePtr fromYcck = decodeJpeg(spanOf(encodeJpeg(ycck, samples)));
  ASSERT_NE(fromCmyk, nullptr);
  ASSERT_NE(fromYcck, nullptr);
  ASSERT_EQ(fromCmyk->pixelBytes(), fromYcck->pixelBytes());
  for (std::size_t i = 0; i < fromCmyk->pixelBytes(); ++i) {
    ASSERT_NEAR(fromCmyk->pixels()[i], fromYcck->pixels()[i], 3) << "byte " << i;
  }
}

// ImageMagick's reading of the same CMYK file: an independent decoder, which reads CMYK JPEG
// files as stored inverted too.
TEST(JpegReaderAgainstImageMagick, CmykAgreesWithinOne) {
  ScratchFolder folder;
  const ProcessResult version = runProcess("convert -version 2>/dev/null", folder.path());
  if (version.status != 0 || version.output.find("ImageMagick") == std::string::npos) {
    GTEST_SKIP() << "ImageMagick's convert is not installed (scripts/install-deps.sh installs "
                    "it): the CMYK comparison with ImageMagick did not run";
  }
  const JpegEncoding encoding = layout(JpegColor::Cmyk, 37, 23);
  const Bytes file = encodeJpeg(encoding);
  writeFile(folder.path() / "cmyk.jpg", file);
  const ProcessResult converted =
      runProcess("convert cmyk.jpg -depth 8 rgb:cmyk.rgb", folder.path());
  ASSERT_EQ(converted.status, 0) << "ImageMagick could not read the file";
  const Bytes rgb = readFile(folder.path() / "cmyk.rgb");

  ImagePtr image = decodeJpeg(spanOf(file));
  ASSERT_NE(image, nullptr);
  const std::size_t width = image->width;
  const std::size_t height = image->height;
  ASSERT_EQ(rgb.size(), width * height * 3);
  int mismatches = 0;
  for (std::size_t y = 0; y < height && mismatches < 5; ++y) {
    for (std::size_t x = 0; x < width && mismatches < 5; ++x) {
      const std::uint8_t* theirs = rgb.data() + (y * width + x) * 3;
      const std::uint8_t* ours = image->pixels() + ((height - 1 - y) * width + x) * 3;
      for (std::size_t k = 0; k < 3; ++k) {
        if (std::abs(int{ours[2 - k]} - int{theirs[k]}) > 1) {
          ++mismatches;
          ADD_FAILURE() << "pixel x=" << x << " y=" << y << " component " << k << ": ours "
                        << int{ours[2 - k]} << ", ImageMagick " << int{theirs[k]};
        }
      }
    }
  }
}

TEST(JpegReader, ProgressiveAndArithmeticFilesGiveTheBaselinePicture) {
  JpegEncoding encoding = layout(JpegColor::Rgb, 40, 24, true);
  const Bytes baselineFile = encodeJpeg(encoding);
  ImagePtr baseline = decodeJpeg(spanOf(baselineFile));
  ASSERT_NE(baseline, nullptr);
  const Bytes expected(baseline->pixels(), baseline->pixels() + baseline->pixelBytes());

  encoding.progressive = true;
  ImagePtr progressive = decodeJpeg(spanOf(encodeJpeg(encoding)));
  ASSERT_NE(progressive, nullptr);
  EXPECT_EQ(Bytes(progressive->pixels(), progressive->pixels() + progressive->pixelBytes()),
            expected);

  encoding.progressive = false;
  encoding.arithmetic = true;
  const Bytes arithmeticFile = encodeJpeg(encoding);
  if (arithmeticFile.empty())
    GTEST_SKIP() << "the installed library cannot encode arithmetic coding";
  ImagePtr arithmetic = decodeJpeg(spanOf(arithmeticFile));
  ASSERT_NE(arithmetic, nullptr);
  EXPECT_EQ(Bytes(arithmetic->pixels(), arithmetic->pixels() + arithmetic->pixelBytes()), expected);
}

TEST(JpegReader, DecodesArithmeticCodedFilesAsTheLibraryDoes) {
  for (bool progressive : {false, true}) {
    JpegEncoding encoding = layout(JpegColor::Grey, 23, 17, false, progressive);
    encoding.arithmetic = true;
    const Bytes file = encodeJpeg(encoding);
    if (file.empty()) GTEST_SKIP() << "the installed library cannot encode arithmetic coding";
    ImagePtr image = decodeJpeg(spanOf(file));
    ASSERT_NE(image, nullptr) << "progressive " << progressive;
    expectMatchesReference(*image, decodeJpegReference(file));
  }
}

TEST(JpegReader, RefusesTwoComponents) {
  const Bytes file = encodeJpeg(layout(JpegColor::TwoComponents, 8, 8));
  ASSERT_FALSE(file.empty());
  ASSERT_EQ(decodeJpegReference(file).components, 2);
  EXPECT_EQ(decodeJpeg(spanOf(file)), nullptr);
}

TEST(JpegReader, RefusesAStreamOfTablesOnly) {
  const Bytes file = encodeJpegTablesOnly();
  ASSERT_GE(file.size(), 20u);
  ASSERT_EQ(decodeJpegReference(file).errorCode, JERR_NO_IMAGE);
  const CapturedDecode decoded = decodeCapturingStderr(file);
  EXPECT_EQ(decoded.image, nullptr);
  EXPECT_EQ(decoded.errorOutput, "") << "a fatal error writes nothing";
  EXPECT_EQ(decoded.warnings, "") << "a fatal error writes nothing";
}

struct SizeCase {
  int width;
  int height;
  bool accepted;
};

void PrintTo(const SizeCase& param, std::ostream* out) {
  *out << param.width << "x" << param.height;
}

class JpegSizeTest : public testing::TestWithParam<SizeCase> {};

TEST_P(JpegSizeTest, AcceptsSidesUpTo16384) {
  const SizeCase& param = GetParam();
  const Bytes file = encodeJpeg(layout(JpegColor::Grey, param.width, param.height));
  ASSERT_FALSE(file.empty());
  ImagePtr image = decodeJpeg(spanOf(file));
  if (!param.accepted) {
    EXPECT_EQ(image, nullptr);
    return;
  }
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->width, param.width);
  EXPECT_EQ(image->height, param.height);
}

INSTANTIATE_TEST_SUITE_P(JpegReader, JpegSizeTest,
                         testing::Values(SizeCase{16384, 1, true}, SizeCase{16385, 1, false},
                                         SizeCase{1, 16384, true}, SizeCase{1, 16385, false}));

// A grey progressive file whose frame header claims side x side pixels and whose last scan is
// repeated extraScans more times: every scan walks all (side / 8)^2 blocks of the frame, so the
// file stays small while the work grows with the scans.
Bytes progressiveWithRepeatedScans(int side, int extraScans) {
  JpegEncoding encoding = layout(JpegColor::Grey, 16, 16);
  encoding.progressive = true;
  const Bytes file = encodeJpeg(encoding);
  const std::size_t frame = findMarker(file, 0xC2);
  std::size_t lastScan = file.size();
  for (std::size_t i = 2; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xDA) lastScan = i;
  }
  const std::size_t end = file.size() - 2;  // the end-of-image marker
  EXPECT_TRUE(frame < file.size() && lastScan < end && file[end] == 0xFF && file[end + 1] == 0xD9);
  Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(end));
  for (int k = 0; k < extraScans; ++k) {
    out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(lastScan),
               file.begin() + static_cast<std::ptrdiff_t>(end));
  }
  out.insert(out.end(), {0xFF, 0xD9});
  // SOF2: marker, length (2), precision (1), height (2), width (2).
  for (const std::size_t at : {frame + 5, frame + 7}) {
    out[at] = static_cast<std::uint8_t>(side >> 8);
    out[at + 1] = static_cast<std::uint8_t>(side & 0xFF);
  }
  return out;
}

struct ScanWorkCase {
  const char* name;
  int side;
  int extraScans;
  bool decodes;
};

void PrintTo(const ScanWorkCase& testCase, std::ostream* out) { *out << testCase.name; }

class JpegScanWorkTest : public testing::TestWithParam<ScanWorkCase> {};

// Scans over the whole frame are budgeted: a normal script and a few hundred repeated scans
// decode (with the library's warning about the odd progression), thousands over a 2048 x 2048
// frame (about 200 million block visits) are refused instead of keeping the library busy.
TEST_P(JpegScanWorkTest, BudgetsTheBlocksAllScansVisit) {
  const ScanWorkCase& c = GetParam();
  const Bytes file = progressiveWithRepeatedScans(c.side, c.extraScans);
  const CapturedDecode decoded = decodeCapturingStderr(file);
  if (!c.decodes) {
    EXPECT_EQ(decoded.image, nullptr);
    return;
  }
  ASSERT_NE(decoded.image, nullptr);
  EXPECT_EQ(decoded.image->width, c.side);
  EXPECT_EQ(decoded.image->height, c.side);
}

INSTANTIATE_TEST_SUITE_P(JpegReader, JpegScanWorkTest,
                         testing::Values(ScanWorkCase{"NormalScriptOnLargeFrame", 4096, 0, true},
                                         ScanWorkCase{"FiveHundredExtraScans", 2048, 500, true},
                                         ScanWorkCase{"FourThousandExtraScans", 2048, 4000, false}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// The warning is the line the library's own output prints, held in the report, never printed;
// without a report it goes nowhere.
TEST(JpegReader, CutInsideScanDataGivesAFullSizePictureAndOneWarning) {
  JpegEncoding encoding = layout(JpegColor::Rgb, 64, 48, true);
  encoding.noise = true;
  const Bytes whole = encodeJpeg(encoding);
  const std::size_t scanStart = findMarker(whole, 0xDA);
  ASSERT_LT(scanStart + 100, whole.size());
  const Bytes cut = truncated(whole, scanStart + (whole.size() - scanStart) / 2);

  const CapturedDecode decoded = decodeCapturingStderr(cut);
  ASSERT_NE(decoded.image, nullptr);
  EXPECT_EQ(decoded.errorOutput, "");
  EXPECT_EQ(decoded.warnings, "Premature end of JPEG file\n");
  testing::internal::CaptureStderr();
  EXPECT_NE(decodeJpeg(spanOf(cut)), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(decoded.image->width, 64);
  EXPECT_EQ(decoded.image->height, 48);
  const JpegReference reference = decodeJpegReference(cut);
  EXPECT_GE(reference.warnings, 1);
  expectMatchesReference(*decoded.image, reference);
}

TEST(JpegReader, NineteenBytesNeverReachTheLibrary) {
  const Bytes whole = encodeJpeg(layout(JpegColor::Grey, 8, 8));
  const std::uint8_t sentinel = 0;
  jpegInputCursor = {&sentinel, -7};
  const CapturedDecode decoded = decodeCapturingStderr(truncated(whole, 19));
  EXPECT_EQ(decoded.image, nullptr);
  EXPECT_EQ(jpegInputCursor.next, &sentinel);
  EXPECT_EQ(jpegInputCursor.remaining, -7);
  EXPECT_EQ(decoded.errorOutput, "");
  EXPECT_EQ(decoded.warnings, "");
}

TEST(JpegReader, TwentyBytesReachTheLibraryAndFail) {
  const Bytes twenty = truncated(encodeJpeg(layout(JpegColor::Grey, 8, 8)), 20);
  jpegInputCursor = {nullptr, -7};
  const CapturedDecode decoded = decodeCapturingStderr(twenty);
  EXPECT_EQ(decoded.image, nullptr);
  EXPECT_EQ(jpegInputCursor.next, twenty.data() + 20) << "the library read the whole file";
  EXPECT_EQ(jpegInputCursor.remaining, 0);
}

TEST(JpegReader, RefusesAFileStartingFfD8Fe) {
  Bytes file = encodeJpeg(layout(JpegColor::Grey, 8, 8));
  ASSERT_NE(decodeJpeg(spanOf(file)), nullptr);
  file[2] = 0xFE;
  jpegInputCursor = {nullptr, -7};
  EXPECT_EQ(decodeJpeg(spanOf(file)), nullptr);
  EXPECT_EQ(jpegInputCursor.remaining, -7) << "the library was not started";
}

// A 16 x 16 progressive file (three components, none subsampled) whose frame header claims
// side x side.
Bytes progressiveClaiming(unsigned side) {
  Bytes file = encodeJpeg(layout(JpegColor::Rgb, 16, 16, false, true));
  const std::size_t frame = findMarker(file, 0xC2);  // progressive frame header
  if (frame + 9 >= file.size()) return {};
  for (const std::size_t field : {frame + 5, frame + 7}) {  // height, width
    file[field] = static_cast<std::uint8_t>(side >> 8);
    file[field + 1] = static_cast<std::uint8_t>(side & 0xFF);
  }
  return file;
}

// At 16384 x 16384 the library's own arrays would hold 1.5 GiB of coefficients, all cleared
// before use; the reader's arrays stay untouched where no scan wrote, so the picture is most of
// what becomes resident. The pixels are the library's, checked at a smaller claimed size.
TEST(JpegReader, SmallProgressiveFileClaimingTheLargestSizeCostsAboutThePicture) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows keeps one peak of resident memory per process and cannot reset it";
#endif
  const Bytes smaller = progressiveClaiming(1024);
  ASSERT_FALSE(smaller.empty());
  const JpegReference reference = decodeJpegReference(smaller);
  ASSERT_EQ(reference.width, 1024);
  const CapturedDecode decodedSmaller = decodeCapturingStderr(smaller);
  ASSERT_NE(decodedSmaller.image, nullptr);
  expectMatchesReference(*decodedSmaller.image, reference);

  const Bytes largest = progressiveClaiming(16384);
  ASSERT_TRUE(resetPeakResident()) << "the peak of resident memory cannot be reset";
  const std::size_t before = peakResidentBytes();
  const CapturedDecode decoded = decodeCapturingStderr(largest);
  const std::size_t after = peakResidentBytes();
  ASSERT_NE(decoded.image, nullptr);
  ASSERT_EQ(decoded.image->width, 16384);
  const std::size_t pictureBytes = decoded.image->pixelBytes();
  EXPECT_LT(after, before + pictureBytes + pictureBytes / 4 + (std::size_t{64} << 20));
}

// Progressive pictures 16384 pixels wide whose coefficient arrays take just under and just over
// 16 MiB (three components at full size: 21 and 22 block rows), the smallest frames the reader
// still leaves to the library's own arrays and the largest it keeps in its own; each decodes to
// the library's pixels, subsampled or not, smooth or noisy.
TEST(JpegReader, ProgressiveFramesAroundTheOwnArraysSizeDecodeAsTheLibraryDoes) {
  for (const int height : {168, 176}) {
    for (const bool subsampled : {false, true}) {
      JpegEncoding encoding = layout(JpegColor::Rgb, 16384, height, subsampled, true);
      encoding.noise = subsampled;
      const Bytes file = encodeJpeg(encoding);
      ASSERT_FALSE(file.empty());
      const JpegReference reference = decodeJpegReference(file);
      const CapturedDecode decoded = decodeCapturingStderr(file);
      ASSERT_NE(decoded.image, nullptr) << height << " rows, subsampled " << subsampled;
      EXPECT_EQ(decoded.warnings, "");
      expectMatchesReference(*decoded.image, reference);
    }
  }
}

// Zeroed memory that takes no room until written: the address space for a file of 2 GiB.
void* mapZeroedBytes(std::size_t bytes) {
#ifdef _WIN32
  return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
  void* mapping = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return mapping == MAP_FAILED ? nullptr : mapping;
#endif
}

void unmapBytes(void* mapping, std::size_t bytes) {
#ifdef _WIN32
  static_cast<void>(bytes);
  ::VirtualFree(mapping, 0, MEM_RELEASE);
#else
  munmap(mapping, bytes);
#endif
}

TEST(JpegReader, RefusesSizesAboveTheSigned32BitRange) {
  const Bytes file = encodeJpeg(layout(JpegColor::Grey, 8, 8));
  const std::size_t mappedBytes = std::size_t{std::numeric_limits<std::int32_t>::max()} + 1;
  void* mapping = mapZeroedBytes(mappedBytes);
  if (mapping == nullptr) GTEST_SKIP() << "cannot reserve 2 GiB of address space";
  auto* bytes = static_cast<std::uint8_t*>(mapping);
  std::memcpy(bytes, file.data(), file.size());
  jpegInputCursor = {nullptr, -7};
  EXPECT_EQ(decodeJpeg(ByteSpan(bytes, mappedBytes)), nullptr);
  EXPECT_EQ(jpegInputCursor.remaining, -7) << "the library was not started";
  EXPECT_NE(decodeJpeg(ByteSpan(bytes, mappedBytes - 1)), nullptr) << "2^31 - 1 bytes are taken";
  unmapBytes(mapping, mappedBytes);
}

// Records the size of every chunk the memory source hands to the library.
std::vector<std::size_t> chunkLog;
boolean (*memorySourceFill)(j_decompress_ptr) = nullptr;

boolean recordingFill(j_decompress_ptr cinfo) {
  const boolean result = memorySourceFill(cinfo);
  chunkLog.push_back(cinfo->src->bytes_in_buffer);
  return result;
}

void installRecordingSource(jpeg_decompress_struct* cinfo) {
  installJpegMemorySource(cinfo);
  memorySourceFill = cinfo->src->fill_input_buffer;
  cinfo->src->fill_input_buffer = recordingFill;
}

// Runs the library on bytes through the reader's memory source, logging the chunks.
JpegReference decodeThroughMemorySource(const Bytes& bytes) {
  chunkLog.clear();
  chunkLog.reserve(64);
  jpegInputCursor = {bytes.data(), static_cast<std::int32_t>(bytes.size())};
  return decodeJpegReference(bytes, installRecordingSource);
}

// A noisy picture padded with a comment segment to exactly `size` bytes.
Bytes fileOfSize(std::size_t size) {
  JpegEncoding encoding = layout(JpegColor::Rgb, 48, 48);
  encoding.noise = true;
  const Bytes plain = encodeJpeg(encoding);
  if (plain.size() + 4 > size) return {};
  return withComment(plain, size - plain.size() - 4);
}

TEST(JpegMemorySource, HandsA10000ByteFileOverInOneFill) {
  const Bytes file = fileOfSize(10000);
  ASSERT_EQ(file.size(), 10000u);
  const JpegReference reference = decodeThroughMemorySource(file);
  ASSERT_TRUE(reference.rowsDecoded);
  EXPECT_FALSE(reference.finishFailed);
  EXPECT_EQ(chunkLog, (std::vector<std::size_t>{10000}));
  EXPECT_EQ(reference.warnings, 0);
  expectMatchesReference(*decodeJpeg(spanOf(file)), decodeJpegReference(file));
}

TEST(JpegMemorySource, CompleteFileIsNeverAskedForMore) {
  const Bytes file = fileOfSize(10000);
  const CapturedDecode decoded = decodeCapturingStderr(file);
  ASSERT_NE(decoded.image, nullptr);
  EXPECT_EQ(decoded.errorOutput, "") << "a fill past the end would warn";
  EXPECT_EQ(decoded.warnings, "") << "a fill past the end would warn";
  EXPECT_EQ(jpegInputCursor.next, file.data() + file.size());
  EXPECT_EQ(jpegInputCursor.remaining, 0);
}

TEST(JpegMemorySource, AfterTheEndEveryFillIsAnEndOfImageMarker) {
  const Bytes whole = fileOfSize(10000);
  const std::size_t scanStart = findMarker(whole, 0xDA);
  const Bytes cut = truncated(whole, scanStart + 40);
  const JpegReference reference = decodeThroughMemorySource(cut);
  ASSERT_TRUE(reference.rowsDecoded);
  std::size_t handedOver = 0;
  std::size_t i = 0;
  while (i < chunkLog.size() && handedOver < cut.size()) handedOver += chunkLog[i++];
  EXPECT_EQ(handedOver, cut.size());
  ASSERT_LT(i, chunkLog.size()) << "the library asked past the end";
  for (; i < chunkLog.size(); ++i) EXPECT_EQ(chunkLog[i], 2u);
  EXPECT_GE(reference.warnings, 1);
}

TEST(JpegMemorySource, AnEmptyFirstFillIsTheFatalEmptyInputError) {
  const Bytes none;
  chunkLog.clear();
  jpegInputCursor = {none.data(), 0};
  const JpegReference reference = decodeJpegReference(none, installRecordingSource);
  EXPECT_FALSE(reference.rowsDecoded);
  EXPECT_EQ(reference.errorCode, JERR_INPUT_EMPTY);
}

TEST(JpegMemorySource, SkipsASegmentLongerThanTwoChunks) {
  const Bytes plain = encodeJpeg(layout(JpegColor::Rgb, 24, 16));
  const Bytes commented = withComment(plain, 9000);
  ImagePtr image = decodeJpeg(spanOf(commented));
  ASSERT_NE(image, nullptr);
  expectMatchesReference(*image, decodeJpegReference(plain));
}

TEST(JpegReader, RefusesAFileCutInsideASkippedSegment) {
  const Bytes commented = withComment(encodeJpeg(layout(JpegColor::Rgb, 24, 16)), 9000);
  const CapturedDecode decoded = decodeCapturingStderr(truncated(commented, 6000));
  EXPECT_EQ(decoded.image, nullptr);
  EXPECT_EQ(decoded.errorOutput, "");
  EXPECT_EQ(decoded.warnings, "Premature end of JPEG file\n");
}

TEST(JpegReader, FatalErrorWhileFinishingKeepsThePicture) {
  const Bytes plain = encodeJpeg(layout(JpegColor::Grey, 16, 16));
  const std::size_t frameStart = findMarker(plain, 0xC0);
  ASSERT_LT(frameStart + 4, plain.size());
  const std::size_t frameBytes =
      2u + (std::size_t{plain[frameStart + 2]} << 8) + plain[frameStart + 3];
  // A second frame header between the scan and the end-of-image marker: read only while finishing.
  Bytes broken(plain.begin(), plain.end() - 2);
  broken.insert(broken.end(), plain.begin() + static_cast<std::ptrdiff_t>(frameStart),
                plain.begin() + static_cast<std::ptrdiff_t>(frameStart + frameBytes));
  broken.insert(broken.end(), {0xFF, 0xD9});
  const JpegReference reference = decodeJpegReference(broken);
  ASSERT_TRUE(reference.rowsDecoded);
  ASSERT_TRUE(reference.finishFailed);

  const CapturedDecode decoded = decodeCapturingStderr(broken);
  ASSERT_NE(decoded.image, nullptr);
  EXPECT_EQ(decoded.errorOutput, "");
  EXPECT_EQ(decoded.warnings, "");
  expectMatchesReference(*decoded.image, decodeJpegReference(plain));
}

TEST(JpegReader, ReturnsNullWhenThePictureCannotBeAllocated) {
  const Bytes file = encodeJpeg(layout(JpegColor::Cmyk, 8, 8));
  failAllocationsAfter(0);
  ImagePtr image = decodeJpeg(spanOf(file));
  failAllocationsAfter(-1);
  EXPECT_EQ(image, nullptr);
  EXPECT_NE(decodeJpeg(spanOf(file)), nullptr);
}

TEST(JpegReader, DecodeImageReachesTheJpegReader) {
  for (JpegColor color : {JpegColor::Grey, JpegColor::Rgb, JpegColor::Cmyk}) {
    const Bytes file = encodeJpeg(layout(color, 12, 10, color == JpegColor::Rgb));
    ImagePtr image = decodeImage(spanOf(file));
    ASSERT_NE(image, nullptr);
    expectMatchesReference(*image, decodeJpegReference(file));
  }
}

TEST(JpegReader, ConvertsInOneBatchWithBmpAndTgaPictures) {
  const Bytes jpegFile = encodeJpeg(layout(JpegColor::Rgb, 12, 10, true));
  const JpegReference reference = decodeJpegReference(jpegFile);
  ScratchFolder folder(true);
  std::filesystem::create_directory("img");
  writeFile("img/a.bmp", buildBmp(BmpFields{}));
  TgaFields tga;
  tga.width = 5;
  tga.height = 4;
  writeFile("img/b.tga", buildTga(tga, tgaTestPixels(5, 4, 3)));
  writeFile("img/c.jpg", jpegFile);

  const ProcessResult run = runConverterHere();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, withNativeSeparators("File bmp/a.bmp generated OK, size: 4x4/24\n"
                                             "File bmp/b.bmp generated OK, size: 5x4/24\n"
                                             "File bmp/c.bmp generated OK, size: 12x10/24\n"
                                             "OK\n"));

  // The bottom-left pixel of the output is the library's bottom-left pixel as B,G,R.
  const Bytes output = readFile("bmp/c.bmp");
  ASSERT_GE(output.size(), 54u + 16u * 16u * 3u);
  const std::uint8_t* bottomLeft = reference.samples.data() + 9 * 12 * 3;
  EXPECT_EQ(output[54], bottomLeft[2]);
  EXPECT_EQ(output[55], bottomLeft[1]);
  EXPECT_EQ(output[56], bottomLeft[0]);
}

}  // namespace
