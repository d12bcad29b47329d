// PNG reader: the chunk stream, the header checks and the assembly of the picture.
//
// A PNG file is an 8-byte signature and a sequence of chunks: a 4-byte big-endian data length
// (at most 10,000,000 here), a 4-byte type, the data, and a CRC-32 of type and data. Every
// chunk's CRC is verified before its type is looked at, so a damaged chunk of an unknown type
// also fails the file. IHDR gives the picture header (a later IHDR replaces an earlier one),
// the first PLTE of a palette picture the palette, tRNS a transparency that is recorded but
// never applied, and every IDAT a piece of the one zlib stream, gathered wherever it stands.
// IEND ends the walk and decodes the picture; nothing after it is read.
//
// Strict where it costs nothing to be: files under 100 bytes, an IHDR shorter than 13 bytes and
// 16-bit samples are refused. Grey, grey-with-alpha and palette pictures are decoded in full and
// then refused: only 8-bit truecolour (3 channels) and truecolour with alpha (4 channels) yield
// a picture. Every path out after the signature test leaves pngState idle.

#include "png/png_reader.h"

#include <array>
#include <cstddef>
#include <cstring>

#include "png/crc.h"
#include "png/decode_state.h"
#include "png/inflate.h"
#include "png/scanline.h"

namespace {

constexpr std::size_t kMinFileBytes = 100;
constexpr std::size_t kMaxFileBytes = 0x7FFFFFFF;  // streamRemaining is a signed 32-bit count
constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint32_t kMaxChunkLength = 10'000'000;
constexpr std::uint32_t kCrcBytes = 4;
constexpr std::uint32_t kHeaderBytes = 13;
constexpr std::uint32_t kMaxSide = 16384;
constexpr std::size_t kPaletteBytes = 1024;
constexpr std::size_t kPaletteEntries = 256;
constexpr std::size_t kMinIdatCapacity = 4096;

using ChunkType = std::array<std::uint8_t, 4>;
constexpr ChunkType kTypeHeader = {'I', 'H', 'D', 'R'};
constexpr ChunkType kTypePalette = {'P', 'L', 'T', 'E'};
constexpr ChunkType kTypeTransparency = {'t', 'R', 'N', 'S'};
constexpr ChunkType kTypeImageData = {'I', 'D', 'A', 'T'};
constexpr ChunkType kTypeEnd = {'I', 'E', 'N', 'D'};

// Empties pngState when the decode leaves, whichever way.
struct PngStateReleaser {
  PngStateReleaser() = default;
  PngStateReleaser(const PngStateReleaser&) = delete;
  PngStateReleaser& operator=(const PngStateReleaser&) = delete;
  ~PngStateReleaser() { releasePngState(); }
};

// Copies the smaller of n and streamRemaining bytes from the file to dest and advances the
// stream by as many; true only when all n bytes were there.
bool readStreamBytes(std::uint8_t* dest, std::uint32_t n) noexcept {
  const auto remaining = static_cast<std::uint32_t>(pngState.streamRemaining);
  const std::uint32_t count = n < remaining ? n : remaining;
  if (count != 0) std::memcpy(dest, pngState.streamCursor, count);
  pngState.streamCursor += count;
  pngState.streamRemaining -= static_cast<std::int32_t>(count);
  return count == n;
}

// Reads a 4-byte big-endian field of the file into out; false when fewer than 4 bytes are left.
bool readStreamU32(std::uint32_t& out) noexcept {
  std::array<std::uint8_t, 4> field{};
  if (!readStreamBytes(field.data(), 4)) return false;
  out = readBe32(field, 0);
  return true;
}

ByteSpan chunkBytes() noexcept { return ByteSpan(pngState.chunkData.get(), pngState.chunkLength); }

// CRC-32 of the four type bytes followed by the chunk data.
std::uint32_t chunkCrc(const ChunkType& type) noexcept {
  return ~crcUpdate(crcUpdate(0xFFFFFFFFu, type), chunkBytes());
}

// Bytes of one pixel in pixels for an accepted colour type and bit depth pair; 0 for any
// other pair, 16-bit samples included.
std::int32_t bytesPerPixelOf(std::int32_t colourType, std::int32_t bitDepth) noexcept {
  const bool lowDepth = bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8;
  switch (colourType) {
    case kColourGrey:
    case kColourPalette:
      return lowDepth ? 1 : 0;
    case kColourTruecolour:
      return bitDepth == 8 ? 3 : 0;
    case kColourGreyAlpha:
      return bitDepth == 8 ? 2 : 0;
    case kColourTruecolourAlpha:
      return bitDepth == 8 ? 4 : 0;
    default:
      return 0;
  }
}

// IHDR: stores the header fields, then checks them.
bool handleHeader() noexcept {
  if (pngState.chunkLength < kHeaderBytes) return false;
  const ByteSpan data = chunkBytes();
  const std::uint32_t width = readBe32(data, 0);   // width
  const std::uint32_t height = readBe32(data, 4);  // height
  pngState.bitDepth = data[8];                     // bit depth
  pngState.colourType = data[9];                   // colour type
  pngState.interlaced = data[12] == 1;             // interlace method
  pngState.width = width <= kMaxSide ? static_cast<std::int32_t>(width) : 0;
  pngState.height = height <= kMaxSide ? static_cast<std::int32_t>(height) : 0;
  pngState.bytesPerPixel = bytesPerPixelOf(pngState.colourType, pngState.bitDepth);
  if (pngState.bytesPerPixel == 0) return false;
  if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide) return false;
  if (data[10] != 0) return false;  // compression method
  if (data[11] != 0) return false;  // filter method
  if (data[12] > 1) return false;   // interlace method
  return true;
}

// PLTE: only the first one of a palette picture counts; any other is passed over.
bool handlePalette() noexcept {
  if (pngState.palette || pngState.colourType != kColourPalette) return true;
  const std::uint32_t entries = pngState.chunkLength / 3;
  if (entries > (1u << pngState.bitDepth)) return false;
  if (pngState.chunkLength != 3 * entries) return false;
  if (pngState.width == 0 || pngState.height == 0) return false;
  pngState.palette = allocateArray<std::uint8_t>(kPaletteBytes);
  if (!pngState.palette) return false;
  std::memset(pngState.palette.get(), 0, kPaletteBytes);
  const std::uint8_t* colour = pngState.chunkData.get();
  std::uint8_t* entry = pngState.palette.get();
  for (std::uint32_t i = 0; i < entries; ++i, colour += 3, entry += 4) {
    entry[0] = colour[2];  // blue
    entry[1] = colour[1];  // green
    entry[2] = colour[0];  // red
    entry[3] = 255;        // alpha
  }
  return true;
}

// tRNS: records palette alpha or the transparent colour; never fails and changes no pixel.
void handleTransparency() noexcept {
  const ByteSpan data = chunkBytes();
  if (pngState.colourType == kColourPalette && pngState.palette) {
    const std::size_t count = data.size() < kPaletteEntries ? data.size() : kPaletteEntries;
    for (std::size_t i = 0; i < count; ++i) pngState.palette[4 * i + 3] = data[i];
    pngState.paletteHasAlpha = true;
  } else if (pngState.colourType == kColourGrey && data.size() >= 2) {
    const std::uint8_t grey = data[1];  // low byte of the grey sample
    pngState.colourKey[0] = grey;
    pngState.colourKey[1] = grey;
    pngState.colourKey[2] = grey;
    pngState.colourKey[3] = 0;
    pngState.hasColourKey = true;
  } else if (pngState.colourType == kColourTruecolour && data.size() >= 6) {
    pngState.colourKey[0] = data[5];  // low byte of blue
    pngState.colourKey[1] = data[3];  // low byte of green
    pngState.colourKey[2] = data[1];  // low byte of red
    pngState.colourKey[3] = 0;
    pngState.hasColourKey = true;
  }
}

// IDAT: appends the data to idatData, doubling its capacity when it runs out.
bool handleImageData() noexcept {
  if (pngState.chunkLength == 0) return true;
  const std::size_t needed = static_cast<std::size_t>(pngState.idatLength) + pngState.chunkLength;
  if (needed > kMaxFileBytes) return false;
  if (needed > pngState.idatCapacity) {
    std::size_t capacity = pngState.idatCapacity * 2;
    if (capacity < kMinIdatCapacity) capacity = kMinIdatCapacity;
    if (capacity < needed) capacity = needed;
    void* grown = heapReallocate(pngState.idatData.get(), capacity);
    if (grown == nullptr) return false;  // the old block stays owned by idatData
    static_cast<void>(pngState.idatData.release());
    pngState.idatData.reset(static_cast<std::uint8_t*>(grown));
    pngState.idatCapacity = capacity;
  }
  std::memcpy(pngState.idatData.get() + pngState.idatLength, pngState.chunkData.get(),
              pngState.chunkLength);
  pngState.idatLength = static_cast<std::int32_t>(needed);
  return true;
}

// IEND: inflates and reconstructs the picture and moves it into a new Image.
ImagePtr finishPicture() noexcept {
  pngState.chunkData.reset();
  pngState.chunkLength = 0;
  if (pngState.width == 0 || pngState.height == 0) return nullptr;  // no header accepted
  if (pngState.idatLength == 0) return nullptr;                     // no picture data
  if (pngState.colourType == kColourPalette && !pngState.palette) return nullptr;

  pngState.idatCursor = pngState.idatData.get();
  pngState.idatEnd = pngState.idatData.get() + pngState.idatLength;

  const auto width = static_cast<std::size_t>(pngState.width);
  const auto height = static_cast<std::size_t>(pngState.height);
  const auto bytesPerPixel = static_cast<std::size_t>(pngState.bytesPerPixel);
  const std::size_t rowBytes = pngState.bitDepth >= 8
                                   ? bytesPerPixel * width
                                   : (static_cast<std::size_t>(pngState.bitDepth) * width + 7) / 8;
  pngState.rowBytes = static_cast<std::int32_t>(rowBytes);
  pngState.rows[0] = allocateArray<std::uint8_t>(rowBytes);
  if (!pngState.rows[0]) return nullptr;
  pngState.rows[1] = allocateArray<std::uint8_t>(rowBytes);
  if (!pngState.rows[1]) return nullptr;
  pngState.currentRow = 0;
  const std::size_t pixelBytes = bytesPerPixel * height * width;
  pngState.pixels = allocateArray<std::uint8_t>(pixelBytes);
  if (!pngState.pixels) return nullptr;

  if (!inflateBegin()) return nullptr;
  if (!(pngState.interlaced ? readInterlacedRows() : readPlainRows())) return nullptr;
  inflateReleaseWindow();
  pngState.idatCursor = nullptr;
  pngState.idatEnd = nullptr;
  pngState.idatData.reset();
  pngState.idatLength = 0;
  pngState.idatCapacity = 0;

  // Grey, grey with alpha and palette pictures end here.
  if (bytesPerPixel != 3 && bytesPerPixel != 4) return nullptr;
  ImagePtr image = createImage(static_cast<unsigned>(bytesPerPixel), static_cast<unsigned>(height),
                               static_cast<unsigned>(width));
  if (!image) return nullptr;
  std::memcpy(image->pixels(), pngState.pixels.get(), pixelBytes);
  flipImageRows(*image);
  return image;
}

}  // namespace

ImagePtr decodePng(ByteSpan bytes) noexcept {
  if (bytes.size() < kMinFileBytes || bytes.size() > kMaxFileBytes) return nullptr;
  if (std::memcmp(bytes.data(), kSignature.data(), kSignature.size()) != 0) return nullptr;

  const PngStateReleaser releaser;
  releasePngState();  // every field, the header included, starts idle
  pngState.streamCursor = bytes.data() + kSignature.size();
  pngState.streamRemaining = static_cast<std::int32_t>(bytes.size() - kSignature.size());

  if (!readStreamU32(pngState.chunkLength)) return nullptr;
  for (;;) {
    if (pngState.chunkLength > kMaxChunkLength) return nullptr;  // chunk length
    ChunkType type{};
    if (!readStreamBytes(type.data(), 4)) return nullptr;
    if (std::uint64_t{pngState.chunkLength} + kCrcBytes >
        static_cast<std::uint64_t>(pngState.streamRemaining)) {
      return nullptr;  // the file ends inside the data or the CRC
    }
    if (pngState.chunkLength != 0) {
      pngState.chunkData = allocateArray<std::uint8_t>(pngState.chunkLength);
      if (!pngState.chunkData) return nullptr;
      if (!readStreamBytes(pngState.chunkData.get(), pngState.chunkLength)) return nullptr;
    }
    std::uint32_t storedCrc = 0;
    if (!readStreamU32(storedCrc)) return nullptr;
    if (chunkCrc(type) != storedCrc) return nullptr;  // CRC

    if (type == kTypeEnd) return finishPicture();
    if (type == kTypeHeader) {
      if (!handleHeader()) return nullptr;
    } else if (type == kTypePalette) {
      if (!handlePalette()) return nullptr;
    } else if (type == kTypeTransparency) {
      handleTransparency();
    } else if (type == kTypeImageData) {
      if (!handleImageData()) return nullptr;
    }
    pngState.chunkData.reset();
    pngState.chunkLength = 0;
    if (!readStreamU32(pngState.chunkLength)) return nullptr;
  }
}
