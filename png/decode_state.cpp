#include "png/decode_state.h"

PngDecodeState pngState;
