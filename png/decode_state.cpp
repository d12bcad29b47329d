// The process-wide PNG decode record and its one reset.

#include "png/decode_state.h"

#include "png/inflate.h"

thread_local PngDecodeState pngState;

void releasePngState() noexcept {
  inflateReleaseWindow();
  pngState = PngDecodeState{};
}
