// Fuzz target for the JPEG reader alone (decodeJpeg): no crash, no read outside the file, a
// returned picture has the promised shape (three channels for every JPEG). Like the library's
// own fuzzers, inputs whose frame header announces more than a few megapixels and streams with
// very many scans are skipped: they only cost time inside the library. The library's warnings
// go to standard error.

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_checks.h"
#include "image/jpeg_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan bytes(data, size);
  if (jpegTooCostly(bytes)) return 0;
  const ImagePtr image = decodeJpeg(bytes);
  if (image) {
    checkPictureShape(*image);
    fuzzCheck(image->channels == 3, "a JPEG picture has three channels");
  }
  return 0;
}
