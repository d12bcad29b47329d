// PNG reader: the chunk stream, the header checks and the assembly of the picture.
//
// A PNG file is an 8-byte signature and a sequence of chunks: a 4-byte big-endian data length
// (at most 2^31 - 1, PNG's own maximum), a 4-byte type, the data, and a CRC-32 of type and
// data. Every chunk's CRC is verified before its type is looked at, so a damaged chunk of an
// unknown type also fails the file. IHDR gives the picture header (a later IHDR replaces an earlier
// one), the first PLTE of a palette picture the palette, tRNS a transparency that is recorded but
// never applied, and every IDAT a piece of the one zlib stream, gathered wherever it stands.
// IEND ends the walk and decodes the picture; nothing after it is read. Chunk data is checked
// and read where it stands in the file; only the IDAT pieces are copied, into one block, or,
// when the file's bytes are the reader's to overwrite, moved down within them so they follow the
// first piece (each piece once its CRC is checked, over bytes already walked).
//
// Strict where it costs nothing to be: files under 100 bytes, an IHDR shorter than 13 bytes and
// 16-bit samples are refused. Grey, grey-with-alpha and palette pictures are decoded in full and
// then refused: only 8-bit truecolour (3 channels) and truecolour with alpha (4 channels) yield
// a picture.
//
// Asked to expand, the reader also takes every other colour type and depth of the format and
// converts the rows straight into 8-bit B,G,R(,A) pixels: grey (scaled by value) repeated in the
// three colours, palette indices looked up (an index past the palette is opaque black), 16-bit
// samples rounded to the nearest 8-bit value. Alpha comes from grey-alpha and RGBA samples and
// from a palette's tRNS; a colour key is not applied, nor gamma or any other ancillary chunk.
// A palette picture then holds to the chunk order of the format: one PLTE of 1 to 2^depth colours
// before the first IDAT, and a tRNS of no more entries than the palette between the two. An 8-bit
// RGB or RGBA file takes the path it takes without expanding, so its picture is the same. A header
// whose scanlines need more bytes than the gathered zlib data could inflate to (DEFLATE expands at
// most 1032-fold) is refused before any picture buffer is allocated. Every path out after the
// signature test leaves pngState idle.
//
// When the caller asks for a report, each refusal gets its reason; positions in the zlib data
// are offsets into the IDAT data gathered in file order ("the picture data"), taken from where
// the decoder's cursor stopped.

#include "png/png_reader.h"

#include <array>
#include <cstddef>
#include <cstring>

#include "base/platform.h"
#include "png/crc.h"
#include "png/decode_state.h"
#include "png/inflate.h"
#include "png/scanline.h"

namespace {

constexpr std::size_t kMinFileBytes = 100;
constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint32_t kMaxChunkLength = 0x7FFFFFFF;  // PNG's maximum; compared unsigned
constexpr std::uint32_t kCrcBytes = 4;
constexpr std::uint32_t kHeaderBytes = 13;
constexpr std::size_t kPaletteBytes = 1024;
constexpr std::size_t kPaletteEntries = 256;
constexpr std::size_t kMinIdatCapacity = 4096;
// DEFLATE turns n bytes into at most 1032 * n: a 258-byte match costs at least two bits. The
// margin covers the few bytes a stream needs before its first match.
constexpr std::uint64_t kMaxInflateRatio = 1032;
constexpr std::uint64_t kInflateMargin = 4096;
constexpr std::uint32_t kZlibDeflate = 8;              // zlib CM
constexpr std::uint32_t kZlibMaxWindowBits = 7;        // zlib CINFO
constexpr std::uint32_t kZlibPresetDictionary = 0x20;  // zlib FDICT
constexpr std::uint32_t kZlibCheckDivisor = 31;        // zlib FCHECK

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

// Reads a 4-byte big-endian field of the file into out and advances the stream past it; false
// when fewer than 4 bytes are left.
bool readStreamU32(std::uint32_t& out) noexcept {
  const ByteSpan rest(pngState.streamCursor, static_cast<std::size_t>(pngState.streamRemaining));
  if (!holds(rest, 0, 4)) return false;
  out = readBe32(rest, 0);
  pngState.streamCursor += 4;
  pngState.streamRemaining -= 4;
  return true;
}

// The chunk type as text for a reason: letters as they stand, any other byte as '?'.
struct ChunkName {
  char text[5];
};

ChunkName nameOf(const ChunkType& type) noexcept {
  ChunkName name{};
  for (std::size_t i = 0; i < type.size(); ++i) {
    const std::uint8_t c = type[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    name.text[i] = letter ? static_cast<char>(c) : '?';
  }
  return name;
}

// CRC-32 of the four type bytes followed by the chunk data.
std::uint32_t chunkCrc(const ChunkType& type, ByteSpan data) noexcept {
  return ~crcUpdate(crcUpdate(0xFFFFFFFFu, type), data);
}

// Palette chunks out of their place or size, as recorded in paletteFault.
constexpr std::int32_t kPaletteAfterData = 1;
constexpr std::int32_t kPaletteEmpty = 2;
constexpr std::int32_t kTransparencyBeforePalette = 3;
constexpr std::int32_t kTransparencyAfterData = 4;
constexpr std::int32_t kTransparencyTooLong = 5;
constexpr std::int32_t kTransparencyTwice = 6;

// Bytes of one 16-bit pixel (the filter distance) for a colour type that has 16-bit samples;
// 0 for any other.
std::int32_t wideBytesPerPixelOf(std::int32_t colourType) noexcept {
  switch (colourType) {
    case kColourGrey:
      return 2;
    case kColourTruecolour:
      return 6;
    case kColourGreyAlpha:
      return 4;
    case kColourTruecolourAlpha:
      return 8;
    default:
      return 0;
  }
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

// IHDR: stores the header fields, then checks them. Expanding, 16-bit samples are accepted too.
bool handleHeader(ByteSpan data, DecodeReport* report, bool expand) noexcept {
  if (data.size() < kHeaderBytes) {
    refuse(report, "IHDR chunk of %zu bytes is shorter than %u (damaged file)", data.size(),
           kHeaderBytes);
    return false;
  }
  const std::uint32_t width = readBe32(data, 0);   // width
  const std::uint32_t height = readBe32(data, 4);  // height
  pngState.bitDepth = data[8];                     // bit depth
  pngState.colourType = data[9];                   // colour type
  pngState.interlaced = data[12] == 1;             // interlace method
  pngState.width = width <= kMaxImageSide ? static_cast<std::int32_t>(width) : 0;
  pngState.height = height <= kMaxImageSide ? static_cast<std::int32_t>(height) : 0;
  pngState.bytesPerPixel = bytesPerPixelOf(pngState.colourType, pngState.bitDepth);
  if (expand && pngState.bitDepth == 16) {
    pngState.bytesPerPixel = wideBytesPerPixelOf(pngState.colourType);
  }
  if (pngState.bytesPerPixel == 0) {
    if (pngState.bitDepth == 16 && wideBytesPerPixelOf(pngState.colourType) != 0) {
      refuse(report, "16-bit PNG is not converted without --expand");
    } else {
      refuse(report, "PNG colour type %d with bit depth %d does not exist (damaged header)",
             pngState.colourType, pngState.bitDepth);
    }
    return false;
  }
  if (width < 1 || width > kMaxImageSide) {
    refuse(report, "PNG width %u is outside 1..%u", width, kMaxImageSide);
    return false;
  }
  if (height < 1 || height > kMaxImageSide) {
    refuse(report, "PNG height %u is outside 1..%u", height, kMaxImageSide);
    return false;
  }
  if (data[10] != 0) {  // compression method
    refuse(report, "PNG compression method %u is unknown (damaged header)", unsigned{data[10]});
    return false;
  }
  if (data[11] != 0) {  // filter method
    refuse(report, "PNG filter method %u is unknown (damaged header)", unsigned{data[11]});
    return false;
  }
  if (data[12] > 1) {  // interlace method
    refuse(report, "PNG interlace method %u is unknown (damaged header)", unsigned{data[12]});
    return false;
  }
  return true;
}

// PLTE: only the first one of a palette picture counts; any other is passed over.
bool handlePalette(ByteSpan data, DecodeReport* report) noexcept {
  if (pngState.palette || pngState.colourType != kColourPalette) return true;
  if (pngState.paletteFault == 0) {
    if (pngState.seenImageData) pngState.paletteFault = kPaletteAfterData;
    if (data.empty()) pngState.paletteFault = kPaletteEmpty;
  }
  const auto entries = static_cast<std::uint32_t>(data.size() / 3);
  if (entries > (1u << pngState.bitDepth) || data.size() != std::size_t{3} * entries) {
    refuse(report, "PLTE chunk of %zu bytes is no palette of up to %u colours (damaged file)",
           data.size(), 1u << pngState.bitDepth);
    return false;
  }
  if (pngState.width == 0 || pngState.height == 0) {
    refuse(report, "PLTE chunk without a picture header (damaged file)");
    return false;
  }
  pngState.palette = allocateArray<std::uint8_t>(kPaletteBytes);
  if (!pngState.palette) {
    refuseForMemory(report);
    return false;
  }
  // Entries the chunk does not give read as opaque black.
  std::memset(pngState.palette.get(), 0, kPaletteBytes);
  for (std::size_t i = 0; i < kPaletteEntries; ++i) pngState.palette[4 * i + 3] = 255;
  pngState.paletteEntries = static_cast<std::int32_t>(entries);
  const std::uint8_t* colour = data.data();
  std::uint8_t* entry = pngState.palette.get();
  for (std::uint32_t i = 0; i < entries; ++i, colour += 3, entry += 4) {
    entry[0] = colour[2];  // blue
    entry[1] = colour[1];  // green
    entry[2] = colour[0];  // red
    entry[3] = 255;        // alpha
  }
  return true;
}

// Records a fault of a tRNS chunk of a palette picture: before PLTE or after IDAT, longer than
// the palette, or a second one.
void notePaletteTransparencyFault(ByteSpan data) noexcept {
  if (pngState.colourType != kColourPalette || pngState.paletteFault != 0) return;
  if (!pngState.palette) {
    pngState.paletteFault = kTransparencyBeforePalette;
  } else if (pngState.seenImageData) {
    pngState.paletteFault = kTransparencyAfterData;
  } else if (pngState.paletteHasAlpha) {
    pngState.paletteFault = kTransparencyTwice;
  } else if (data.size() > static_cast<std::size_t>(pngState.paletteEntries)) {
    pngState.paletteFault = kTransparencyTooLong;
  }
}

// tRNS: records palette alpha or the transparent colour; never fails, and only an expanded
// palette picture shows the alpha.
void handleTransparency(ByteSpan data) noexcept {
  if (data.empty()) return;  // gives no alpha value, as if it were not there
  notePaletteTransparencyFault(data);
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

// Data bytes of the IDAT chunks that follow the current one up to IEND, found by hopping over
// the length fields without checking anything; only a size hint for the first allocation.
std::size_t imageDataAhead() noexcept {
  const std::uint8_t* cursor = pngState.streamCursor;
  auto remaining = static_cast<std::size_t>(pngState.streamRemaining);
  std::size_t total = 0;
  while (remaining >= 12) {
    const ByteSpan field(cursor, 8);
    const std::uint32_t length = readBe32(field, 0);
    if (length > kMaxChunkLength || std::size_t{length} + 12 > remaining) break;
    const ChunkType type = {cursor[4], cursor[5], cursor[6], cursor[7]};
    if (type == kTypeEnd) break;
    if (type == kTypeImageData) total += length;
    cursor += std::size_t{length} + 12;
    remaining -= std::size_t{length} + 12;
  }
  return total;
}

// IDAT: appends the data to the gathered picture data: in place (see decodePngInPlace) or into
// idatData. The first IDAT sizes the block for every IDAT up to IEND
// so the data is copied once; the capacity doubles should it still run out.
bool handleImageData(ByteSpan data, std::size_t fileOffset, DecodeReport* report) noexcept {
  pngState.seenImageData = true;
  if (data.empty()) return true;
  const std::size_t needed = static_cast<std::size_t>(pngState.idatLength) + data.size();
  if (needed > kMaxInputFileBytes) {
    refuse(report, "picture data of 2 GiB or more");
    return false;
  }
  if (pngState.writableFile != nullptr) {
    // In place: the gathered data ends at or before this piece, so the move only overwrites
    // bytes the walk has passed.
    if (pngState.idatInPlace == nullptr) pngState.idatInPlace = pngState.writableFile + fileOffset;
    std::uint8_t* const dest = pngState.idatInPlace + pngState.idatLength;
    if (dest != data.data()) std::memmove(dest, data.data(), data.size());
    pngState.idatLength = static_cast<std::int32_t>(needed);
    return true;
  }
  if (needed > pngState.idatCapacity) {
    std::size_t capacity = pngState.idatCapacity * 2;
    if (capacity < kMinIdatCapacity) capacity = kMinIdatCapacity;
    if (pngState.idatCapacity == 0) {
      const std::size_t ahead = needed + imageDataAhead();
      if (ahead > capacity && ahead <= kMaxInputFileBytes) capacity = ahead;
    }
    if (capacity < needed) capacity = needed;
    void* grown = heapReallocate(pngState.idatData.get(), capacity);
    if (grown == nullptr) {  // the old block stays owned by idatData
      refuseForMemory(report);
      return false;
    }
    static_cast<void>(pngState.idatData.release());
    pngState.idatData.reset(static_cast<std::uint8_t*>(grown));
    prepareFreshBlock(grown, capacity);
    pngState.idatCapacity = capacity;
  }
  std::memcpy(pngState.idatData.get() + pngState.idatLength, data.data(), data.size());
  pngState.idatLength = static_cast<std::int32_t>(needed);
  return true;
}

// The first byte of the gathered picture data.
const std::uint8_t* pictureData() noexcept {
  return pngState.idatInPlace != nullptr ? pngState.idatInPlace : pngState.idatData.get();
}

// Offset in the picture data of the zlib decoder's cursor.
std::ptrdiff_t pictureDataPosition() noexcept { return pngState.idatCursor - pictureData(); }

// The reason of a failed inflateBegin: a bad zlib header, memory, or a bad first block header.
void explainStreamStart(DecodeReport* report, unsigned long failuresBefore) noexcept {
  if (report == nullptr) return;
  const ByteSpan stream(pictureData(), static_cast<std::size_t>(pngState.idatLength));
  const std::uint32_t cmf = readU8(stream, 0);
  const std::uint32_t flg = readU8(stream, 1);
  const bool zlibHeader = stream.size() >= 2 && (cmf & 0x0F) == kZlibDeflate &&  // CM
                          (cmf >> 4) <= kZlibMaxWindowBits &&                    // CINFO
                          (flg & kZlibPresetDictionary) == 0 &&                  // FDICT
                          (cmf * 256 + flg) % kZlibCheckDivisor == 0;            // FCHECK
  if (!zlibHeader) {
    refuse(report, "picture data does not start with a zlib header (damaged file)");
  } else if (heapFailureCount() != failuresBefore) {
    refuseForMemory(report);
  } else {
    refuse(report, "zlib data damaged at byte %td of the picture data", pictureDataPosition());
  }
}

// The reason the scanline loops stopped: a block they needed that could not be had, a filter
// type above 4 in a stream that is still open, a stream that ended correctly (its final block
// and a matching Adler-32 read) before the last row, or damage where the cursor stopped.
void explainRowFailure(DecodeReport* report, unsigned long failuresBefore) noexcept {
  if (report == nullptr) return;
  const std::ptrdiff_t position = pictureDataPosition();
  if (heapFailureCount() != failuresBefore) {
    refuseForMemory(report);
    return;
  }
  if (inflateState.streamOpen) {
    refuse(report, "PNG row with a filter type above 4 (damaged file)");
    return;
  }
  if (inflateState.streamEnded) {
    refuse(report, "zlib data ends before the last row of the %dx%d picture (damaged file)",
           pngState.width, pngState.height);
  } else if (pngState.idatCursor == pngState.idatEnd) {
    // Data cut short, or damage that runs on to the end (a wrong Adler-32 included).
    refuse(report,
           "zlib data damaged or cut short: it fails at byte %td, the end of the picture data",
           position);
  } else {
    refuse(report, "zlib data damaged at byte %td of the picture data", position);
  }
}

// The reason a picture that decoded is not converted: its colour type.
void refuseColourType(DecodeReport* report) noexcept {
  switch (pngState.colourType) {
    case kColourPalette:
      refuse(report, "palette PNG is not converted without --expand");
      return;
    case kColourGrey:
      refuse(report, "greyscale PNG is not converted without --expand");
      return;
    case kColourGreyAlpha:
      refuse(report, "greyscale PNG with alpha is not converted without --expand");
      return;
    default:
      refuse(report, "PNG colour type %d is not converted: save it as 8-bit RGB or RGBA",
             pngState.colourType);
      return;
  }
}

// For a palette picture, refuses a PLTE or tRNS chunk out of its place or size; true when
// there is none (or the picture has no palette).
bool refusePaletteFault(DecodeReport* report) noexcept {
  if (pngState.colourType != kColourPalette) return true;
  switch (pngState.paletteFault) {
    case kPaletteAfterData:
      refuse(report, "PLTE chunk after the picture data (damaged file)");
      return false;
    case kPaletteEmpty:
      refuse(report, "PLTE chunk without colours (damaged file)");
      return false;
    case kTransparencyBeforePalette:
      refuse(report, "tRNS chunk before the PLTE chunk (damaged file)");
      return false;
    case kTransparencyAfterData:
      refuse(report, "tRNS chunk after the picture data (damaged file)");
      return false;
    case kTransparencyTooLong:
      refuse(report, "tRNS chunk with more entries than the palette's %d (damaged file)",
             pngState.paletteEntries);
      return false;
    case kTransparencyTwice:
      refuse(report, "second tRNS chunk (damaged file)");
      return false;
    default:
      return true;
  }
}

// Writes the layout of an expanded picture into the report: "palette 4-bit", "grey 16-bit".
void describeExpanded(DecodeReport* report) noexcept {
  const char* kind = "RGB";
  switch (pngState.colourType) {
    case kColourGrey:
      kind = "grey";
      break;
    case kColourPalette:
      kind = "palette";
      break;
    case kColourGreyAlpha:
      kind = "grey+alpha";
      break;
    case kColourTruecolourAlpha:
      kind = "RGBA";
      break;
    default:
      break;
  }
  describeLayout(report, "%s %d-bit", kind, pngState.bitDepth);
}

// IEND: inflates and reconstructs the picture. 8-bit truecolour rows go straight into a new
// Image, bottom row first; other pictures are decoded into pngState.pixels and then refused.
// Before anything is allocated, a picture whose scanlines could not come out of the gathered
// data even at the largest DEFLATE ratio is refused, so a small file cannot claim gigabytes.
ImagePtr finishPicture(DecodeReport* report, bool expand) noexcept {
  pngState.chunkLength = 0;
  if (pngState.width == 0 || pngState.height == 0) {  // no header accepted
    refuse(report, "PNG without an IHDR chunk before IEND (damaged file)");
    return nullptr;
  }
  if (pngState.idatLength == 0) {  // no picture data
    refuse(report, "PNG without picture data: no IDAT chunk before IEND (damaged file)");
    return nullptr;
  }
  if (pngState.colourType == kColourPalette && !pngState.palette) {
    refuse(report, "PNG palette picture without a PLTE chunk (damaged file)");
    return nullptr;
  }
  if (expand && !refusePaletteFault(report)) return nullptr;

  const auto width = static_cast<std::size_t>(pngState.width);
  const auto height = static_cast<std::size_t>(pngState.height);
  const auto bytesPerPixel = static_cast<std::size_t>(pngState.bytesPerPixel);
  const std::size_t rowBytes = pngState.bitDepth >= 8
                                   ? bytesPerPixel * width
                                   : (static_cast<std::size_t>(pngState.bitDepth) * width + 7) / 8;
  // Every row of the picture lies in at least one scanline of its own with a filter byte, and
  // splitting a row between Adam7 passes never shortens it, so this is a lower bound for both
  // layouts.
  const std::uint64_t leastFilteredBytes = std::uint64_t{height} * (rowBytes + 1);
  const std::uint64_t mostInflatedBytes =
      kMaxInflateRatio * static_cast<std::uint64_t>(pngState.idatLength) + kInflateMargin;
  if (leastFilteredBytes > mostInflatedBytes) {
    refuse(report, "picture data of %d bytes is too short for a %dx%d picture (damaged file)",
           pngState.idatLength, pngState.width, pngState.height);
    return nullptr;
  }

  pngState.idatCursor = pictureData();
  pngState.idatEnd = pngState.idatCursor + pngState.idatLength;
  pngState.rowBytes = static_cast<std::int32_t>(rowBytes);
  pngState.rows[0] = allocateArray<std::uint8_t>(rowBytes);
  pngState.rows[1] = allocateArray<std::uint8_t>(rowBytes);
  if (!pngState.rows[0] || !pngState.rows[1]) {
    refuseForMemory(report);
    return nullptr;
  }
  pngState.currentRow = 0;

  // Expanded pictures go straight into the Image as well, in its 3- or 4-byte pixels.
  const bool truecolour = pngState.bitDepth == 8 && (bytesPerPixel == 3 || bytesPerPixel == 4);
  if (expand && !truecolour) {
    const bool alpha = pngState.colourType == kColourGreyAlpha ||
                       pngState.colourType == kColourTruecolourAlpha ||
                       (pngState.colourType == kColourPalette && pngState.paletteHasAlpha);
    pngState.expandedBytes = alpha ? 4 : 3;
  }
  const bool intoImage = truecolour || pngState.expandedBytes != 0;
  const std::size_t imagePixelBytes = pngState.expandedBytes != 0
                                          ? static_cast<std::size_t>(pngState.expandedBytes)
                                          : bytesPerPixel;
  ImagePtr image;
  RowTarget target{};
  if (intoImage) {
    image = createImage(static_cast<unsigned>(imagePixelBytes), static_cast<unsigned>(height),
                        static_cast<unsigned>(width));
    if (!image) {
      refuseForMemory(report);
      return nullptr;
    }
    const std::size_t imageRow = image->rowBytes();
    target.topRow = image->pixels() + (height - 1) * imageRow;
    target.rowStride = -static_cast<std::ptrdiff_t>(imageRow);
  } else {
    pngState.pixels = allocateArray<std::uint8_t>(bytesPerPixel * height * width);
    if (!pngState.pixels) {
      refuseForMemory(report);
      return nullptr;
    }
    target.topRow = pngState.pixels.get();
    target.rowStride = static_cast<std::ptrdiff_t>(bytesPerPixel * width);
  }

  const unsigned long failuresBefore = report != nullptr ? heapFailureCount() : 0;
  if (!inflateBegin()) {
    explainStreamStart(report, failuresBefore);
    return nullptr;
  }
  if (!(pngState.interlaced ? readInterlacedRows(target) : readPlainRows(target))) {
    explainRowFailure(report, failuresBefore);
    return nullptr;
  }
  // Grey, grey with alpha and palette pictures end here unless expanded.
  if (!intoImage) {
    refuseColourType(report);
    return nullptr;
  }
  if (pngState.expandedBytes != 0) describeExpanded(report);
  return image;
}

// decodePng, gathering the picture data within writable (the bytes themselves) when it is not
// null.
ImagePtr decodeChunks(ByteSpan bytes, std::uint8_t* writable, DecodeReport* report,
                      bool expand) noexcept {
  if (bytes.size() < kSignature.size() ||
      std::memcmp(bytes.data(), kSignature.data(), kSignature.size()) != 0) {
    return nullptr;
  }
  recognise(report, ImageFormat::png);
  if (bytes.size() < kMinFileBytes) {
    refuse(report, "PNG file of %zu bytes: files under %zu bytes are not read", bytes.size(),
           kMinFileBytes);
    return nullptr;
  }
  if (bytes.size() > kMaxInputFileBytes) {
    refuse(report, "file is 2 GiB or larger");
    return nullptr;
  }

  const PngStateReleaser releaser;
  releasePngState();  // every field, the header included, starts idle
  pngState.writableFile = writable;
  pngState.streamCursor = bytes.data() + kSignature.size();
  pngState.streamRemaining = static_cast<std::int32_t>(bytes.size() - kSignature.size());

  if (!readStreamU32(pngState.chunkLength)) return nullptr;
  for (;;) {
    // Where the chunk starts in the file, for the reasons.
    const auto chunkOffset = static_cast<std::size_t>(pngState.streamCursor - 4 - bytes.data());
    if (pngState.chunkLength > kMaxChunkLength) {  // chunk length
      refuse(report, "chunk at offset %zu: length %u is above 2^31 - 1 (damaged file)", chunkOffset,
             pngState.chunkLength);
      return nullptr;
    }
    ChunkType type{};
    if (!readStreamBytes(type.data(), 4) ||
        std::uint64_t{pngState.chunkLength} + kCrcBytes >
            static_cast<std::uint64_t>(pngState.streamRemaining)) {
      // the file ends inside the type, the data or the CRC
      refuse(report, "PNG file cut short inside chunk %s at offset %zu", nameOf(type).text,
             chunkOffset);
      return nullptr;
    }
    // The data is checked and handled where it stands in the file.
    const ByteSpan data(pngState.streamCursor, pngState.chunkLength);
    pngState.streamCursor += pngState.chunkLength;
    pngState.streamRemaining -= static_cast<std::int32_t>(pngState.chunkLength);
    std::uint32_t storedCrc = 0;
    if (!readStreamU32(storedCrc)) return nullptr;
    if (chunkCrc(type, data) != storedCrc) {  // CRC
      refuse(report, "chunk %s at offset %zu: CRC mismatch", nameOf(type).text, chunkOffset);
      return nullptr;
    }

    if (type == kTypeEnd) return finishPicture(report, expand);
    if (type == kTypeHeader) {
      if (!handleHeader(data, report, expand)) return nullptr;
    } else if (type == kTypePalette) {
      if (!handlePalette(data, report)) return nullptr;
    } else if (type == kTypeTransparency) {
      handleTransparency(data);
    } else if (type == kTypeImageData) {
      if (!handleImageData(data, static_cast<std::size_t>(data.data() - bytes.data()), report)) {
        return nullptr;
      }
    }
    pngState.chunkLength = 0;
    if (!readStreamU32(pngState.chunkLength)) {
      refuse(report, "PNG file cut short: it ends after chunk %s, before IEND", nameOf(type).text);
      return nullptr;
    }
  }
}

}  // namespace

ImagePtr decodePng(ByteSpan bytes, DecodeReport* report, bool expand) noexcept {
  return decodeChunks(bytes, nullptr, report, expand);
}

ImagePtr decodePngInPlace(std::uint8_t* bytes, std::size_t size, DecodeReport* report,
                          bool expand) noexcept {
  return decodeChunks(ByteSpan(bytes, size), bytes, report, expand);
}
