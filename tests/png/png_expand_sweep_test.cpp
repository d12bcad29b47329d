// Every truncation and every single-bit flip of small PNG files in the layouts only an expanding
// read takes, offered to the reader chain expanding. The signature, the chunk CRCs and the end
// chunk cover every byte, so each damaged file is refused, the same way when asked again; under
// the asan preset a read outside the file ends the test.

#include <gtest/gtest.h>

#include <string>

#include "image/loader.h"
#include "support/png_writer.h"
#include "support/test_files.h"

namespace {

struct SweepFile {
  const char* name;
  std::uint8_t bitDepth;
  std::uint8_t colourType;
  bool interlaced;
  bool alphas;  // palette pictures: a tRNS chunk after PLTE
};

constexpr SweepFile kFiles[] = {
    {"palette2Adam7Alpha", 2, 3, true, true},
    {"palette8", 8, 3, false, false},
    {"grey1", 1, 0, false, false},
    {"grey16Adam7", 16, 0, true, false},
    {"greyAlpha8", 8, 4, false, false},
    {"rgba16Adam7", 16, 6, true, false},
    {"rgb16", 16, 2, false, false},
};

Bytes buildFile(const SweepFile& file) {
  PngPicture picture = makePngPicture(7, 5, file.bitDepth, file.colourType, file.interlaced, 77);
  picture.filters = {1, 4, 2, 3, 0};
  Bytes head = joinBytes(
      {pngSignature(), pngChunk("IHDR", pngHeaderData(7, 5, file.bitDepth, file.colourType,
                                                      file.interlaced ? 1 : 0))});
  if (file.colourType == 3) {
    head = joinBytes({head, pngChunk("PLTE", pngPaletteData(1u << file.bitDepth))});
    if (file.alphas) head = joinBytes({head, pngChunk("tRNS", Bytes{0, 90, 180})});
  }
  return joinBytes({head, pngFillerChunk(40), pngChunk("IDAT", zlibCompress(pngScanlines(picture))),
                    pngChunk("IEND", {})});
}

// Decodes a private copy of exactly the bytes, expanding; true for a picture.
bool decodes(Bytes::const_iterator first, std::size_t length) {
  const Bytes copy(first, first + static_cast<std::ptrdiff_t>(length));
  return decodeImage(ByteSpan(copy.data(), copy.size()), nullptr, true) != nullptr;
}

TEST(PngExpandSweep, EveryCutAndEveryBitFlipIsRefused) {
  for (const SweepFile& each : kFiles) {
    SCOPED_TRACE(each.name);
    const Bytes file = buildFile(each);
    ASSERT_TRUE(decodes(file.begin(), file.size())) << "the untouched file must decode";
    for (std::size_t length = 0; length < file.size(); ++length) {
      EXPECT_FALSE(decodes(file.begin(), length)) << "cut at " << length;
    }
    Bytes mutated = file;
    for (std::size_t offset = 0; offset < file.size(); ++offset) {
      for (unsigned bit = 0; bit < 8; ++bit) {
        mutated[offset] = static_cast<std::uint8_t>(file[offset] ^ (1u << bit));
        EXPECT_FALSE(decodes(mutated.begin(), mutated.size()))
            << "offset " << offset << " bit " << bit;
      }
      mutated[offset] = file[offset];
    }
  }
}

}  // namespace
