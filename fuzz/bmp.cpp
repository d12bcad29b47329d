// Fuzz target for the BMP reader alone (decodeBmp): no crash, no read outside the file, and a
// returned picture has the promised shape.

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_checks.h"
#include "image/bmp_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ImagePtr image = decodeBmp(ByteSpan(data, size));
  if (image) checkPictureShape(*image);
  return 0;
}
