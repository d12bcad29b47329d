#pragma once
// One file per call, for build systems: `pow2bmp INPUT OUTPUT`.

#include <cstdio>

// Converts the file at input into the BMP file at output exactly as a batch converts an entry of
// img/ (the same readers, size check, padding and atomic replacement, the same bytes), making the
// missing folders on the way to output once there is a picture to write, or writes the BMP to
// `stream` when output is "-". Reports with the batch's lines ("File OUTPUT generated
// OK, size: ..." or the ERROR line) to `messages`. No pause. Returns 0 or 1.
// With expand the readers also take the layouts a default run refuses.
[[nodiscard]] int convertSingleFile(const char* input, const char* output, std::FILE* messages,
                                    std::FILE* stream, bool expand = false) noexcept;
