#pragma once
// Where a batch reads and writes, and the output name of an input.

#include "base/counted_string.h"

// The folders a batch reads from and writes to, under the working directory.
inline constexpr const char* kInputFolder = "img";
inline constexpr const char* kOutputFolder = "bmp";

// folder + separator + name; the empty string when it cannot be built whole.
[[nodiscard]] CountedString folderPath(const char* folder, const char* name) noexcept;

// The output path of the entry `name` of the input folder: the name in the output folder, with
// an extension of at most four bytes after its last dot replaced by ".bmp" (a name without a
// dot, or with a longer extension, is kept whole). The empty string when it cannot be built.
[[nodiscard]] CountedString outputPathFor(const char* name) noexcept;
