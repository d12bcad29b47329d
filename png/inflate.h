#pragma once
// zlib stream decoder (RFC 1950 / RFC 1951) pulling from pngState.idatCursor .. idatEnd.

#include <cstdint>

// Checks the zlib header, prepares a zeroed window and reads the first block header; false when
// the header or the first block header is bad or memory runs out.
[[nodiscard]] bool inflateBegin() noexcept;

// Writes the next len decompressed bytes to dst and returns how many it wrote: len on success,
// fewer when the final block ends with a correct checksum first, 0 when the stream is bad.
[[nodiscard]] std::uint32_t inflateRead(std::uint8_t* dst, std::uint32_t len) noexcept;

// Releases the window of the stream (part of releasePngState).
void inflateReleaseWindow() noexcept;
