// One file per call. The steps and messages are a batch run's for one entry, with the output
// named by the caller; with "-" the BMP goes to standard output.

#include "app/single_file.h"

#include <cstring>

#include "app/bmp_writer.h"
#include "app/conversion_rules.h"
#include "app/padding.h"
#include "base/counted_string.h"
#include "image/loader.h"

namespace {

constexpr const char* kStandardOutput = "-";

// The header and pixel block of the BMP file, written to an open stream.
[[nodiscard]] bool writeBmpStream(std::FILE* stream, const Image& picture, unsigned width,
                                  unsigned height) noexcept {
  const auto header = buildBmpHeader(picture, width, height);
  return std::fwrite(header.data(), 1, header.size(), stream) == header.size() &&
         std::fwrite(picture.pixels(), 1, picture.pixelBytes(), stream) == picture.pixelBytes() &&
         std::fflush(stream) == 0;
}

}  // namespace

int convertSingleFile(const char* input, const char* output, std::FILE* messages,
                      std::FILE* stream) noexcept {
  const CountedString inputPath = CountedString::fromText(input);
  if (inputPath.length() != static_cast<std::int64_t>(std::strlen(input))) {
    report(messages, "ERROR: memory\n");
    return 1;
  }
  if (exceedsMemory(inputPath, usableMemoryBytes())) {
    report(messages, "ERROR: memory\n");
    return 1;
  }
  ImagePtr image = loadImageFile(inputPath);
  if (!image) {
    report(messages, "ERROR: Cannot load input image %s\n", input);
    return 1;
  }
  const unsigned width = image->width;
  const unsigned height = image->height;
  const unsigned channels = image->channels;
  if (!convertedSides(width, height)) {
    report(messages, "ERROR: Width and height must be in range %u..%u pixels\n", kMinConvertedSide,
           kMaxConvertedSide);
    return 1;
  }
  image = padToPowerOfTwo(std::move(image));
  if (!image) {
    report(messages, "ERROR: memory\n");
    return 1;
  }
  if (std::strcmp(output, kStandardOutput) == 0) {
    if (!writeBmpStream(stream, *image, width, height)) {
      report(messages, "ERROR: cannot write to %s\n", output);
      return 1;
    }
  } else {
    const BmpWriteResult written = writeBmpFile(output, *image, width, height);
    if (written == BmpWriteResult::cannotCreate) {
      report(messages, "ERROR: cannot create output file %s\n", output);
      return 1;
    }
    if (written == BmpWriteResult::cannotWrite) {
      report(messages, "ERROR: cannot write to %s\n", output);
      return 1;
    }
  }
  report(messages, "File %s generated OK, size: %ux%u/%u\n", output, width, height, channels * 8);
  return 0;
}
