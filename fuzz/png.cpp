// Fuzz target for the PNG reader alone (decodePng), as a default run and expanding. A returned
// picture must have the promised shape, and after every decode the shared PNG and zlib state
// must be idle again. A picture the default decode gives, the expanding one gives alike, with
// no layout; an expanded picture names its layout.
// Under libFuzzer the custom mutator of png_mutator.h rewrites chunk CRCs after mutating, so
// mutations reach the chunk handlers, the zlib decoder and the row loops.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

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
                pngState.idatCursor == nullptr && pngState.streamCursor == nullptr &&
                pngState.writableFile == nullptr && pngState.idatInPlace == nullptr,
            "pngState fields are idle after a decode");
  fuzzCheck(!inflateState.window && !inflateState.streamOpen, "inflateState is idle");
}

// IHDR chunks before IEND. With more than one, the default run may refuse an earlier header (of
// 16-bit samples, say) that a later one replaces, and the expanded picture is then a plain one.
std::size_t headerCount(const std::uint8_t* data, std::size_t size) noexcept {
  const ByteSpan bytes(data, size);
  std::size_t count = 0;
  for (std::size_t offset = 8; holds(bytes, offset, 8);) {
    const char* const type = reinterpret_cast<const char*>(data + offset + 4);
    if (std::memcmp(type, "IEND", 4) == 0) break;
    if (std::memcmp(type, "IHDR", 4) == 0) ++count;
    offset += 12 + std::size_t{readBe32(bytes, offset)};
  }
  return count;
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
  } else if (expanded && headerCount(data, size) <= 1) {
    fuzzCheck(report.layout[0] != '\0', "an expanded picture names its layout");
  }
  // Gathering the picture data within the bytes gives the picture and report of reading them.
  std::vector<std::uint8_t> copy(data, data + size);
  DecodeReport inPlaceReport;
  const ImagePtr inPlace = decodePngInPlace(copy.data(), copy.size(), &inPlaceReport, true);
  checkIdle();
  fuzzCheck(std::strcmp(inPlaceReport.reason, report.reason) == 0 &&
                std::strcmp(inPlaceReport.layout, report.layout) == 0,
            "in place, the same report");
  fuzzCheck((inPlace == nullptr) == (expanded == nullptr), "in place, the same verdict");
  if (inPlace && expanded) {
    fuzzCheck(inPlace->width == expanded->width && inPlace->height == expanded->height &&
                  inPlace->channels == expanded->channels &&
                  std::memcmp(inPlace->pixels(), expanded->pixels(), expanded->pixelBytes()) == 0,
              "in place, the same picture");
  }
  return 0;
}
