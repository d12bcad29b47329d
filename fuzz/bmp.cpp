// Fuzz target for the BMP reader alone (decodeBmp), without and with expand: no crash, no read
// outside the file, and a returned picture has the promised shape. A picture the default reading
// returns comes out the same, byte for byte, when expanding; expanding gives a picture or a
// reason, never both, and names the layout only for a file the default reading refuses.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_checks.h"
#include "image/bmp_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan bytes(data, size);
  const ImagePtr image = decodeBmp(bytes);
  if (image) checkPictureShape(*image);
  if (bmpAnnouncesHugePicture(bytes)) return 0;

  DecodeReport report;
  const ImagePtr expanded = decodeBmp(bytes, &report, true);
  if (report.format == ImageFormat::bmp) {
    fuzzCheck((expanded != nullptr) == (report.reason[0] == '\0'),
              "an expanded decode gives a picture or a reason");
  }
  if (!expanded) {
    fuzzCheck(!image, "expanding refuses no picture the default reading returns");
    return 0;
  }
  checkPictureShape(*expanded);
  if (image) {
    fuzzCheck(report.layout[0] == '\0', "a default picture has no expanded layout");
    fuzzCheck(expanded->width == image->width && expanded->height == image->height &&
                  expanded->channels == image->channels &&
                  std::memcmp(expanded->pixels(), image->pixels(), image->pixelBytes()) == 0,
              "expanding gives a default picture unchanged");
  } else {
    fuzzCheck(report.layout[0] != '\0', "an expanded picture names its layout");
  }
  return 0;
}
