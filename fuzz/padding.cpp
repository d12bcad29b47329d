// Fuzz target for the padded BMP writer: power-of-two padding and the BMP header. The input
// gives the channel count (byte 0), width and height (bytes 1-2 and 3-4, each reduced to 1..300,
// which crosses the power-of-two steps up to 512) and the pixel bytes (the rest, repeated to fill
// the picture). Checked: the padded sides are the smallest powers of two that are at least 4 and at
// least the picture's; every padded pixel repeats the nearest pixel of the picture (columns to the
// right repeat the row's last pixel, rows above the top row); the 54-byte header holds every
// field the BMP file needs, and header plus pixel block make up the file size it states.

#include <stdio.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/bmp_writer.h"
#include "base/byte_io.h"
#include "fuzz/fuzz_checks.h"

namespace {

constexpr unsigned kMaxFuzzSide = 300;

unsigned expectedSide(unsigned side) {
  unsigned padded = 4;
  while (padded < side) padded <<= 1;
  return padded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const ByteSpan input(data, size);
  const unsigned channels = 3 + (data[0] & 1u);
  const unsigned width = 1 + readLe16(input, 1) % kMaxFuzzSide;
  const unsigned height = 1 + readLe16(input, 3) % kMaxFuzzSide;
  ImagePtr image = createImage(channels, height, width);
  if (!image) return 0;
  const ByteSpan pixelSource = input.subspan(5);
  for (std::size_t i = 0; i < image->pixelBytes(); ++i) {
    image->pixels()[i] = pixelSource.empty() ? static_cast<std::uint8_t>(i * 7)
                                             : pixelSource[i % pixelSource.size()];
  }
  // The file as the converter writes it, into memory.
  char* buffer = nullptr;
  std::size_t bufferSize = 0;
  std::FILE* stream = open_memstream(&buffer, &bufferSize);
  if (stream == nullptr) return 0;
  BmpRowStage stage;
  const bool written = writePaddedBmpStream(stream, *image, stage);
  std::fclose(stream);
  const std::unique_ptr<char, decltype(&std::free)> owned(buffer, &std::free);
  fuzzCheck(written, "writing succeeds when memory is there");
  const ByteSpan file(reinterpret_cast<const std::uint8_t*>(buffer), bufferSize);

  const unsigned paddedWidth = expectedSide(width);
  const unsigned paddedHeight = expectedSide(height);
  const std::size_t sourceRow = image->rowBytes();
  const std::size_t paddedRow = std::size_t{paddedWidth} * channels;
  const std::size_t pixelBytes = paddedRow * paddedHeight;
  fuzzCheck(file.size() == kBmpHeaderBytes + pixelBytes,
            "the file is the header and the pixels of the padded sides: the smallest powers of "
            "two >= 4 and >= the sides");
  for (unsigned row = 0; row < paddedHeight; ++row) {
    const std::uint8_t* source = image->pixels() + std::min(row, height - 1) * sourceRow;
    const std::uint8_t* line = file.data() + kBmpHeaderBytes + row * paddedRow;
    fuzzCheck(std::memcmp(line, source, sourceRow) == 0, "padded rows start with the picture row");
    const std::uint8_t* lastPixel = source + sourceRow - channels;
    for (unsigned column = width; column < paddedWidth; ++column) {
      fuzzCheck(std::memcmp(line + std::size_t{column} * channels, lastPixel, channels) == 0,
                "padding columns repeat the row's last pixel");
    }
  }

  const ByteSpan h = file.first(kBmpHeaderBytes);
  fuzzCheck(h[0] == 'B' && h[1] == 'M', "signature BM");
  fuzzCheck(readLe32(h, 2) == kBmpHeaderBytes + pixelBytes, "file size = header + pixels");
  fuzzCheck(readLe32(h, 6) == 0, "reserved words are 0");
  fuzzCheck(readLe32(h, 10) == kBmpHeaderBytes, "pixel data offset 54");
  fuzzCheck(readLe32(h, 14) == 40, "info header size 40");
  fuzzCheck(readLe32(h, 18) == paddedWidth, "width field");
  fuzzCheck(readLe32(h, 22) == paddedHeight, "height field, positive (bottom-up)");
  fuzzCheck(readLe16(h, 26) == 1, "planes 1");
  fuzzCheck(readLe16(h, 28) == 8 * channels, "bits per pixel");
  fuzzCheck(readLe32(h, 30) == 0, "no compression");
  fuzzCheck(readLe32(h, 38) == width && readLe32(h, 42) == height,
            "pixels-per-metre fields hold the unpadded size");
  fuzzCheck(readLe32(h, 46) == 0 && readLe32(h, 50) == 0, "no colour table counts");
  fuzzCheck(paddedRow % 4 == 0, "padded rows need no alignment bytes");
  return 0;
}
