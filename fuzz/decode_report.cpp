// Fuzz target for decode reports: every reader, and the reader chain, decodes the bytes once
// without a report and once with one, as a default run and expanding, and both results must be the
// same, byte for byte. The report must hold together: a picture comes with the format of its reader
// and no reason; a reader that recognised the bytes and returns nothing gives a reason; the chain
// gives a reason for every refusal and names a reader only when it was that reader's file.

#include "base/decode_report.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_checks.h"
#include "image/bmp_reader.h"
#include "image/jpeg_reader.h"
#include "image/loader.h"
#include "image/tga_reader.h"
#include "png/png_reader.h"

namespace {

using Reader = ImagePtr (*)(ByteSpan, DecodeReport*, bool) noexcept;

// The same verdict and, for a picture, the same shape and pixels.
void checkSameResult(const ImagePtr& plain, const ImagePtr& reported) noexcept {
  fuzzCheck((plain == nullptr) == (reported == nullptr), "a report changes no verdict");
  if (!plain) return;
  checkPictureShape(*plain);
  fuzzCheck(plain->width == reported->width && plain->height == reported->height &&
                plain->channels == reported->channels,
            "a report changes no shape");
  fuzzCheck(std::memcmp(plain->pixels(), reported->pixels(), plain->pixelBytes()) == 0,
            "a report changes no pixel");
}

void checkReader(ByteSpan bytes, Reader reader, ImageFormat format, bool expand) noexcept {
  const ImagePtr plain = reader(bytes, nullptr, expand);
  DecodeReport report;
  const ImagePtr reported = reader(bytes, &report, expand);
  fuzzCheck(expand || report.layout[0] == '\0', "only an expanding reader names a layout");
  checkSameResult(plain, reported);
  const bool recognised = report.format != ImageFormat::none;
  fuzzCheck(!recognised || report.format == format, "a reader names only its own format");
  if (reported) {
    fuzzCheck(recognised, "a reader recognises the file it decodes");
    fuzzCheck(report.reason[0] == '\0', "a picture comes without a reason");
  } else {
    fuzzCheck(recognised == (report.reason[0] != '\0'),
              "a reader gives a reason exactly for the files it recognised and refused");
  }
}

// The chain, once without and once with a report.
void checkChain(ByteSpan bytes, bool expand) noexcept {
  const ImagePtr plain = decodeImage(bytes, nullptr, expand);
  DecodeReport report;
  const ImagePtr reported = decodeImage(bytes, &report, expand);
  checkSameResult(plain, reported);
  const std::size_t reasonLength = strnlen(report.reason, sizeof report.reason);
  fuzzCheck(reasonLength < sizeof report.reason, "the reason is zero-terminated");
  if (reported) {
    fuzzCheck(report.format != ImageFormat::none, "the chain names the reader of a picture");
    fuzzCheck(reasonLength == 0, "a picture comes without a reason");
  } else {
    fuzzCheck(reasonLength != 0, "every refusal has a reason");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan bytes(data, size);
  if (announcesHugePicture(bytes)) return 0;
  for (const bool expand : {false, true}) {
    checkReader(bytes, decodeBmp, ImageFormat::bmp, expand);
    checkReader(bytes, decodeTga, ImageFormat::tga, expand);
    checkReader(bytes, decodePng, ImageFormat::png, expand);
    checkReader(bytes, decodeJpeg, ImageFormat::jpeg, expand);
    checkChain(bytes, expand);
  }
  return 0;
}
