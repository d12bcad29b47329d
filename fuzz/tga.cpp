// Fuzz target for the TGA reader alone (decodeTga) and its run-length unpacker. A returned
// picture has the promised shape; the unpacker, given the input as packets, never reports more
// input left than it was given and never writes past the output it was given (ASan).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "image/tga_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!tgaAnnouncesHugePicture(ByteSpan(data, size))) {
    const ImagePtr image = decodeTga(ByteSpan(data, size));
    if (image) checkPictureShape(*image);
  }

  if (size >= 2) {
    const std::size_t pixelSize = 3 + (data[0] & 1u);
    const std::size_t outputBytes = (std::size_t{data[1]} + 1) * pixelSize * 3;
    std::vector<std::uint8_t> output(outputBytes);
    const std::size_t left =
        unpackTgaRle(output.data(), output.size(), data + 2, size - 2, pixelSize);
    fuzzCheck(left <= size - 2, "unpackTgaRle leaves at most the input it was given");
  }
  return 0;
}
