#pragma once
// The record of the PNG decode in progress on a thread, shared by the chunk stream, the zlib
// decoder and the scanline loops. Outside png/ only the tests, fuzz targets and benchmarks that
// drive those parts on their own include this header. Buffers are owning members and every
// field defaults to its idle value, so releasePngState is a reset that misses nothing.

#include <cstddef>
#include <cstdint>

#include "base/heap.h"

// IHDR colour types.
inline constexpr std::int32_t kColourGrey = 0;
inline constexpr std::int32_t kColourTruecolour = 2;
inline constexpr std::int32_t kColourPalette = 3;
inline constexpr std::int32_t kColourGreyAlpha = 4;
inline constexpr std::int32_t kColourTruecolourAlpha = 6;

struct PngDecodeState {
  // Picture header from IHDR.
  std::int32_t width = 0;          // 1..16384 once a header is accepted; 0 at the start
  std::int32_t height = 0;         // same range and start value
  std::int32_t bitDepth = 0;       // IHDR bit depth byte
  std::int32_t colourType = 0;     // IHDR colour type byte
  bool interlaced = false;         // IHDR interlace byte is 1 (Adam7)
  std::int32_t bytesPerPixel = 0;  // 1..8: filter distance, and pixel size in `pixels`
  // An expanded picture only: 3 or 4, the bytes of one B,G,R(,A) pixel of the target Image the
  // rows are converted into (any layout at any depth). 0 for the layouts a default run reads
  // and for the ones it decodes into `pixels`.
  std::int32_t expandedBytes = 0;

  // Palette: 256 entries of blue, green, red, alpha; null until a PLTE is accepted.
  HeapPtr<std::uint8_t[]> palette;
  bool paletteHasAlpha = false;     // a tRNS chunk wrote alpha values into the palette
  std::int32_t paletteEntries = 0;  // colours in the accepted PLTE
  // A palette chunk out of its place or size, in the chunk order of the file: 0 when none, else
  // one of the chunk-order faults of the reader. Only an expanded palette picture is refused for
  // it.
  std::int32_t paletteFault = 0;
  bool seenImageData = false;  // an IDAT chunk was read

  // Transparent colour from tRNS for grey and truecolour pictures: blue, green, red, 0 (grey
  // repeats its value). Recorded only; no pixel is changed by it.
  std::uint8_t colourKey[4] = {0, 0, 0, 0};
  bool hasColourKey = false;

  // The file as a stream of chunks.
  const std::uint8_t* streamCursor = nullptr;  // next unread byte of the file
  std::int32_t streamRemaining = 0;            // unread bytes from streamCursor to the end
  std::uint32_t chunkLength = 0;               // data length of the chunk being read

  // The zlib stream: all IDAT data gathered in file order, into idatData or, when the reader may
  // overwrite the file's bytes, in place within them from the first IDAT's data on (idatInPlace).
  HeapPtr<std::uint8_t[]> idatData;
  std::uint8_t* writableFile = nullptr;      // the file's bytes when they may be overwritten
  std::uint8_t* idatInPlace = nullptr;       // the data gathered within writableFile, or null
  std::int32_t idatLength = 0;               // bytes gathered
  std::size_t idatCapacity = 0;              // bytes allocated for idatData (grows geometrically)
  const std::uint8_t* idatCursor = nullptr;  // next unread byte of the zlib stream
  const std::uint8_t* idatEnd = nullptr;     // one past the last byte of the zlib stream

  // Scanline reconstruction.
  std::int32_t rowBytes = 0;        // one full-width scanline, filter byte excluded
  HeapPtr<std::uint8_t[]> rows[2];  // current and previous scanline
  std::int32_t currentRow = 0;      // index into rows of the scanline being decoded
  std::int32_t passIndex = 0;       // Adam7 pass in progress, 0..6
  // Grey and palette pictures only: bytesPerPixel * width * height, top row first. RGB and
  // RGBA rows go straight into the returned Image.
  HeapPtr<std::uint8_t[]> pixels;
};

// The record of the decode in progress on this thread (one per thread, so decodes on several
// threads never meet).
extern thread_local PngDecodeState pngState;

// Frees every buffer of pngState and the window of the zlib decoder, and returns every field to
// its idle value: all pointers null, all counts zero. Safe to call on an idle record.
void releasePngState() noexcept;
