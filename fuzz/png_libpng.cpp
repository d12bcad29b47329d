// Fuzz target comparing the PNG reader with libpng's classic API (test-only) on 8-bit
// truecolour and truecolour-with-alpha files.
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

// The scanline bytes (filter bytes included) of an 8-bit picture of the given channel count.
std::uint64_t scanlineBytes(std::uint64_t width, std::uint64_t height, std::uint64_t channels,
                            bool interlaced) {
  if (!interlaced) return height * (1 + width * channels);
  struct Pass {
    std::uint64_t x0, y0, dx, dy;
  };
  constexpr Pass kPasses[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                               {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  std::uint64_t total = 0;
  for (const Pass& pass : kPasses) {
    const std::uint64_t columns = width > pass.x0 ? (width - pass.x0 + pass.dx - 1) / pass.dx : 0;
    const std::uint64_t rows = height > pass.y0 ? (height - pass.y0 + pass.dy - 1) / pass.dy : 0;
    if (columns != 0 && rows != 0) total += rows * (1 + columns * channels);
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
PictureStream inflatePicture(ByteSpan bytes, const char** zlibMessage = nullptr) {
  std::size_t offset = kPngSignatureBytes;
  std::vector<std::uint8_t> stream;
  std::uint64_t needed = 0;
  while (holds(bytes, offset, 12)) {
    const std::uint32_t length = readBe32(bytes, offset);
    if (!holds(bytes, offset + 8, std::size_t{length} + 4)) break;
    const std::uint8_t* chunkData = bytes.data() + offset + 8;
    if (typeIs(bytes, offset + 4, "IHDR") && length >= 13) {
      const std::uint64_t channels = chunkData[9] == 6 ? 4 : 3;
      needed = scanlineBytes(readBe32(bytes, offset + 8), readBe32(bytes, offset + 12), channels,
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
bool faultAfterPicture(ByteSpan bytes) {
  const PictureStream result = inflatePicture(bytes);
  return result == PictureStream::kClean || result == PictureStream::kFaultAfter;
}

// True when zlib fails the stream at a Huffman code set it will not build. zlib refuses
// incomplete sets (but a lone literal/length code of one bit); our decoder takes them on
// purpose and refuses only over-subscribed ones, so a stream ours decoded and zlib failed here
// holds an incomplete set.
bool incompleteCodeSet(ByteSpan bytes) {
  const char* message = nullptr;
  static_cast<void>(inflatePicture(bytes, &message));
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
bool deliberateRefusal(ByteSpan bytes) {
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
  return inflatePicture(bytes) == PictureStream::kFaultAfter;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan bytes(data, size);
  if (pngAnnouncesHugePicture(bytes)) return 0;
  const ImagePtr ours = decodePng(bytes);
  if (!chunksFitFile(bytes)) {
    fuzzCheck(ours == nullptr, "our reader refuses a chunk that runs past the end of the file");
    return 0;
  }
  const LibpngPicture theirs = decodeWithLibpng(Bytes(data, data + size));
  if (ours) checkPictureShape(*ours);
  if (ours && !theirs.ok) {
    fuzzCheck(layoutLiberty(bytes) || faultAfterPicture(bytes) || incompleteCodeSet(bytes),
              "libpng refuses image data our reader accepted");
    return 0;
  }
  if (!ours && theirs.ok) {
    fuzzCheck(deliberateRefusal(bytes), "our reader refuses a picture libpng decodes");
    return 0;
  }
  if (!ours) return 0;
  fuzzCheck(ours->width == theirs.width && ours->height == theirs.height, "same size as libpng");
  fuzzCheck(ours->channels == theirs.channels, "same channel count as libpng");
  const std::size_t rowBytes = ours->rowBytes();
  const std::size_t channels = ours->channels;
  for (std::size_t y = 0; y < ours->height; ++y) {
    const std::uint8_t* ourRow = ours->pixels() + (ours->height - 1 - y) * rowBytes;
    const std::uint8_t* theirRow = theirs.pixels.data() + y * rowBytes;
    for (std::size_t x = 0; x < rowBytes; x += channels) {
      fuzzCheck(ourRow[x] == theirRow[x + 2] && ourRow[x + 1] == theirRow[x + 1] &&
                    ourRow[x + 2] == theirRow[x] &&
                    (channels == 3 || ourRow[x + 3] == theirRow[x + 3]),
                "same pixels as libpng");
    }
  }
  return 0;
}
