// Fuzz target for the PNG reader alone (decodePng), as a default run and expanding. A returned
// picture must have the promised shape, and after every decode the shared PNG and zlib state
// must be idle again. A picture the default decode gives, the expanding one gives alike, with
// no layout; an expanded picture names its layout.
// Under libFuzzer the custom mutator of png_mutator.h rewrites chunk CRCs after mutating, so
// mutations reach the chunk handlers, the zlib decoder and the row loops.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/byte_io.h"
#include "fuzz/fuzz_checks.h"
#include "fuzz/png_mutator.h"
#include "png/decode_state.h"
#include "png/inflate.h"
#include "png/png_reader.h"

namespace {

void checkIdle() noexcept {
  fuzzCheck(!pngState.palette && !pngState.idatData && !pngState.rows[0] && !pngState.rows[1] &&
                !pngState.pixels,
            "pngState owns no buffer after a decode");
  fuzzCheck(pngState.width == 0 && pngState.height == 0 && pngState.idatLength == 0 &&
                pngState.idatCursor == nullptr && pngState.streamCursor == nullptr,
            "pngState fields are idle after a decode");
  fuzzCheck(!inflateState.window && !inflateState.streamOpen, "inflateState is idle");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (pngAnnouncesHugePicture(ByteSpan(data, size))) return 0;
  const ImagePtr image = decodePng(ByteSpan(data, size));
  checkIdle();
  if (image) checkPictureShape(*image);
  DecodeReport report;
  const ImagePtr expanded = decodePng(ByteSpan(data, size), &report, true);
  checkIdle();
  if (expanded) checkPictureShape(*expanded);
  if (image) {
    fuzzCheck(expanded != nullptr && report.layout[0] == '\0', "expanding takes what a run takes");
    fuzzCheck(expanded->width == image->width && expanded->height == image->height &&
                  expanded->channels == image->channels &&
                  std::memcmp(expanded->pixels(), image->pixels(), image->pixelBytes()) == 0,
              "expanding gives the picture a run gives");
  } else if (expanded) {
    fuzzCheck(report.layout[0] != '\0', "an expanded picture names its layout");
  }
  return 0;
}
