#pragma once
// The batch driver: converts every regular file of img/ into a padded BMP file in bmp/.

#include <cstdio>

using PauseFunction = void (*)();

// Runs one batch in the current working directory, writing its report lines to out (flushed
// after each line) and calling pause once before it returns. Returns the exit status: 0 after a
// complete run, 1 after the first failure.
[[nodiscard]] int runConverter(std::FILE* out, PauseFunction pause);
