// TGA reader: true-colour pictures of 24 or 32 bits per pixel, uncompressed (image type 2) or
// run-length encoded (image type 10). TGA pixels are already B,G,R(,A) and rows are stored
// bottom-up unless descriptor bit 5 says top row first, so pixel bytes are taken over unchanged.
//
// TGA has no signature: the header tests are all that keep this reader from claiming other
// formats (their second byte, the colour map type here, is never 0). The image ID field is
// skipped unread, and whatever follows the pixel data (footer, extension area) is ignored. The
// descriptor's alpha bit count and right-to-left bit are not examined; the fourth byte of a
// 32-bit pixel is always alpha.
//
// Lenient: run-length data that ends before the picture is full is accepted, the pixels no
// packet reached being zero. Uncompressed data must hold every pixel; surplus bytes are ignored.
//
// Asked to expand, the reader also takes, uncompressed or run-length, always at 8 bits per
// channel:
// - colour-mapped pictures (types 1, 9; colour map type 1) of 8- or 16-bit indices into a map of
//   15-, 16-, 24- or 32-bit entries, which follows the ID field. An index is the map's first-entry
//   index plus the entry's place; one outside the map is damage and refuses the file. 32-bit
//   entries give a 32-bit picture, their fourth byte the alpha; the others 24-bit.
// - grey pictures (types 3, 11): 8-bit grey gives 24-bit grey, 16-bit grey and alpha 32-bit.
// - true-colour pictures of 15 or 16 bits (types 2, 10): 5 bits each of blue, green and red
//   from the bottom up, scaled to round(v * 255 / 31); the top bit is ignored. 24-bit output.
// A run-length packet of these pixel sizes converts its pixel once and repeats the result, so
// the work stays bounded by the picture, as for the default types.

#include "image/tga_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "base/heap.h"

namespace {

constexpr std::size_t kHeaderBytes = 18;
// The image types of the header's third byte; the run-length form of each is its type + 8.
enum TgaImageType : std::uint8_t {
  kTypeColourMapped = 1,
  kTypeTrueColour = 2,
  kTypeGrey = 3,
  kTypeColourMappedRle = 9,
  kTypeTrueColourRle = 10,
  kTypeGreyRle = 11,
};
constexpr char kTgaAdvice[] = "save it as 24- or 32-bit true-colour TGA";
constexpr std::uint8_t kDescriptorTopFirst = 0x20;  // first stored row is the top row
constexpr std::uint8_t kPacketRun = 0x80;           // packet header: run packet
constexpr std::uint8_t kPacketCountMask = 0x7F;

// Writes the kPixelSize-byte pixel count times from dst on; runs are at most 128 pixels, so
// fixed-size stores beat a chain of growing copies.
template <std::size_t kPixelSize>
void fillRun(std::uint8_t* dst, const std::uint8_t* pixel, std::size_t count) noexcept {
  std::uint8_t value[kPixelSize];
  std::memcpy(value, pixel, kPixelSize);
  for (std::size_t k = 0; k < count; ++k, dst += kPixelSize) std::memcpy(dst, value, kPixelSize);
}

// unpackTgaRle without the zero fill: output bytes no packet reaches are left as they are.
// `written` receives the number of output bytes the packets filled, all at the start.
std::size_t unpackRuns(std::uint8_t* output, std::size_t outputBytes, const std::uint8_t* input,
                       std::size_t inputBytes, std::size_t pixelSize,
                       std::size_t& written) noexcept {
  std::size_t outputLeft = outputBytes;
  std::size_t inputLeft = inputBytes;
  if (pixelSize != 0) {
    // Each packet needs its header byte and at least one whole pixel.
    while (outputLeft > 0 && inputLeft > pixelSize) {
      const std::uint8_t header = *input++;
      --inputLeft;
      std::size_t count = (header & kPacketCountMask) + std::size_t{1};
      count = std::min(count, outputLeft / pixelSize);
      if ((header & kPacketRun) != 0) {
        const std::size_t bytes = count * pixelSize;
        if (pixelSize == 3) {
          fillRun<3>(output, input, count);
        } else if (pixelSize == 4) {
          fillRun<4>(output, input, count);
        } else if (bytes != 0) {
          std::memcpy(output, input, pixelSize);
          repeatPixel(output, pixelSize, count);
        }
        input += pixelSize;
        inputLeft -= pixelSize;
        output += bytes;
        outputLeft -= bytes;
      } else {
        count = std::min(count, inputLeft / pixelSize);
        const std::size_t bytes = count * pixelSize;
        if (bytes != 0) std::memcpy(output, input, bytes);
        input += bytes;
        inputLeft -= bytes;
        output += bytes;
        outputLeft -= bytes;
      }
    }
  }
  written = outputBytes - outputLeft;
  return inputLeft;
}

// True when the header of a file of at least kHeaderBytes holds together as a TGA header of any
// kind, so that its refusal says more than "not a picture this program reads".
bool looksLikeTga(ByteSpan bytes) noexcept {
  const std::uint8_t colourMapType = readU8(bytes, 1);
  const std::uint8_t imageType = readU8(bytes, 2);
  const std::uint8_t pixelDepth = readU8(bytes, 16);
  const bool knownType = imageType == kTypeColourMapped || imageType == kTypeTrueColour ||
                         imageType == kTypeGrey || imageType == kTypeColourMappedRle ||
                         imageType == kTypeTrueColourRle || imageType == kTypeGreyRle;
  const bool knownDepth = pixelDepth == 8 || pixelDepth == 15 || pixelDepth == 16 ||
                          pixelDepth == 24 || pixelDepth == 32;
  return colourMapType <= 1 && knownType && knownDepth && readLe16(bytes, 12) != 0 &&
         readLe16(bytes, 14) != 0;
}

constexpr std::uint8_t kColourMapPresent = 1;
constexpr std::size_t kLayoutNameBytes = 40;

// What the stored pixels of an expanded layout are.
enum class TgaSource : std::uint8_t { mappedIndex, grey, greyAlpha, fiveBits };

// The header of a layout read only when expanding, checked, and the colour map converted to the
// picture's pixel layout.
struct ExpandedTga {
  TgaSource source = TgaSource::grey;
  unsigned width = 0;
  unsigned height = 0;
  bool runLength = false;
  std::size_t storedBytes = 0;  // bytes of one stored pixel or index
  unsigned channels = 3;
  std::size_t dataOffset = 0;  // first byte of pixel data, after the ID field and colour map
  unsigned firstEntry = 0;     // colour map first entry index
  std::size_t mapEntries = 0;
  HeapPtr<std::uint8_t[]> map;         // mapEntries pixels of `channels` bytes
  char layout[kLayoutNameBytes] = {};  // "colour-mapped 8-bit", for the report
  const char* noun = "";               // what the refusal without expand calls it
};

// The 8-bit value of a 5-bit channel.
std::uint8_t scaleFive(unsigned value) noexcept {
  return static_cast<std::uint8_t>((value * 255 + 15) / 31);
}

// Writes B,G,R of a 15- or 16-bit pixel stored little-endian at source.
void convertFiveBits(const std::uint8_t* source, std::uint8_t* target) noexcept {
  const unsigned pixel = source[0] | unsigned{source[1]} << 8;
  target[0] = scaleFive(pixel & 0x1F);
  target[1] = scaleFive((pixel >> 5) & 0x1F);
  target[2] = scaleFive((pixel >> 10) & 0x1F);
}

// Reads and checks the header of a TGA file whose layout a default run refuses. nullopt when the
// file is no such picture, and then, when it is one but damaged or short of memory, with the
// reason in `verdict`.
std::optional<ExpandedTga> readExpandedHeader(ByteSpan bytes, DecodeReport& verdict) noexcept {
  DecodeReport* const report = &verdict;
  ExpandedTga header;
  const std::uint8_t colourMapType = readU8(bytes, 1);  // colour map type
  const std::uint8_t imageType = readU8(bytes, 2);      // image type
  const unsigned mapLength = readLe16(bytes, 5);        // colour map length
  const std::uint8_t entryBits = readU8(bytes, 7);      // colour map entry size
  const std::uint8_t pixelDepth = readU8(bytes, 16);    // pixel depth
  header.runLength = imageType > kTypeGrey;
  const char* kind = header.runLength ? "run-length " : "";
  if (imageType == kTypeColourMapped || imageType == kTypeColourMappedRle) {
    if (colourMapType != kColourMapPresent || mapLength == 0 ||
        (pixelDepth != 8 && pixelDepth != 16) ||
        (entryBits != 15 && entryBits != 16 && entryBits != 24 && entryBits != 32)) {
      return std::nullopt;
    }
    header.source = TgaSource::mappedIndex;
    header.channels = entryBits == 32 ? 4 : 3;
    header.noun = "colour-mapped picture";
    std::snprintf(header.layout, sizeof header.layout, "%scolour-mapped %u-bit", kind,
                  unsigned{pixelDepth});
  } else if (colourMapType != 0 || mapLength != 0) {
    return std::nullopt;
  } else if (imageType == kTypeGrey || imageType == kTypeGreyRle) {
    if (pixelDepth != 8 && pixelDepth != 16) return std::nullopt;
    header.source = pixelDepth == 8 ? TgaSource::grey : TgaSource::greyAlpha;
    header.channels = pixelDepth == 8 ? 3 : 4;
    header.noun = "greyscale picture";
    std::snprintf(header.layout, sizeof header.layout, "%s%s", kind,
                  pixelDepth == 8 ? "grey 8-bit" : "grey and alpha 16-bit");
  } else if (imageType == kTypeTrueColour || imageType == kTypeTrueColourRle) {
    if (pixelDepth != 15 && pixelDepth != 16) return std::nullopt;
    header.source = TgaSource::fiveBits;
    header.noun = pixelDepth == 15 ? "with 15 bits per pixel" : "with 16 bits per pixel";
    std::snprintf(header.layout, sizeof header.layout, "%s%u-bit", kind, unsigned{pixelDepth});
  } else {
    return std::nullopt;
  }
  header.storedBytes = pixelDepth == 8 ? 1 : 2;

  header.width = readLe16(bytes, 12);  // width
  if (header.width < 1 || header.width > kMaxImageSide) {
    refuse(report, "TGA width %u is outside 1..%u", header.width, kMaxImageSide);
    return std::nullopt;
  }
  header.height = readLe16(bytes, 14);  // height
  if (header.height < 1 || header.height > kMaxImageSide) {
    refuse(report, "TGA height %u is outside 1..%u", header.height, kMaxImageSide);
    return std::nullopt;
  }

  const std::size_t mapOffset = kHeaderBytes + readU8(bytes, 0);  // after the ID field
  header.dataOffset = mapOffset;
  if (header.source == TgaSource::mappedIndex) {
    const std::size_t entryBytes = (entryBits + 7u) / 8u;
    header.firstEntry = readLe16(bytes, 3);  // colour map first entry index
    header.mapEntries = mapLength;
    header.dataOffset = mapOffset + header.mapEntries * entryBytes;
    if (!holds(bytes, mapOffset, header.mapEntries * entryBytes)) {
      refuse(report, "TGA file cut short: its colour map of %zu entries needs %zu bytes",
             header.mapEntries, header.mapEntries * entryBytes);
      return std::nullopt;
    }
    header.map = allocateArray<std::uint8_t>(header.mapEntries * header.channels);
    if (!header.map) {
      refuseForMemory(report);
      return std::nullopt;
    }
    const std::uint8_t* entry = bytes.data() + mapOffset;
    std::uint8_t* target = header.map.get();
    for (std::size_t k = 0; k < header.mapEntries;
         ++k, entry += entryBytes, target += header.channels) {
      if (entryBytes == 2) {
        convertFiveBits(entry, target);
      } else {
        std::memcpy(target, entry, header.channels);
      }
    }
  }
  if (bytes.size() <= header.dataOffset) {
    refuse(report, "TGA file cut short: no pixel data after the header");
    return std::nullopt;
  }
  return header;
}

// Writes the picture's pixel for the stored pixel or index at source; false when an index lies
// outside the colour map.
bool convertPixel(const ExpandedTga& header, const std::uint8_t* source,
                  std::uint8_t* target) noexcept {
  switch (header.source) {
    case TgaSource::mappedIndex: {
      const unsigned index =
          header.storedBytes == 1 ? source[0] : source[0] | unsigned{source[1]} << 8;
      const std::size_t entry = index - std::size_t{header.firstEntry};
      if (index < header.firstEntry || entry >= header.mapEntries) return false;
      std::memcpy(target, header.map.get() + entry * header.channels, header.channels);
      return true;
    }
    case TgaSource::grey:
      target[0] = target[1] = target[2] = source[0];
      return true;
    case TgaSource::greyAlpha:
      target[0] = target[1] = target[2] = source[0];
      target[3] = source[1];
      return true;
    case TgaSource::fiveBits:
      convertFiveBits(source, target);
      return true;
  }
  return true;
}

// Converts `count` stored pixels in a row of the picture's pixels; false on a bad index.
bool convertPixels(const ExpandedTga& header, const std::uint8_t* source, std::uint8_t* target,
                   std::size_t count) noexcept {
  for (std::size_t k = 0; k < count; ++k) {
    if (!convertPixel(header, source, target)) return false;
    source += header.storedBytes;
    target += header.channels;
  }
  return true;
}

// unpackRuns for an expanded layout: packets of stored pixels become the picture's pixels, a
// run's pixel converted once. false on a bad index; `written` receives the pixels filled.
bool unpackConvertedRuns(const ExpandedTga& header, Image& image, const std::uint8_t* input,
                         std::size_t inputBytes, std::size_t& written) noexcept {
  const std::size_t pixelSize = header.storedBytes;
  const std::size_t channels = header.channels;
  const std::size_t total = std::size_t{image.width} * image.height;
  std::uint8_t* output = image.pixels();
  std::size_t inputLeft = inputBytes;
  written = 0;
  // Each packet needs its header byte and at least one whole pixel.
  while (written < total && inputLeft > pixelSize) {
    const std::uint8_t packet = *input++;
    --inputLeft;
    std::size_t count = (packet & kPacketCountMask) + std::size_t{1};
    count = std::min(count, total - written);
    if ((packet & kPacketRun) != 0) {
      if (!convertPixel(header, input, output)) return false;
      repeatPixel(output, channels, count);
      input += pixelSize;
      inputLeft -= pixelSize;
    } else {
      count = std::min(count, inputLeft / pixelSize);
      if (!convertPixels(header, input, output, count)) return false;
      input += count * pixelSize;
      inputLeft -= count * pixelSize;
    }
    output += count * channels;
    written += count;
  }
  return true;
}

// The reading of a layout a default run refuses. Without expand, the refusal names the switch
// when expanding would read the file; with it, the picture, with the layout's name in the
// report. `claimed` is cleared when the file is no layout that expanding reads (the default
// run's reason then stands) and set otherwise.
ImagePtr decodeExpanded(ByteSpan bytes, DecodeReport* report, bool expand, bool& claimed) noexcept {
  DecodeReport verdict;
  const std::optional<ExpandedTga> header = readExpandedHeader(bytes, verdict);
  claimed = header.has_value() || (expand && verdict.reason[0] != '\0');
  if (!header) {
    if (claimed) {
      if (verdict.outOfMemory) {
        refuseForMemory(report, verdict.reason);
      } else {
        refuse(report, "%s", verdict.reason);
      }
    }
    return nullptr;
  }
  if (!expand) {
    refuse(report, "TGA %s is not converted without --expand", header->noun);
    return nullptr;
  }

  const std::size_t pixels = std::size_t{header->width} * header->height;
  const std::size_t dataBytes = bytes.size() - header->dataOffset;
  if (!header->runLength && dataBytes < pixels * header->storedBytes) {
    refuse(report, "TGA file cut short: %zu bytes of pixel data, the picture needs %zu", dataBytes,
           pixels * header->storedBytes);
    return nullptr;
  }
  ImagePtr image = header->runLength
                       ? createZeroedImage(header->channels, header->height, header->width)
                       : createImage(header->channels, header->height, header->width);
  if (!image) {
    refuseForMemory(report);
    return nullptr;
  }
  const std::uint8_t* data = bytes.data() + header->dataOffset;
  const bool topFirst = (readU8(bytes, 17) & kDescriptorTopFirst) != 0;  // image descriptor
  const std::size_t rowBytes = image->rowBytes();
  bool inMap = true;
  if (!header->runLength) {
    // Rows are put bottom row first as they are converted.
    for (std::size_t row = 0; row < header->height && inMap; ++row) {
      const std::size_t target = topFirst ? header->height - 1 - row : row;
      inMap = convertPixels(*header, data + row * header->width * header->storedBytes,
                            image->pixels() + target * rowBytes, header->width);
    }
  } else {
    std::size_t written = 0;
    inMap = unpackConvertedRuns(*header, *image, data, dataBytes, written);
    if (inMap && topFirst) flipLeadingRows(*image, (written + header->width - 1) / header->width);
  }
  if (!inMap) {
    refuse(report, "TGA colour index outside the colour map of %zu entries from %u (damaged file)",
           header->mapEntries, header->firstEntry);
    return nullptr;
  }
  describeLayout(report, "%s", header->layout);
  return image;
}

}  // namespace

std::size_t unpackTgaRle(std::uint8_t* output, std::size_t outputBytes, const std::uint8_t* input,
                         std::size_t inputBytes, std::size_t pixelSize) noexcept {
  std::size_t written = 0;
  const std::size_t inputLeft =
      unpackRuns(output, outputBytes, input, inputBytes, pixelSize, written);
  if (written < outputBytes) std::memset(output + written, 0, outputBytes - written);
  return inputLeft;
}

ImagePtr decodeTga(ByteSpan bytes, DecodeReport* report, bool expand) noexcept {
  if (bytes.size() < kHeaderBytes) return nullptr;
  if (report != nullptr && !looksLikeTga(bytes)) report = nullptr;  // not ours to explain
  recognise(report, ImageFormat::tga);
  const std::size_t idLength = readU8(bytes, 0);  // ID length
  if (bytes.size() - kHeaderBytes <= idLength) {  // no data byte
    refuse(report, "TGA file cut short: no pixel data after the header");
    return nullptr;
  }
  const std::size_t dataOffset = kHeaderBytes + idLength;
  const std::size_t dataBytes = bytes.size() - dataOffset;

  const std::uint8_t imageType = readU8(bytes, 2);  // image type
  if (const std::uint8_t pixelDepth = readU8(bytes, 16);
      readLe16(bytes, 5) != 0 || readU8(bytes, 1) != 0 ||
      (imageType != kTypeTrueColour && imageType != kTypeTrueColourRle) ||
      (pixelDepth != 24 && pixelDepth != 32)) {  // a layout a default run refuses
    bool claimed = false;
    ImagePtr image = decodeExpanded(bytes, report, expand, claimed);
    if (image || claimed) return image;
  }
  if (readLe16(bytes, 5) != 0 || readU8(bytes, 1) != 0 ||  // colour map length, type
      imageType == kTypeColourMapped || imageType == kTypeColourMappedRle) {
    refuse(report, "TGA colour-mapped picture is not converted: %s", kTgaAdvice);
    return nullptr;
  }
  if (imageType != kTypeTrueColour && imageType != kTypeTrueColourRle) {
    refuse(report, "TGA greyscale picture is not converted: %s", kTgaAdvice);
    return nullptr;
  }
  const unsigned width = readLe16(bytes, 12);  // width
  if (width < 1 || width > kMaxImageSide) {
    refuse(report, "TGA width %u is outside 1..%u", width, kMaxImageSide);
    return nullptr;
  }
  const unsigned height = readLe16(bytes, 14);  // height
  if (height < 1 || height > kMaxImageSide) {
    refuse(report, "TGA height %u is outside 1..%u", height, kMaxImageSide);
    return nullptr;
  }
  const std::uint8_t pixelDepth = readU8(bytes, 16);  // pixel depth
  if (pixelDepth != 24 && pixelDepth != 32) {
    refuse(report, "TGA with %u bits per pixel is not converted: %s", unsigned{pixelDepth},
           kTgaAdvice);
    return nullptr;
  }
  const unsigned channels = pixelDepth / 8u;

  const std::size_t pixelBytes = std::size_t{channels} * height * width;
  if (imageType == kTypeTrueColour && dataBytes < pixelBytes) {
    refuse(report, "TGA file cut short: %zu bytes of pixel data, the picture needs %zu", dataBytes,
           pixelBytes);
    return nullptr;
  }

  // A run-length picture starts zero, from fresh pages where it is large, so the pixels no packet
  // reaches cost nothing: a short stream claiming a large picture touches little memory.
  ImagePtr image = imageType == kTypeTrueColour ? createImage(channels, height, width)
                                                : createZeroedImage(channels, height, width);
  if (!image) {
    refuseForMemory(report);
    return nullptr;
  }

  const std::uint8_t* data = bytes.data() + dataOffset;
  const bool topFirst = (readU8(bytes, 17) & kDescriptorTopFirst) != 0;  // image descriptor
  const std::size_t rowBytes = image->rowBytes();
  if (imageType == kTypeTrueColour) {
    if (topFirst) {
      // Rows are put bottom row first as they are copied.
      std::uint8_t* const pixels = image->pixels();
      for (std::size_t row = 0; row < height; ++row) {
        std::memcpy(pixels + (height - 1 - row) * rowBytes, data + row * rowBytes, rowBytes);
      }
    } else {
      std::memcpy(image->pixels(), data, pixelBytes);
    }
  } else {
    std::size_t written = 0;
    static_cast<void>(unpackRuns(image->pixels(), pixelBytes, data, dataBytes, channels, written));
    if (topFirst) flipLeadingRows(*image, (written + rowBytes - 1) / rowBytes);
  }
  return image;
}
