// One file per call. The steps and messages are a batch run's for one entry, with the output
// named by the caller; with "-" the BMP goes to standard output.
//
// The output is put in place as a batch puts it: written under a temporary name beside it and
// renamed over it. Only a regular file, or nothing, is replaced that way: a device or FIFO
// named as output is written in place (a rename would put a regular file in its place), and a
// folder is refused. An output that is the input itself, by any name, is refused before
// anything is read, so the picture is never lost.

#include "app/single_file.h"

#include <cstring>
#include <memory>

#include "app/bmp_writer.h"
#include "app/conversion_rules.h"
#include "base/counted_string.h"
#include "base/platform.h"
#include "image/loader.h"

namespace {

constexpr const char* kStandardOutput = "-";

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// Writes the padded BMP of the picture in place into the device or FIFO at output.
BmpWriteResult writeSpecialOutput(const char* output, const Image& picture,
                                  BmpRowStage& stage) noexcept {
  std::unique_ptr<std::FILE, FileCloser> file(openSpecialOutput(output));
  if (!file) return BmpWriteResult::cannotCreate;
  bool complete = writePaddedBmpStream(file.get(), picture, stage);
  complete = std::fclose(file.release()) == 0 && complete;
  return complete ? BmpWriteResult::written : BmpWriteResult::cannotWrite;
}

}  // namespace

int convertSingleFile(const char* input, const char* output, std::FILE* messages,
                      std::FILE* stream) noexcept {
  const CountedString inputPath = CountedString::fromText(input);
  if (inputPath.length() != static_cast<std::int64_t>(std::strlen(input))) {
    report(messages, "ERROR: memory\n");
    return 1;
  }
  const bool toStream = std::strcmp(output, kStandardOutput) == 0;
  const OutputTarget target = toStream ? OutputTarget::special : classifyOutput(output);
  if (target == OutputTarget::folder) {
    report(messages, "ERROR: cannot create output file %s\n", output);
    return 1;
  }
  const FileIdentity inputIdentity = identifyFile(input);
  if (inputIdentity.sameAs(toStream ? identifyStream(stream) : identifyFile(output))) {
    report(messages, "ERROR: output %s is the input file %s itself\n", output, input);
    return 1;
  }
  DecodeReport decode;
  ImagePtr image = loadImageFile(inputPath, &decode);
  reportWarnings(stderr, decode);  // where the library's own output would have gone
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
  BmpRowStage stage;
  if (!reserveBmpRowStage(stage, *image)) {
    report(messages, "ERROR: memory\n");
    return 1;
  }
  BmpWriteResult written = BmpWriteResult::written;
  if (toStream) {
    if (!writePaddedBmpStream(stream, *image, stage)) written = BmpWriteResult::cannotWrite;
  } else if (target == OutputTarget::special) {
    written = writeSpecialOutput(output, *image, stage);
  } else {
    written = writePaddedBmpFile(output, *image, stage);
  }
  if (written == BmpWriteResult::cannotCreate) {
    report(messages, "ERROR: cannot create output file %s\n", output);
    return 1;
  }
  if (written == BmpWriteResult::cannotWrite) {
    report(messages, "ERROR: cannot write to %s\n", output);
    return 1;
  }
  report(messages, "File %s generated OK, size: %ux%u/%u\n", output, width, height, channels * 8);
  return 0;
}
