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

#include "image/tga_reader.h"

#include <algorithm>
#include <cstring>

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

}  // namespace

std::size_t unpackTgaRle(std::uint8_t* output, std::size_t outputBytes, const std::uint8_t* input,
                         std::size_t inputBytes, std::size_t pixelSize) noexcept {
  std::size_t written = 0;
  const std::size_t inputLeft =
      unpackRuns(output, outputBytes, input, inputBytes, pixelSize, written);
  if (written < outputBytes) std::memset(output + written, 0, outputBytes - written);
  return inputLeft;
}

ImagePtr decodeTga(ByteSpan bytes, DecodeReport* report, [[maybe_unused]] bool expand) noexcept {
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

  const std::uint8_t imageType = readU8(bytes, 2);         // image type
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
