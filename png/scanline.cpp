#include "png/scanline.h"

bool readPlainRows() noexcept { return false; }
bool readInterlacedRows() noexcept { return false; }
