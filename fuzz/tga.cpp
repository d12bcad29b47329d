// Fuzz target for the TGA reader alone (decodeTga), without and with expand, and its run-length
// unpacker. A returned picture has the promised shape; a picture the default reading returns
// comes out the same, byte for byte, when expanding; expanding gives a picture or a reason,
// never both, and names the layout only for a file the default reading refuses. The unpacker,
// given the input as packets, never reports more input left than it was given and never writes
// past the output it was given (ASan).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "image/tga_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan bytes(data, size);
  if (!tgaAnnouncesHugePicture(bytes)) {
    const ImagePtr image = decodeTga(bytes);
    if (image) checkPictureShape(*image);

    DecodeReport report;
    const ImagePtr expanded = decodeTga(bytes, &report, true);
    if (expanded) {
      checkPictureShape(*expanded);
      fuzzCheck(report.reason[0] == '\0', "an expanded picture has no reason");
      fuzzCheck((report.layout[0] == '\0') == (image != nullptr),
                "the layout is named exactly for a file the default reading refuses");
    } else {
      fuzzCheck(!image, "expanding refuses no picture the default reading returns");
    }
    if (image && expanded) {
      fuzzCheck(expanded->width == image->width && expanded->height == image->height &&
                    expanded->channels == image->channels &&
                    std::memcmp(expanded->pixels(), image->pixels(), image->pixelBytes()) == 0,
                "expanding gives a default picture unchanged");
    }
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
