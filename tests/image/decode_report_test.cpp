// Decode reports: one refused file per reason, each with the reason and format the reader chain
// gives for it; the pictures of good files with the reader that made them; running out of
// memory at every allocation; and the reasons of loading the file itself.

#include <gtest/gtest.h>
#include <jerror.h>
#include <jpeglib.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/heap.h"
#include "image/loader.h"
#include "support/bmp_builder.h"
#include "support/deflate_bits.h"
#include "support/jpeg_oracle.h"
#include "support/png_writer.h"
#include "support/tga_writer.h"

namespace {

namespace fs = std::filesystem;

ByteSpan spanOf(const Bytes& bytes) { return ByteSpan(bytes.data(), bytes.size()); }

Bytes withLe32(Bytes bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i)
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

Bytes prefix(const Bytes& bytes, std::size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

// The library's own text for a message code.
std::string jpegLibraryMessage(int code) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  errors.msg_code = code;
  char text[JMSG_LENGTH_MAX];
  errors.format_message(reinterpret_cast<j_common_ptr>(&cinfo), text);
  return text;
}

struct Refused {
  const char* name;
  Bytes bytes;
  ImageFormat format;
  std::string reason;
};

constexpr ImageFormat kBmp = ImageFormat::bmp;
constexpr ImageFormat kTga = ImageFormat::tga;
constexpr ImageFormat kPng = ImageFormat::png;
constexpr ImageFormat kJpeg = ImageFormat::jpeg;
constexpr ImageFormat kNone = ImageFormat::none;

std::vector<Refused> refusedFiles() {
  const Bytes bmp = buildBmp({.width = 4, .height = 4});  // rows of 12 bytes

  // PNG files: signature, a 100-byte filler (so every chunk after it starts at 108 or later),
  // then the chunks of each case. The picture data of a 4x4 RGB picture is 4 rows of 13 bytes.
  const Bytes rows = pngScanlines(makePngPicture(4, 4, 8, 2, false, 1));
  const Bytes header = pngChunk("IHDR", pngHeaderData(4, 4, 8, 2));
  const Bytes end = pngChunk("IEND", {});
  const Bytes stream = zlibCompress(rows);
  const auto png = [&](std::initializer_list<Bytes> chunks) {
    return joinBytes({pngSignature(), pngFillerChunk(100), joinBytes(chunks)});
  };
  const auto idat = [](const Bytes& data) { return pngChunk("IDAT", data); };
  // A zlib stream of one stored block of the first `stored` bytes of rows, whose LEN claims
  // `claimed` bytes (bytes 3..6 LEN and NLEN, data from byte 7), then `tail`.
  const auto storedStream = [&](std::uint16_t stored, std::uint16_t claimed, bool final,
                                const Bytes& tail) {
    Bytes out = {0x78,
                 0x01,
                 static_cast<std::uint8_t>(final ? 1 : 0),
                 static_cast<std::uint8_t>(claimed),
                 static_cast<std::uint8_t>(claimed >> 8),
                 static_cast<std::uint8_t>(~claimed),
                 static_cast<std::uint8_t>(~claimed >> 8)};
    return joinBytes({out, prefix(rows, stored), tail});
  };
  const Bytes lostFinalData = prefix(rows, 23);
  const std::uint32_t lostFinalAdler = adler32Of(lostFinalData);
  EXPECT_EQ(lostFinalAdler >> 24 & 6, 0u) << "the Adler-32 reads as a stored block header";
  const Bytes lostFinal = storedStream(
      23, 23, false,
      {static_cast<std::uint8_t>(lostFinalAdler >> 24),
       static_cast<std::uint8_t>(lostFinalAdler >> 16),
       static_cast<std::uint8_t>(lostFinalAdler >> 8), static_cast<std::uint8_t>(lostFinalAdler)});
  const Bytes truncatedPng = prefix(png({header, idat(stream), end}), 133 + 10);
  PngPicture filtered = makePngPicture(4, 4, 8, 2, false, 1);
  filtered.filters = {5};

  const Bytes pixels = tgaTestPixels(2, 2, 3);
  const Bytes twoComponents =
      encodeJpeg({.width = 8, .height = 8, .color = JpegColor::TwoComponents});
  const Bytes tooWide = encodeJpeg({.width = 20000, .height = 1});
  Bytes jpegNoMarker(30, 0);
  jpegNoMarker[0] = 0xFF;
  jpegNoMarker[1] = 0xD8;
  Bytes jpegShort(13, 0);
  jpegShort[0] = 0xFF;
  jpegShort[1] = 0xD8;
  jpegShort[2] = 0xFF;
  const std::string toSave = " is not converted: save it as 24- or 32-bit BMP";
  const std::string tgaSave = " is not converted: save it as 24- or 32-bit true-colour TGA";

  return {
      {"BmpHeaderCut", prefix(bmp, 30), kBmp,
       "BMP file cut short: 30 bytes, its headers alone take 54"},
      {"BmpDataOffset", withLe32(bmp, 10, 6000), kBmp,
       "BMP pixel data offset 6000 is outside 54..5054 (damaged header)"},
      {"BmpFileCut", buildBmp({.width = 4, .height = 4, .fileSizeDelta = 100}), kBmp,
       "BMP file cut short: its header gives 202 bytes, the file holds 102"},
      // A size field that leaves out the info header, on a file cut three bytes short of its
      // rows: the rows the file holds are counted, not those the field gives.
      {"BmpCutWithShortSizeField", prefix(withLe32(bmp, 2, 62), 99), kBmp,
       "BMP file cut short: 4 rows of 12 bytes need 48 bytes, it holds 45"},
      {"BmpTenBytes", buildBmp({.width = 1, .height = 2}), kBmp,
       "BMP pixel data of 8 bytes is under the 10 bytes a BMP file must hold"},
      {"BmpWidth", withLe32(bmp, 18, 20000), kBmp, "BMP width 20000 is outside 1..16384"},
      {"BmpHeight", withLe32(bmp, 22, 0), kBmp, "BMP height 0 is outside 1..16384"},
      {"BmpPalette", buildBmp({.width = 4, .height = 4, .bitsPerPixel = 8}), kBmp,
       "8-bit palette BMP is not converted without --expand"},
      {"Bmp16Bit", buildBmp({.width = 4, .height = 4, .bitsPerPixel = 16}), kBmp,
       "16-bit BMP is not converted without --expand"},
      {"Bmp64Bit", buildBmp({.width = 4, .height = 4, .bitsPerPixel = 64}), kBmp,
       "BMP with 64 bits per pixel" + toSave},
      {"BmpPlanes", buildBmp({.width = 4, .height = 4, .planes = 2}), kBmp,
       "BMP planes field is 2, not 1 (damaged header)"},
      {"BmpCompressed", buildBmp({.width = 4, .height = 4, .bitsPerPixel = 32, .compression = 3}),
       kBmp,
       "BMP compressed (bit fields) is not converted: save it as uncompressed 24- or 32-bit BMP"},
      {"BmpRowsCut", withLe32(bmp, 22, 8), kBmp,
       "BMP file cut short: 8 rows of 12 bytes need 96 bytes, it holds 48"},

      {"TgaNoData", buildTga({}, {}), kTga, "TGA file cut short: no pixel data after the header"},
      {"TgaColourMapped",
       buildTga({.colourMapType = 1, .imageType = 1, .colourMapLength = 2, .pixelDepth = 8},
                Bytes(10, 0)),
       kTga, "TGA colour-mapped picture" + tgaSave},
      {"TgaGrey", buildTga({.imageType = 3, .pixelDepth = 8}, Bytes(4, 0)), kTga,
       "TGA greyscale picture is not converted without --expand"},
      {"TgaWidth", buildTga({.width = 20000}, pixels), kTga, "TGA width 20000 is outside 1..16384"},
      {"Tga16Bit", buildTga({.pixelDepth = 16}, Bytes(8, 0)), kTga,
       "TGA with 16 bits per pixel is not converted without --expand"},
      {"TgaDataCut", buildTga({}, prefix(pixels, 5)), kTga,
       "TGA file cut short: 5 bytes of pixel data, the picture needs 12"},

      {"PngUnder100Bytes", joinBytes({pngSignature(), header, end}), kPng,
       "PNG file of 45 bytes: files under 100 bytes are not read"},
      {"PngChunkLength", png({Bytes{0x80, 0, 0, 0, 'I', 'D', 'A', 'T'}}), kPng,
       "chunk at offset 108: length 2147483648 is above 2^31 - 1 (damaged file)"},
      {"PngChunkCut", truncatedPng, kPng, "PNG file cut short inside chunk IDAT at offset 133"},
      {"PngCrc", png({header, pngChunk("IDAT", stream, 1), end}), kPng,
       "chunk IDAT at offset 133: CRC mismatch"},
      {"PngNoEnd", png({header, idat(stream)}), kPng,
       "PNG file cut short: it ends after chunk IDAT, before IEND"},
      {"PngHeaderShort", png({pngChunk("IHDR", Bytes(12, 0)), idat(stream), end}), kPng,
       "IHDR chunk of 12 bytes is shorter than 13 (damaged file)"},
      {"Png16Bit", buildPng(makePngPicture(4, 4, 16, 2, false, 1)), kPng,
       "16-bit PNG is not converted without --expand"},
      {"PngDepthAndType", png({pngChunk("IHDR", pngHeaderData(4, 4, 4, 2)), idat(stream), end}),
       kPng, "PNG colour type 2 with bit depth 4 does not exist (damaged header)"},
      {"PngWidth", png({pngChunk("IHDR", pngHeaderData(20000, 4, 8, 2)), idat(stream), end}), kPng,
       "PNG width 20000 is outside 1..16384"},
      {"PngCompressionMethod",
       png({pngChunk("IHDR", pngHeaderData(4, 4, 8, 2, 0, 1)), idat(stream), end}), kPng,
       "PNG compression method 1 is unknown (damaged header)"},
      {"PngPaletteSize",
       png({pngChunk("IHDR", pngHeaderData(4, 4, 1, 3)), pngChunk("PLTE", pngPaletteData(3)),
            idat(stream), end}),
       kPng, "PLTE chunk of 9 bytes is no palette of up to 2 colours (damaged file)"},
      {"PngNoHeader", png({idat(stream), end}), kPng,
       "PNG without an IHDR chunk before IEND (damaged file)"},
      {"PngNoData", png({header, end}), kPng,
       "PNG without picture data: no IDAT chunk before IEND (damaged file)"},
      {"PngNoPalette", png({pngChunk("IHDR", pngHeaderData(4, 4, 8, 3)), idat(stream), end}), kPng,
       "PNG palette picture without a PLTE chunk (damaged file)"},
      {"PngDataTooShort",
       png({pngChunk("IHDR", pngHeaderData(16384, 16384, 8, 2)), idat(stream), end}), kPng,
       "picture data of " + std::to_string(stream.size()) +
           " bytes is too short for a 16384x16384 picture (damaged file)"},
      {"PngZlibHeader", png({header, idat(Bytes(20, 0)), end}), kPng,
       "picture data does not start with a zlib header (damaged file)"},
      // Two rows in a stored block, then a block header of the reserved type at byte 33.
      {"PngZlibDamaged", png({header, idat(storedStream(26, 26, false, {0x07})), end}), kPng,
       "zlib data damaged at byte 33 of the picture data"},
      {"PngZlibCut", png({header, idat(storedStream(30, 52, true, {})), end}), kPng,
       "zlib data damaged or cut short: it fails at byte 37, the end of the picture data"},
      // A block not marked final, then the Adler-32 of its bytes, whose first bits read as the
      // header of a stored block cut short: the stream fails at its end, it does not end there.
      {"PngZlibNoFinalBlock", png({header, idat(lostFinal), end}), kPng,
       "zlib data damaged or cut short: it fails at byte 34, the end of the picture data"},
      {"PngZlibEndsEarly", png({header, idat(zlibCompress(prefix(rows, 26))), end}), kPng,
       "zlib data ends before the last row of the 4x4 picture (damaged file)"},
      {"PngFilterType", buildPng(filtered), kPng,
       "PNG row with a filter type above 4 (damaged file)"},
      {"PngPalette", buildPng(makePngPicture(4, 4, 8, 3, false, 1)), kPng,
       "palette PNG is not converted without --expand"},
      {"PngGrey", buildPng(makePngPicture(4, 4, 8, 0, false, 1)), kPng,
       "greyscale PNG is not converted without --expand"},
      {"PngGreyAlpha", buildPng(makePngPicture(4, 4, 8, 4, false, 1)), kPng,
       "greyscale PNG with alpha is not converted without --expand"},

      {"JpegCut", jpegShort, kJpeg, "JPEG file cut short: 13 bytes"},
      {"JpegNoMarker", jpegNoMarker, kJpeg, "JPEG without a marker after its start (damaged file)"},
      {"JpegLibraryError", encodeJpegTablesOnly(), kJpeg,
       "JPEG: " + jpegLibraryMessage(JERR_NO_IMAGE)},
      {"JpegComponents", twoComponents, kJpeg,
       "JPEG with 2 colour components is not converted: save it as colour or greyscale JPEG"},
      {"JpegWidth", tooWide, kJpeg, "JPEG width 20000 is outside 1..16384"},

      {"Empty", {}, kNone, "file is empty"},
      {"Gif",
       {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0},
       kNone,
       "GIF file is not converted: save it as BMP, TGA, PNG or JPEG"},
      {"Text", Bytes(200, 'x'), kNone, "not a BMP, TGA, PNG or JPEG file"},
      // An icon header whose bytes also pass for a colour-mapped TGA header: the signature wins.
      {"IconOverTga",
       joinBytes({{0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 1, 1, 8, 0}, Bytes(40, 0)}), kNone,
       "ICO file is not converted: save it as BMP, TGA, PNG or JPEG"},
  };
}

TEST(DecodeReport, GivesEachRefusedFileItsReason) {
  for (const Refused& file : refusedFiles()) {
    SCOPED_TRACE(file.name);
    DecodeReport report;
    EXPECT_FALSE(decodeImage(spanOf(file.bytes), &report));
    EXPECT_FALSE(decodeImage(spanOf(file.bytes))) << "the same verdict without a report";
    EXPECT_EQ(report.format, file.format);
    EXPECT_EQ(std::string(report.reason), file.reason);
  }
}

TEST(DecodeReport, NamesTheOtherFormatsBySignature) {
  const std::vector<std::pair<Bytes, std::string>> files = {
      {{'R', 'I', 'F', 'F', 9, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', ' '}, "WebP"},
      {{'I', 'I', '*', 0, 8, 0, 0, 0}, "TIFF"},
      {{'D', 'D', 'S', ' ', 124, 0, 0, 0}, "DDS"},
      {{'8', 'B', 'P', 'S', 0, 1}, "PSD"},
      {{0xAB, 'K', 'T', 'X', ' ', '1', '1', 0xBB}, "KTX"},
      {{0x76, 0x2F, 0x31, 0x01, 2, 0}, "OpenEXR"},
      {{0, 0, 0, 0x1C, 'f', 't', 'y', 'p', 'a', 'v', 'i', 'f'}, "AVIF"},
      {{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c'}, "HEIF"},
      {{'q', 'o', 'i', 'f', 0, 0, 0, 1}, "QOI"},
      {{'P', '6', '\n', '1', ' ', '1', '\n'}, "PNM"},
  };
  for (const auto& [bytes, name] : files) {
    DecodeReport report;
    EXPECT_FALSE(decodeImage(spanOf(bytes), &report));
    EXPECT_EQ(report.format, ImageFormat::none);
    EXPECT_EQ(std::string(report.reason),
              name + " file is not converted: save it as BMP, TGA, PNG or JPEG");
  }
}

TEST(DecodeReport, NamesTheReaderOfEveryPictureAndChangesNoPixel) {
  const std::vector<std::pair<Bytes, ImageFormat>> files = {
      {buildBmp({.width = 5, .height = 3}), ImageFormat::bmp},
      // Complete, its size field short of the 40-byte info header: no "cut short".
      {buildBmp({.width = 9, .height = 6, .fileSizeDelta = -40}), ImageFormat::bmp},
      {buildTga({}, tgaTestPixels(2, 2, 3)), ImageFormat::tga},
      {buildPng(makePngPicture(5, 3, 8, 6, true, 2)), ImageFormat::png},
      {encodeJpeg({.width = 9, .height = 7}), ImageFormat::jpeg},
  };
  const char* const names[] = {"", "BMP", "TGA", "PNG", "JPEG"};
  for (const auto& [bytes, format] : files) {
    DecodeReport report;
    std::strcpy(report.reason, "stale");
    const ImagePtr image = decodeImage(spanOf(bytes), &report);
    const ImagePtr plain = decodeImage(spanOf(bytes));
    ASSERT_TRUE(image && plain);
    EXPECT_EQ(report.format, format);
    EXPECT_STREQ(formatName(report.format), names[static_cast<int>(format)]);
    EXPECT_STREQ(report.reason, "");
    ASSERT_EQ(image->pixelBytes(), plain->pixelBytes());
    EXPECT_EQ(std::memcmp(image->pixels(), plain->pixels(), image->pixelBytes()), 0);
  }
}

TEST(DecodeReport, SaysMemoryRanOutAtEveryAllocation) {
  // Each file with the reason it ends with when memory lasts ("" for a picture).
  const std::vector<std::pair<Bytes, std::string>> files = {
      {buildBmp({.width = 5, .height = 3}), ""},
      {buildTga({}, tgaTestPixels(2, 2, 3)), ""},
      {buildPng(makePngPicture(5, 3, 8, 2, false, 2)), ""},
      {buildPng(makePngPicture(5, 3, 8, 3, true, 2)),
       "palette PNG is not converted without --expand"},
      {encodeJpeg({.width = 9, .height = 7}), ""},
  };
  for (const auto& [bytes, lastReason] : files) {
    for (long allowed = 0;; ++allowed) {
      ASSERT_LT(allowed, 100) << "the decode never got through";
      DecodeReport report;
      failAllocationsAfter(allowed);
      const ImagePtr image = decodeImage(spanOf(bytes), &report);
      failAllocationsAfter(-1);
      if (image || report.reason == lastReason) break;
      EXPECT_STREQ(report.reason, kOutOfMemoryReason) << "after " << allowed << " allocations";
    }
  }
}

class LoadReport : public ::testing::Test {
 protected:
  std::string reasonOf(const fs::path& path, ImageFormat format = ImageFormat::none) {
    DecodeReport report;
    const ImagePtr image = loadImageFile(CountedString::fromText(path.string().c_str()), &report);
    EXPECT_FALSE(image);
    EXPECT_EQ(report.format, format);
    return report.reason;
  }
  ScratchFolder folder_;
};

TEST_F(LoadReport, SaysWhyAFileCannotBeRead) {
  EXPECT_EQ(reasonOf(folder_.path()), "not a regular file");

  const fs::path empty = folder_.path() / "empty.png";
  writeFile(empty, {});
  EXPECT_EQ(reasonOf(empty), "file is empty");

  const fs::path huge = folder_.path() / "huge.bmp";
  writeFile(huge, buildBmp({}));
  fs::resize_file(huge, std::uintmax_t{kMaxInputFileBytes} + 1);
  EXPECT_EQ(reasonOf(huge), "file is 2 GiB or larger");

  const fs::path palette = folder_.path() / "palette.png";
  writeFile(palette, buildPng(makePngPicture(4, 4, 8, 3, false, 1)));
  EXPECT_EQ(reasonOf(palette, ImageFormat::png), "palette PNG is not converted without --expand");
}

}  // namespace
