// The reader chain. TGA has no signature, so its place after BMP and before PNG and JPEG matters:
// its header tests are what keep it from claiming the other formats.

#include "image/loader.h"

#include <array>
#include <cstdio>
#include <memory>

#include "base/platform.h"
#include "image/bmp_reader.h"
#include "image/jpeg_reader.h"
#include "image/tga_reader.h"
#include "png/png_reader.h"

namespace {

using Reader = ImagePtr (*)(ByteSpan) noexcept;

constexpr std::array<Reader, 4> kReaderChain = {decodeBmp, decodeTga, decodePng, decodeJpeg};

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

}  // namespace

ImagePtr decodeImage(ByteSpan bytes) noexcept {
  for (Reader reader : kReaderChain) {
    if (ImagePtr image = reader(bytes)) return image;
  }
  return nullptr;
}

ImagePtr loadImageFile(const CountedString& path) noexcept {
  std::int64_t size = 0;
  std::unique_ptr<std::FILE, FileCloser> file(openInputFile(path.text(), size));
  if (!file || size < 0 || static_cast<std::uint64_t>(size) > kMaxInputFileBytes) return nullptr;
  const auto byteCount = static_cast<std::size_t>(size);
  HeapPtr<std::uint8_t[]> block = allocateArray<std::uint8_t>(byteCount);
  if (!block) return nullptr;
  if (std::fread(block.get(), 1, byteCount, file.get()) != byteCount) return nullptr;
  return decodeImage(ByteSpan(block.get(), byteCount));
}
