// BMP reader: uncompressed 24- and 32-bit pictures, bottom-up (positive height) or top-down
// (negative height). Pixel bytes are already B,G,R(,A), so rows are copied as they stand, their
// alignment bytes dropped.
//
// The fields after the file header are read at the offsets of a 40-byte info header whatever
// size the file declares; a larger header (108, 124 bytes) or a colour table before the pixel
// data offset is skipped unread.
//
// The file size field only has to stay within the file: many writers leave the info header out
// of it, or write less or nothing, so the rows are measured against the bytes the file really
// holds. The data may end up to two bytes before the end of the last stored row; those bytes
// become zero, never a read outside the file.
//
// Asked to expand, the reader also takes the layouts it otherwise refuses, always giving 8 bits
// per channel:
// - palette pictures of 1, 4 and 8 bits, uncompressed or run-length (RLE8, RLE4), with a colour
//   table of 4-byte entries after the info header (its colours-used field, when non-zero, cuts
//   it), or of 3-byte entries after the 12-byte OS/2 1.x header. The table is also cut where the
//   pixel data starts; an index past its end reads as black. 24-bit output.
// - 16-bit pixels, 5-5-5 without compression, and 16- or 32-bit pixels with bit-field masks
//   (compression 3, or 6 with an alpha mask), info headers of 40, 52, 56, 108 and 124 bytes. The
//   masks stand at file offsets 54..69 in all of them: inside the larger headers, after the
//   40-byte one. Each mask must be one run of bits and no two may share a bit; an n-bit field
//   becomes round(v * 255 / (2^n - 1)), an empty mask 0. 32-bit output when an alpha mask is
//   present and non-zero, else 24-bit.
// - OS/2 1.x files (12-byte header, 16-bit unsigned sides, so bottom-up only) of 1, 4, 8 and
//   24 bits.
// Run-length data is read to its end-of-picture escape or the file's end, whichever comes first;
// pixels it never reaches (deltas, early line ends, a short stream) are black. A run that passes
// the end of its row is cut there. Run-length data stored top row first is damaged and refused.
// Embedded JPEG or PNG data and 64-bit pixels stay refused.

#include "image/bmp_reader.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>

#include "base/heap.h"

namespace {

constexpr std::size_t kHeaderBytes = 54;  // file header + 40-byte info header
constexpr std::uint32_t kMaxExtraHeaderBytes = 5000;
constexpr std::int64_t kMinPixelDataBytes = 10;
constexpr std::int64_t kStrideTolerance = 2;

// Copies count bytes from bytes[offset..] to dst, zero-filling what lies beyond the file.
void copyOrZero(std::uint8_t* dst, ByteSpan bytes, std::size_t offset, std::size_t count) noexcept {
  const std::size_t present = offset < bytes.size() ? std::min(count, bytes.size() - offset) : 0;
  if (present != 0) std::memcpy(dst, bytes.data() + offset, present);
  std::memset(dst + present, 0, count - present);
}

// The name of a BMP compression method for the user.
const char* compressionName(std::uint32_t compression) noexcept {
  switch (compression) {
    case 1:
      return "RLE8";
    case 2:
      return "RLE4";
    case 3:
      return "bit fields";
    case 4:
      return "JPEG";
    case 5:
      return "PNG";
    case 6:
      return "alpha bit fields";
    default:
      return "unknown method";
  }
}

constexpr std::uint32_t kOs2InfoHeaderBytes = 12;
constexpr std::size_t kOs2HeaderBytes = 26;  // file header + OS/2 1.x info header
constexpr std::size_t kInfoSizeOffset = 14;
constexpr std::size_t kMaskOffset = 54;  // red, green, blue, alpha masks, 4 bytes each
constexpr std::size_t kColoursUsedOffset = 46;
constexpr std::size_t kMaxPaletteEntries = 256;

enum BmpCompression : std::uint32_t {
  kCompressionNone = 0,
  kCompressionRle8 = 1,
  kCompressionRle4 = 2,
  kCompressionBitFields = 3,
  kCompressionAlphaBitFields = 6,
};

// The bytes of an expanded layout's name, for the report and for the refusal without expand.
constexpr std::size_t kLayoutNameBytes = 32;

// One colour field of a bit-field pixel: its mask, the shift that brings it to bit 0 and its
// width in bits (0 for an empty mask).
struct ColourField {
  std::uint32_t mask = 0;
  unsigned shift = 0;
  unsigned bits = 0;
};

// What the header of a layout only read when expanding says, checked.
struct ExpandedBmp {
  std::uint32_t dataOffset = 0;
  unsigned width = 0;
  unsigned height = 0;
  bool topDown = false;
  unsigned bitsPerPixel = 0;
  std::uint32_t compression = kCompressionNone;
  bool bitFields = false;      // pixels are taken apart by `fields` (16 and 32 bits)
  ColourField fields[4] = {};  // blue, green, red, alpha
  unsigned channels = 3;
  std::uint8_t palette[kMaxPaletteEntries * 3] = {};  // B,G,R per entry; entries past the table 0
  char layout[kLayoutNameBytes] = {};                 // "palette 8-bit", for the report
  char noun[kLayoutNameBytes] = {};                   // "8-bit palette", for the refusal
};

// The field a mask selects, or nullopt when its bits are not one run.
std::optional<ColourField> colourField(std::uint32_t mask) noexcept {
  ColourField field;
  field.mask = mask;
  if (mask == 0) return field;
  field.shift = static_cast<unsigned>(std::countr_zero(mask));
  field.bits = static_cast<unsigned>(std::popcount(mask));
  if (field.shift + field.bits < 32 && (mask >> (field.shift + field.bits)) != 0) {
    return std::nullopt;
  }
  return field;
}

// round(value * 255 / (2^bits - 1)) for bits 1..32; the quotient never lies exactly halfway.
std::uint8_t scaleField(std::uint64_t value, unsigned bits) noexcept {
  const std::uint64_t maximum = (std::uint64_t{1} << bits) - 1;
  return static_cast<std::uint8_t>((value * 510 + maximum) / (2 * maximum));
}

void setNames(ExpandedBmp& header, const char* layout, const char* noun) noexcept {
  std::snprintf(header.layout, sizeof header.layout, "%s", layout);
  std::snprintf(header.noun, sizeof header.noun, "%s", noun);
}

// Reads and checks the header of a BMP file whose layout a default run refuses: palette,
// run-length, 16-bit and bit-field pictures, OS/2 1.x files. nullopt when the file is no such
// picture, and then, when it is one but damaged, with the reason in `verdict`.
std::optional<ExpandedBmp> readExpandedHeader(ByteSpan bytes, DecodeReport& verdict) noexcept {
  DecodeReport* const report = &verdict;
  ExpandedBmp header;
  const std::uint32_t infoSize = readLe32(bytes, kInfoSizeOffset);  // info header size
  const bool os2 = infoSize == kOs2InfoHeaderBytes;
  std::size_t paletteOffset = kInfoSizeOffset + std::size_t{infoSize};
  std::size_t entryBytes = 4;
  std::int64_t width = 0;
  std::int64_t heightField = 0;
  std::uint16_t planes = 0;
  std::uint32_t coloursUsed = 0;
  if (os2) {
    if (bytes.size() < kOs2HeaderBytes) {
      refuse(report, "BMP file cut short: %zu bytes, its headers alone take %zu", bytes.size(),
             kOs2HeaderBytes);
      return std::nullopt;
    }
    width = readLe16(bytes, 18);        // width
    heightField = readLe16(bytes, 20);  // height
    planes = readLe16(bytes, 22);       // planes
    header.bitsPerPixel = readLe16(bytes, 24);
    entryBytes = 3;
  } else {
    if (infoSize != 40 && infoSize != 52 && infoSize != 56 && infoSize != 108 && infoSize != 124) {
      refuse(report, "BMP info header of %u bytes is not one this program reads", infoSize);
      return std::nullopt;
    }
    if (bytes.size() < paletteOffset) {
      refuse(report, "BMP file cut short: %zu bytes, its headers alone take %zu", bytes.size(),
             paletteOffset);
      return std::nullopt;
    }
    width = static_cast<std::int32_t>(readLe32(bytes, 18));
    heightField = static_cast<std::int32_t>(readLe32(bytes, 22));
    planes = readLe16(bytes, 26);
    header.bitsPerPixel = readLe16(bytes, 28);
    header.compression = readLe32(bytes, 30);
    coloursUsed = readLe32(bytes, kColoursUsedOffset);
  }

  header.dataOffset = readLe32(bytes, 10);  // pixel data offset
  if (header.dataOffset < paletteOffset ||
      header.dataOffset > kHeaderBytes + std::size_t{kMaxExtraHeaderBytes}) {
    refuse(report, "BMP pixel data offset %u is outside %zu..%zu (damaged header)",
           header.dataOffset, paletteOffset, kHeaderBytes + kMaxExtraHeaderBytes);
    return std::nullopt;
  }
  if (const std::int64_t fileSizeField = readLe32(bytes, 2);
      fileSizeField > static_cast<std::int64_t>(bytes.size())) {
    refuse(report, "BMP file cut short: its header gives %lld bytes, the file holds %zu",
           static_cast<long long>(fileSizeField), bytes.size());
    return std::nullopt;
  }
  if (width < 1 || width > kMaxImageSide) {
    refuse(report, "BMP width %lld is outside 1..%u", static_cast<long long>(width), kMaxImageSide);
    return std::nullopt;
  }
  header.topDown = heightField < 0;
  const std::int64_t height = header.topDown ? -heightField : heightField;
  if (height < 1 || height > kMaxImageSide) {
    refuse(report, "BMP height %lld is outside 1..%u", static_cast<long long>(height),
           kMaxImageSide);
    return std::nullopt;
  }
  header.width = static_cast<unsigned>(width);
  header.height = static_cast<unsigned>(height);
  if (planes != 1) {
    refuse(report, "BMP planes field is %u, not 1 (damaged header)", unsigned{planes});
    return std::nullopt;
  }

  const unsigned bits = header.bitsPerPixel;
  const std::uint32_t compression = header.compression;
  const bool palette = bits == 1 || bits == 4 || bits == 8;
  const bool fieldsCompression =
      compression == kCompressionBitFields || compression == kCompressionAlphaBitFields;
  char layout[kLayoutNameBytes];
  char noun[kLayoutNameBytes];
  if (os2) {
    if (!palette && bits != 24) {
      refuse(report, "OS/2 BMP with %u bits per pixel is not converted", bits);
      return std::nullopt;
    }
    std::snprintf(layout, sizeof layout, "OS/2 %u-bit", bits);
    setNames(header, layout, "OS/2");
  } else if (compression == kCompressionNone && palette) {
    std::snprintf(layout, sizeof layout, "palette %u-bit", bits);
    std::snprintf(noun, sizeof noun, "%u-bit palette", bits);
    setNames(header, layout, noun);
  } else if (compression == kCompressionNone && bits == 16) {
    header.bitFields = true;
    header.fields[0] = {0x001F, 0, 5};
    header.fields[1] = {0x03E0, 5, 5};
    header.fields[2] = {0x7C00, 10, 5};
    setNames(header, "16-bit 5-5-5", "16-bit");
  } else if ((compression == kCompressionRle8 && bits == 8) ||
             (compression == kCompressionRle4 && bits == 4)) {
    if (header.topDown) {
      refuse(report, "BMP run-length data stored top row first (damaged header)");
      return std::nullopt;
    }
    const char* name = compression == kCompressionRle8 ? "RLE8" : "RLE4";
    setNames(header, name, name);
  } else if (fieldsCompression && (bits == 16 || bits == 32)) {
    header.bitFields = true;
    const bool alphaMask = compression == kCompressionAlphaBitFields || infoSize >= 56;
    std::uint32_t seen = 0;
    for (unsigned k = 0; k < (alphaMask ? 4u : 3u); ++k) {
      // Masks are stored red, green, blue, alpha; fields are kept blue, green, red, alpha.
      const std::uint32_t mask = readLe32(bytes, kMaskOffset + 4 * std::size_t{k});
      const std::optional<ColourField> field = colourField(mask);
      if (!field || (mask & seen) != 0) {
        refuse(report, "BMP bit-field masks %08X %08X %08X %08X overlap or are not one run of bits",
               readLe32(bytes, kMaskOffset), readLe32(bytes, kMaskOffset + 4),
               readLe32(bytes, kMaskOffset + 8),
               alphaMask ? readLe32(bytes, kMaskOffset + 12) : 0u);
        return std::nullopt;
      }
      seen |= mask;
      header.fields[k < 3 ? 2 - k : 3] = *field;
    }
    if (header.fields[3].bits != 0) header.channels = 4;
    std::snprintf(layout, sizeof layout, "bit fields %u-bit", bits);
    std::snprintf(noun, sizeof noun, "%u-bit bit-field", bits);
    setNames(header, layout, noun);
  } else {
    return std::nullopt;  // the default run's reason stands
  }

  if (palette) {
    std::size_t entries = std::size_t{1} << bits;
    if (!os2 && coloursUsed != 0 && coloursUsed < entries) entries = coloursUsed;
    entries = std::min(entries, (header.dataOffset - paletteOffset) / entryBytes);
    for (std::size_t entry = 0; entry < entries; ++entry) {
      for (std::size_t k = 0; k < 3; ++k) {
        header.palette[3 * entry + k] = readU8(bytes, paletteOffset + entry * entryBytes + k);
      }
    }
  }
  return header;
}

// Writes the 24-bit palette colours of one stored row of 1-, 4- or 8-bit indices.
void convertPaletteRow(const ExpandedBmp& header, const std::uint8_t* source,
                       std::uint8_t* target) noexcept {
  const unsigned bits = header.bitsPerPixel;
  const unsigned indexMask = (1u << bits) - 1;
  const unsigned perByte = 8 / bits;
  for (std::size_t x = 0; x < header.width; ++x, target += 3) {
    const unsigned shift = 8 - bits - bits * static_cast<unsigned>(x % perByte);
    const unsigned index = (unsigned{source[x / perByte]} >> shift) & indexMask;
    std::memcpy(target, header.palette + 3 * std::size_t{index}, 3);
  }
}

// The 8-bit values of a field for every value of up to 8 bits; fields wider than that are
// scaled pixel by pixel.
struct FieldScale {
  std::uint8_t table[256] = {};
  explicit FieldScale(const ColourField& field) noexcept {
    if (field.bits == 0 || field.bits > 8) return;
    for (std::uint32_t value = 0; value < (1u << field.bits); ++value) {
      table[value] = scaleField(value, field.bits);
    }
  }
};

// Writes the 8-bit channels of one stored row of 16- or 32-bit bit-field pixels.
void convertFieldRow(const ExpandedBmp& header, const FieldScale* scales,
                     const std::uint8_t* source, std::uint8_t* target) noexcept {
  const unsigned channels = header.channels;
  const bool wide = header.bitsPerPixel == 32;
  for (std::size_t x = 0; x < header.width; ++x, target += channels) {
    const std::uint32_t pixel =
        wide ? static_cast<std::uint32_t>(source[4 * x]) |
                   static_cast<std::uint32_t>(source[4 * x + 1]) << 8 |
                   static_cast<std::uint32_t>(source[4 * x + 2]) << 16 |
                   static_cast<std::uint32_t>(source[4 * x + 3]) << 24
             : static_cast<std::uint32_t>(source[2 * x] | source[2 * x + 1] << 8);
    for (unsigned k = 0; k < channels; ++k) {
      const ColourField& field = header.fields[k];
      const std::uint32_t value = (pixel & field.mask) >> field.shift;
      target[k] = field.bits == 0   ? std::uint8_t{0}
                  : field.bits <= 8 ? scales[k].table[value]
                                    : scaleField(value, field.bits);
    }
  }
}

// Uncompressed expanded layouts: rows of palette indices, bit-field pixels or (OS/2) B,G,R.
// The data may end up to two bytes early, like a default file's; the missing bytes read as zero.
ImagePtr decodeExpandedRows(ByteSpan bytes, DecodeReport* report,
                            const ExpandedBmp& header) noexcept {
  const std::uint64_t stride =
      (std::uint64_t{header.bitsPerPixel} * header.width + 31) / 32 * 4;  // whole 4-byte words
  const std::int64_t availableData =
      static_cast<std::int64_t>(bytes.size()) - std::int64_t{header.dataOffset};
  const auto needed = static_cast<std::int64_t>(stride * header.height);
  if (availableData < needed - kStrideTolerance) {
    refuse(report, "BMP file cut short: %u rows of %llu bytes need %lld bytes, it holds %lld",
           header.height, static_cast<unsigned long long>(stride), static_cast<long long>(needed),
           static_cast<long long>(std::max<std::int64_t>(availableData, 0)));
    return nullptr;
  }
  ImagePtr image = createImage(header.channels, header.height, header.width);
  // The last stored row, when the file ends inside it, is read through a copy.
  HeapPtr<std::uint8_t[]> lastRow = allocateArray<std::uint8_t>(static_cast<std::size_t>(stride));
  if (!image || !lastRow) {
    refuseForMemory(report);
    return nullptr;
  }
  FieldScale scales[4] = {FieldScale(header.fields[0]), FieldScale(header.fields[1]),
                          FieldScale(header.fields[2]), FieldScale(header.fields[3])};
  const std::size_t rowBytes = image->rowBytes();
  const auto strideBytes = static_cast<std::size_t>(stride);
  for (std::size_t row = 0; row < header.height; ++row) {
    const std::size_t offset = header.dataOffset + row * strideBytes;
    const std::uint8_t* source = bytes.data() + offset;
    if (!holds(bytes, offset, strideBytes)) {
      copyOrZero(lastRow.get(), bytes, offset, strideBytes);
      source = lastRow.get();
    }
    const std::size_t target = header.topDown ? header.height - 1 - row : row;
    std::uint8_t* dst = image->pixels() + target * rowBytes;
    if (header.bitFields) {
      convertFieldRow(header, scales, source, dst);
    } else if (header.bitsPerPixel == 24) {
      std::memcpy(dst, source, rowBytes);
    } else {
      convertPaletteRow(header, source, dst);
    }
  }
  return image;
}

// RLE8 and RLE4 data: pairs of bytes, a count and a value (a run), or 0 and an escape: 0 end of
// line, 1 end of picture, 2 a delta (two bytes, right and up), 3..255 that many indices stored
// as they are, padded to a 2-byte boundary. Rows run bottom-up. Every pixel is written at most
// once, since the position only moves right within a row or up to a later row, so the work is
// bounded by the picture and the file, and the pixels no packet reaches keep the fresh zero
// pages of the picture.
ImagePtr decodeRunLength(ByteSpan bytes, DecodeReport* report, const ExpandedBmp& header) noexcept {
  if (!holds(bytes, header.dataOffset, 2)) {
    refuse(report, "BMP file cut short: no run-length data after the headers");
    return nullptr;
  }
  ImagePtr image = createZeroedImage(3, header.height, header.width);
  if (!image) {
    refuseForMemory(report);
    return nullptr;
  }
  const bool rle4 = header.compression == kCompressionRle4;
  const std::size_t width = header.width;
  const std::size_t rowBytes = image->rowBytes();
  std::size_t x = 0;
  std::size_t y = 0;
  std::size_t at = header.dataOffset;
  // Writes the colour of `index` at (x, y) when x lies in the row, and moves right.
  const auto put = [&](unsigned index) noexcept {
    if (x < width) {
      std::memcpy(image->pixels() + y * rowBytes + 3 * x, header.palette + 3 * std::size_t{index},
                  3);
    }
    ++x;
  };
  while (y < header.height && holds(bytes, at, 2)) {
    const unsigned count = bytes[at];
    const unsigned value = bytes[at + 1];
    at += 2;
    if (count != 0) {  // a run of count pixels
      const std::size_t reach = std::min<std::size_t>(count, x < width ? width - x : 0);
      for (std::size_t k = 0; k < reach; ++k) {
        put(rle4 ? (k % 2 == 0 ? value >> 4u : value & 0x0Fu) : unsigned{value});
      }
      x += count - reach;
    } else if (value == 0) {  // end of line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of picture
      break;
    } else if (value == 2) {  // delta
      if (!holds(bytes, at, 2)) break;
      x += bytes[at];
      y += bytes[at + 1];
      at += 2;
    } else {  // value indices stored as they are
      const std::size_t dataBytes = rle4 ? (value + std::size_t{1}) / 2 : value;
      const std::size_t present = std::min(dataBytes, bytes.size() - at);
      const std::size_t pixels = rle4 ? std::min<std::size_t>(value, 2 * present) : present;
      for (std::size_t k = 0; k < pixels; ++k) {
        const unsigned packed = bytes[at + (rle4 ? k / 2 : k)];
        put(rle4 ? (k % 2 == 0 ? packed >> 4 : packed & 0x0Fu) : packed);
      }
      if (present < dataBytes) break;
      at += dataBytes + dataBytes % 2;
    }
  }
  return image;
}

// The reading of a layout a default run refuses. Without expand, the refusal names the switch
// when expanding would read the file; with it, the picture, with the layout's name in the
// report. `claimed` is cleared when the file is no layout that expanding reads (the default
// run's reason then stands) and set otherwise.
ImagePtr decodeExpanded(ByteSpan bytes, DecodeReport* report, bool expand, bool& claimed) noexcept {
  DecodeReport verdict;
  const std::optional<ExpandedBmp> header = readExpandedHeader(bytes, verdict);
  claimed = header.has_value() || (expand && verdict.reason[0] != '\0');
  if (!header) {
    if (claimed) refuse(report, "%s", verdict.reason);
    return nullptr;
  }
  if (!expand) {
    refuse(report, "%s BMP is not converted without --expand", header->noun);
    return nullptr;
  }
  ImagePtr image =
      header->compression == kCompressionRle8 || header->compression == kCompressionRle4
          ? decodeRunLength(bytes, report, *header)
          : decodeExpandedRows(bytes, report, *header);
  if (image) describeLayout(report, "%s", header->layout);
  return image;
}

}  // namespace

ImagePtr decodeBmp(ByteSpan bytes, DecodeReport* report, bool expand) noexcept {
  if (bytes.size() < 2 || bytes[0] != 'B' || bytes[1] != 'M') return nullptr;  // signature
  recognise(report, ImageFormat::bmp);
  bool claimed = false;
  // An OS/2 1.x header holds two 16-bit sides where a default run reads the 32-bit width, so a
  // default run refuses every such file with a height.
  if (const auto widthField = static_cast<std::int32_t>(readLe32(bytes, 18));
      readLe32(bytes, kInfoSizeOffset) == kOs2InfoHeaderBytes &&
      (bytes.size() < kHeaderBytes || widthField < 1 ||
       widthField > static_cast<std::int32_t>(kMaxImageSide))) {
    ImagePtr image = decodeExpanded(bytes, report, expand, claimed);
    if (image || claimed) return image;
  }
  if (bytes.size() < kHeaderBytes) {
    refuse(report, "BMP file cut short: %zu bytes, its headers alone take %zu", bytes.size(),
           kHeaderBytes);
    return nullptr;
  }

  const std::uint32_t dataOffset = readLe32(bytes, 10);  // pixel data offset
  if (dataOffset - std::uint32_t{kHeaderBytes} > kMaxExtraHeaderBytes) {
    refuse(report, "BMP pixel data offset %u is outside %zu..%zu (damaged header)", dataOffset,
           kHeaderBytes, kHeaderBytes + kMaxExtraHeaderBytes);
    return nullptr;
  }

  const std::int64_t fileSizeField = readLe32(bytes, 2);  // file size
  const auto fileBytes = static_cast<std::int64_t>(bytes.size());
  if (fileSizeField > fileBytes) {
    refuse(report, "BMP file cut short: its header gives %lld bytes, the file holds %zu",
           static_cast<long long>(fileSizeField), bytes.size());
    return nullptr;
  }
  // Negative when the pixel data offset lies beyond the file's end.
  const std::int64_t availableData = fileBytes - dataOffset;

  const auto width = static_cast<std::int32_t>(readLe32(bytes, 18));
  if (width < 1 || width > static_cast<std::int32_t>(kMaxImageSide)) {
    refuse(report, "BMP width %d is outside 1..%u", width, kMaxImageSide);
    return nullptr;
  }
  const auto heightField = static_cast<std::int32_t>(readLe32(bytes, 22));
  const bool topDown = heightField < 0;
  const std::int64_t height = topDown ? -std::int64_t{heightField} : heightField;
  if (height < 1 || height > kMaxImageSide) {
    refuse(report, "BMP height %lld is outside 1..%u", static_cast<long long>(height),
           kMaxImageSide);
    return nullptr;
  }

  const std::uint16_t bitsPerPixel = readLe16(bytes, 28);
  if ((bitsPerPixel != 24 && bitsPerPixel != 32) || readLe16(bytes, 26) != 1 ||
      readLe32(bytes, 30) != 0) {  // bits per pixel, planes, compression
    ImagePtr image = decodeExpanded(bytes, report, expand, claimed);
    if (image || claimed) return image;
  }
  if (bitsPerPixel != 24 && bitsPerPixel != 32) {
    if (bitsPerPixel >= 1 && bitsPerPixel <= 8) {
      refuse(report, "BMP with %u-bit palette is not converted: save it as 24- or 32-bit BMP",
             unsigned{bitsPerPixel});
    } else {
      refuse(report, "BMP with %u bits per pixel is not converted: save it as 24- or 32-bit BMP",
             unsigned{bitsPerPixel});
    }
    return nullptr;
  }
  if (readLe16(bytes, 26) != 1) {  // planes
    refuse(report, "BMP planes field is %u, not 1 (damaged header)", unsigned{readLe16(bytes, 26)});
    return nullptr;
  }
  if (const std::uint32_t compression = readLe32(bytes, 30); compression != 0) {  // compression
    refuse(report,
           "BMP compressed (%s) is not converted: save it as uncompressed 24- or 32-bit BMP",
           compressionName(compression));
    return nullptr;
  }

  const std::int64_t stride = (std::int64_t{bitsPerPixel} * width / 8 + 3) & ~std::int64_t{3};
  if (availableData < stride * height - kStrideTolerance) {
    refuse(report, "BMP file cut short: %lld rows of %lld bytes need %lld bytes, it holds %lld",
           static_cast<long long>(height), static_cast<long long>(stride),
           static_cast<long long>(stride * height),
           static_cast<long long>(std::max<std::int64_t>(availableData, 0)));
    return nullptr;
  }
  if (availableData < kMinPixelDataBytes) {
    refuse(report, "BMP pixel data of %lld bytes is under the %lld bytes a BMP file must hold",
           static_cast<long long>(availableData), static_cast<long long>(kMinPixelDataBytes));
    return nullptr;
  }

  const unsigned channels = bitsPerPixel / 8u;
  ImagePtr image =
      createImage(channels, static_cast<unsigned>(height), static_cast<unsigned>(width));
  if (!image) {
    refuseForMemory(report);
    return nullptr;
  }

  const std::size_t rowBytes = image->rowBytes();
  const auto strideBytes = static_cast<std::size_t>(stride);
  const std::size_t rowCount = image->height;
  std::uint8_t* dst = image->pixels();
  if (strideBytes == rowBytes && !topDown) {
    copyOrZero(dst, bytes, dataOffset, image->pixelBytes());
  } else {
    // Rows are dropped of their alignment bytes and, for a top-down file, put bottom row first
    // as they are copied.
    for (std::size_t row = 0; row < rowCount; ++row) {
      const std::size_t target = topDown ? rowCount - 1 - row : row;
      copyOrZero(dst + target * rowBytes, bytes, dataOffset + row * strideBytes, rowBytes);
    }
  }
  return image;
}
