// Fuzz target comparing the PNG reader with libpng's classic API (test-only) on 8-bit
// truecolour and truecolour-with-alpha files, and, expanding, on every colour type and depth
// against libpng with the same transformations (palette to RGB with the palette's tRNS as
// alpha, grey to RGB, 16 bits scaled to 8). Expanding, ours also refuses on purpose a palette
// picture whose PLTE or tRNS is out of its place or size (paletteChunkFault), which libpng
// passes over or trims.
//
// When both decode a file, the pictures must match: same size and channel count, our rows
// bottom-up in B,G,R(,A) order against libpng's rows top-down in R,G,B(,A). When only libpng
// decodes it, the file must show one of the refusals our reader makes on purpose (listed in
// deliberateRefusal: any CRC error, files under 100 bytes, sides over 16384, a zlib stream that
// zlib itself cannot take past the picture's last byte); otherwise ours refused a picture
// libpng decodes, which is a finding. When only ours decodes it, the file must show one of the
// chunk-layout liberties our reader takes and libpng does not (listed in layoutLiberty), a
// fault after the picture's scanline bytes in the zlib stream (faultAfterPicture), or an
// incomplete Huffman code set, which ours takes and zlib refuses (incompleteCodeSet); otherwise
// ours took image data libpng refused, which is a finding. Under libFuzzer the PNG mutator
// (png_mutator.h) keeps chunk CRCs right.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/byte_io.h"
#include "fuzz/fuzz_checks.h"
#include "fuzz/png_mutator.h"
#include "png/png_reader.h"
#include "support/libpng_read.h"
#include "support/png_oracle.h"

namespace {

constexpr std::size_t kPngSignatureBytes = 8;
constexpr std::uint32_t kLibpngChunkLimit = 8'000'000;  // libpng's default chunk allocation cap

bool isLetter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool typeIs(ByteSpan bytes, std::size_t offset, const char* name) {
  return std::memcmp(bytes.data() + offset, name, 4) == 0;
}

// True when the chunk sequence up to IEND has a feature our reader passes over and libpng
// treats as an error: IHDR not first, repeated or not 13 bytes; a type byte that is no letter;
// an unknown critical chunk; a repeated PLTE, a PLTE after IDAT or one whose length is no
// multiple of 3 in 1..256 entries; IDAT chunks with other chunks between them; a chunk over
// libpng's size cap; a zlib header announcing a window under 32768 bytes (libpng decodes row by
// row with the announced window, so a distance beyond it fails there and not here).
bool layoutLiberty(ByteSpan bytes) {
  std::size_t offset = kPngSignatureBytes;
  int headers = 0;
  int palettes = 0;
  bool seenData = false;
  bool dataEnded = false;
  bool first = true;
  while (holds(bytes, offset, 12)) {
    const std::uint32_t length = readBe32(bytes, offset);
    const std::size_t type = offset + 4;
    if (length > kLibpngChunkLimit) return true;
    for (std::size_t i = 0; i < 4; ++i) {
      if (!isLetter(bytes[type + i])) return true;
    }
    const bool isHeader = typeIs(bytes, type, "IHDR");
    const bool isPalette = typeIs(bytes, type, "PLTE");
    const bool isData = typeIs(bytes, type, "IDAT");
    const bool isEnd = typeIs(bytes, type, "IEND");
    if (first && !isHeader) return true;
    first = false;
    if (isHeader && (++headers > 1 || length != 13)) return true;
    if (isPalette &&
        (++palettes > 1 || seenData || length % 3 != 0 || length == 0 || length > 768)) {
      return true;
    }
    if ((bytes[type] & 0x20) == 0 && !isHeader && !isPalette && !isData && !isEnd) return true;
    if (isData) {
      if (dataEnded) return true;
      if (!seenData && length >= 1 && holds(bytes, type + 4, 1) && (bytes[type + 4] >> 4) < 7) {
        return true;  // CINFO of the zlib header, when the first IDAT holds it
      }
      if (!seenData && length == 0) return true;  // the zlib header sits in a later IDAT
      seenData = true;
    } else if (seenData) {
      dataEnded = true;
    }
    if (isEnd) return false;
    if (!holds(bytes, offset + 8, std::size_t{length} + 4)) return false;
    offset += 12 + std::size_t{length};
  }
  return false;
}

// The scanline bytes (filter bytes included) of a picture of the given bits per pixel.
std::uint64_t scanlineBytes(std::uint64_t width, std::uint64_t height, std::uint64_t pixelBits,
                            bool interlaced) {
  if (!interlaced) return height * (1 + (width * pixelBits + 7) / 8);
  struct Pass {
    std::uint64_t x0, y0, dx, dy;
  };
  constexpr Pass kPasses[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                               {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  std::uint64_t total = 0;
  for (const Pass& pass : kPasses) {
    const std::uint64_t columns = width > pass.x0 ? (width - pass.x0 + pass.dx - 1) / pass.dx : 0;
    const std::uint64_t rows = height > pass.y0 ? (height - pass.y0 + pass.dy - 1) / pass.dy : 0;
    if (columns != 0 && rows != 0) total += rows * (1 + (columns * pixelBits + 7) / 8);
  }
  return total;
}

// How zlib takes the IDAT data joined up, asked for exactly the scanline bytes of the picture
// the (last) IHDR describes, as our reader asks.
enum class PictureStream {
  kNoPicture,   // no usable IHDR, or a picture too large to try
  kIncomplete,  // zlib yields fewer bytes
  kClean,       // all the bytes, and zlib stops for lack of room with input left, or at the end
  kFaultAfter,  // all the bytes, then zlib fails or runs out of input before the stream ends
};

// zlib's words when it fails the stream, or null (refusedSet below reads them).
// Expanding, the picture's own colour type and depth give the bits of a pixel; otherwise the 8-bit
// RGB or RGBA our reader decodes.
PictureStream inflatePicture(ByteSpan bytes, bool expand, const char** zlibMessage = nullptr) {
  std::size_t offset = kPngSignatureBytes;
  std::vector<std::uint8_t> stream;
  std::uint64_t needed = 0;
  while (holds(bytes, offset, 12)) {
    const std::uint32_t length = readBe32(bytes, offset);
    if (!holds(bytes, offset + 8, std::size_t{length} + 4)) break;
    const std::uint8_t* chunkData = bytes.data() + offset + 8;
    if (typeIs(bytes, offset + 4, "IHDR") && length >= 13) {
      std::uint64_t pixelBits = chunkData[9] == 6 ? 32 : 24;
      if (expand) {
        const std::uint8_t type = chunkData[9];
        const std::uint64_t channels = type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
        pixelBits = channels * chunkData[8];
      }
      needed = scanlineBytes(readBe32(bytes, offset + 8), readBe32(bytes, offset + 12), pixelBits,
                             chunkData[12] == 1);
    } else if (typeIs(bytes, offset + 4, "IDAT")) {
      stream.insert(stream.end(), chunkData, chunkData + length);
    } else if (typeIs(bytes, offset + 4, "IEND")) {
      break;
    }
    offset += 12 + std::size_t{length};
  }
  if (needed == 0 || needed > kMaxFuzzPixels * 5) return PictureStream::kNoPicture;
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(needed));
  z_stream zlib{};
  if (inflateInit(&zlib) != Z_OK) return PictureStream::kNoPicture;
  zlib.next_in = stream.data();
  zlib.avail_in = static_cast<uInt>(stream.size());
  zlib.next_out = raw.data();
  zlib.avail_out = static_cast<uInt>(raw.size());
  int status = Z_OK;
  while (status == Z_OK && zlib.avail_out != 0) status = ::inflate(&zlib, Z_SYNC_FLUSH);
  const bool complete = zlib.avail_out == 0;
  const bool clean = status == Z_STREAM_END || (status == Z_OK && zlib.avail_in != 0);
  if (zlibMessage != nullptr) *zlibMessage = status == Z_DATA_ERROR ? zlib.msg : nullptr;
  inflateEnd(&zlib);
  if (!complete) return PictureStream::kIncomplete;
  return clean ? PictureStream::kClean : PictureStream::kFaultAfter;
}

// True when zlib yields all the scanline bytes of the picture. Our reader asks the stream for
// exactly those bytes and never looks further, so a bad Adler-32 or broken data right after them
// fails libpng (whose zlib decodes the end-of-block code and trailer while finishing the last
// row) and not ours, by design.
bool faultAfterPicture(ByteSpan bytes, bool expand) {
  const PictureStream result = inflatePicture(bytes, expand);
  return result == PictureStream::kClean || result == PictureStream::kFaultAfter;
}

// True when zlib fails the stream at a Huffman code set it will not build. zlib refuses
// incomplete sets (but a lone literal/length code of one bit); our decoder takes them on
// purpose and refuses only over-subscribed ones, so a stream ours decoded and zlib failed here
// holds an incomplete set.
bool incompleteCodeSet(ByteSpan bytes, bool expand) {
  const char* message = nullptr;
  static_cast<void>(inflatePicture(bytes, expand, &message));
  if (message == nullptr) return false;
  for (const char* refused :
       {"invalid code lengths set", "invalid literal/lengths set", "invalid distances set"}) {
    if (std::strcmp(message, refused) == 0) return true;
  }
  return false;
}

// True when the file shows a refusal our reader makes on purpose where libpng may decode the
// picture: a file under 100 bytes; a wrong CRC in any chunk up to IEND (libpng passes over a
// damaged ancillary chunk); a side over 16384; or a zlib stream that zlib itself fails or runs
// out of, right after the picture's bytes (ours goes on to the next block header, or the
// trailer, in the call that ends a stored block; libpng stops feeding at the IDAT boundary).
bool deliberateRefusal(ByteSpan bytes, bool expand) {
  if (bytes.size() < 100) return true;
  std::size_t offset = kPngSignatureBytes;
  while (holds(bytes, offset, 12)) {
    const std::uint32_t length = readBe32(bytes, offset);
    if (!holds(bytes, offset + 8, std::size_t{length} + 4)) break;
    const std::uint8_t* typeAndData = bytes.data() + offset + 4;
    const auto crc = static_cast<std::uint32_t>(
        crc32(crc32(0, nullptr, 0), typeAndData, static_cast<uInt>(length) + 4));
    if (crc != readBe32(bytes, offset + 8 + length)) return true;
    if (typeIs(bytes, offset + 4, "IHDR") && length >= 13 &&
        (readBe32(bytes, offset + 8) > kMaxImageSide ||
         readBe32(bytes, offset + 12) > kMaxImageSide)) {
      return true;
    }
    if (typeIs(bytes, offset + 4, "IEND")) break;
    offset += 12 + std::size_t{length};
  }
  return inflatePicture(bytes, expand) == PictureStream::kFaultAfter;
}

// True when the last IHDR up to IEND makes a palette picture and a PLTE or tRNS chunk is out of
// its place or size: a PLTE after IDAT, empty or longer than the depth allows; a tRNS before the
// PLTE, after IDAT, a second one, or one longer than the palette (an empty one is passed over).
bool paletteChunkFault(ByteSpan bytes) {
  std::size_t offset = kPngSignatureBytes;
  bool palettePicture = false;
  std::uint32_t mostEntries = 256;
  bool fault = false;
  bool seenPalette = false;
  bool seenData = false;
  bool seenAlpha = false;
  std::uint32_t entries = 0;
  while (holds(bytes, offset, 12)) {
    const std::uint32_t length = readBe32(bytes, offset);
    if (!holds(bytes, offset + 8, std::size_t{length} + 4)) break;
    const std::uint8_t* chunkData = bytes.data() + offset + 8;
    if (typeIs(bytes, offset + 4, "IHDR") && length >= 13) {
      palettePicture = chunkData[9] == 3;
      mostEntries = chunkData[8] <= 8 ? 1u << chunkData[8] : 256;
    } else if (typeIs(bytes, offset + 4, "PLTE") && palettePicture && !seenPalette) {
      seenPalette = true;
      entries = length / 3;
      if (seenData || length == 0 || entries > mostEntries) fault = true;
    } else if (typeIs(bytes, offset + 4, "tRNS") && palettePicture && length != 0) {
      if (!seenPalette || seenData || seenAlpha || length > entries) fault = true;
      seenAlpha = true;
    } else if (typeIs(bytes, offset + 4, "IDAT")) {
      seenData = true;
    } else if (typeIs(bytes, offset + 4, "IEND")) {
      break;
    }
    offset += 12 + std::size_t{length};
  }
  return palettePicture && fault;
}

// True when every chunk up to IEND lies wholly in the file. When one does not, our reader
// fails, and libpng is not asked: it would first allocate the announced length (up to 2 GiB).
bool chunksFitFile(ByteSpan bytes) {
  std::size_t offset = kPngSignatureBytes;
  while (holds(bytes, offset, 12)) {
    const std::uint32_t length = readBe32(bytes, offset);
    if (!holds(bytes, offset + 8, std::size_t{length} + 4)) return false;
    if (typeIs(bytes, offset + 4, "IEND")) return true;
    offset += 12 + std::size_t{length};
  }
  return false;
}

// Our rows (bottom-up, B,G,R(,A)) against libpng's (top-down, R,G,B(,A)).
void comparePixels(const Image& ours, const std::uint8_t* theirs) {
  const std::size_t rowBytes = ours.rowBytes();
  const std::size_t channels = ours.channels;
  for (std::size_t y = 0; y < ours.height; ++y) {
    const std::uint8_t* ourRow = ours.pixels() + (ours.height - 1 - y) * rowBytes;
    const std::uint8_t* theirRow = theirs + y * rowBytes;
    for (std::size_t x = 0; x < rowBytes; x += channels) {
      fuzzCheck(ourRow[x] == theirRow[x + 2] && ourRow[x + 1] == theirRow[x + 1] &&
                    ourRow[x + 2] == theirRow[x] &&
                    (channels == 3 || ourRow[x + 3] == theirRow[x + 3]),
                "same pixels as libpng");
    }
  }
}

// One comparison; theirsOk, the sides, channels and rows are libpng's.
void compare(ByteSpan bytes, bool expand, const ImagePtr& ours, bool theirsOk, std::uint32_t width,
             std::uint32_t height, unsigned channels, const std::uint8_t* rows) {
  if (ours) checkPictureShape(*ours);
  if (ours && !theirsOk) {
    fuzzCheck(layoutLiberty(bytes) || faultAfterPicture(bytes, expand) ||
                  incompleteCodeSet(bytes, expand),
              "libpng refuses image data our reader accepted");
    return;
  }
  if (!ours && theirsOk) {
    fuzzCheck(deliberateRefusal(bytes, expand) || (expand && paletteChunkFault(bytes)),
              "our reader refuses a picture libpng decodes");
    return;
  }
  if (!ours) return;
  fuzzCheck(ours->width == width && ours->height == height, "same size as libpng");
  fuzzCheck(ours->channels == channels, "same channel count as libpng");
  comparePixels(*ours, rows);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan bytes(data, size);
  if (pngAnnouncesHugePicture(bytes)) return 0;
  // The default run as a file is loaded, its picture data gathered within the bytes.
  std::vector<std::uint8_t> copy(data, data + size);
  const ImagePtr ours = decodePngInPlace(copy.data(), copy.size());
  const ImagePtr expanded = decodePng(bytes, nullptr, true);
  if (!chunksFitFile(bytes)) {
    fuzzCheck(ours == nullptr && expanded == nullptr,
              "our reader refuses a chunk that runs past the end of the file");
    return 0;
  }
  const LibpngPicture theirs = decodeWithLibpng(Bytes(data, data + size));
  compare(bytes, false, ours, theirs.ok, theirs.width, theirs.height, theirs.channels,
          theirs.pixels.data());
  LibpngLayout layout;
  Bytes rows;
  auto provide = [&layout, &rows](const LibpngLayout& given) -> std::uint8_t* {
    layout = given;
    rows.assign(given.rowBytes * given.height, 0);
    return rows.data();
  };
  const bool expandedOk =
      readExpandedWithLibpng(std::span<const std::uint8_t>(data, size), provide);
  compare(bytes, true, expanded, expandedOk, layout.width, layout.height, layout.channels,
          rows.data());
  return 0;
}
