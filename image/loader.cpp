// The reader chain. TGA has no signature, so its place after BMP and before PNG and JPEG matters:
// its header tests are what keep it from claiming the other formats.

#include "image/loader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/platform.h"
#include "image/bmp_reader.h"
#include "image/foreign_formats.h"
#include "image/jpeg_reader.h"
#include "image/tga_reader.h"
#include "png/png_reader.h"

namespace {

using Reader = ImagePtr (*)(ByteSpan, DecodeReport*) noexcept;

struct ChainLink {
  Reader read;
  ImageFormat format;
};

constexpr std::array<ChainLink, 4> kReaderChain = {{
    {decodeBmp, ImageFormat::bmp},
    {decodeTga, ImageFormat::tga},
    {decodePng, ImageFormat::png},
    {decodeJpeg, ImageFormat::jpeg},
}};

// The head of a file that the size estimate reads: enough for the header of every format and
// for the frame header of a JPEG behind the usual metadata.
constexpr std::size_t kEstimateHeadBytes = 64 * 1024;
// Bytes per pixel the readers may hold at once besides the file: the picture (4) and scratch of
// up to 8 (a four-component multi-scan JPEG's coefficients, 2 bytes per sample).
constexpr std::uint64_t kDecodeBytesPerPixel = 12;

std::uint32_t readBe16At(const std::uint8_t* bytes) noexcept {
  return std::uint32_t{bytes[0]} << 8 | bytes[1];
}

// The sides a file's header states, taken by its signature the way the reader chain would
// take it (TGA, having none, for everything else); false when the head is too short or a JPEG's
// frame header is not within it.
bool headerSides(const std::uint8_t* head, std::size_t bytes, std::uint32_t& width,
                 std::uint32_t& height) noexcept {
  const ByteSpan span(head, bytes);
  if (bytes >= 26 && head[0] == 'B' && head[1] == 'M') {
    width = readLe32(span, 18);
    const std::uint32_t rawHeight = readLe32(span, 22);
    height = rawHeight > 0x80000000u ? 0u - rawHeight : rawHeight;  // negative: top-down
    return true;
  }
  if (bytes >= 24 && head[0] == 0x89 && head[1] == 'P' && head[2] == 'N' && head[3] == 'G') {
    width = readBe32(span, 16);
    height = readBe32(span, 20);
    return true;
  }
  if (bytes >= 4 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
    // Markers from the first: FF xx, then a 16-bit length that counts itself, up to a frame
    // header SOF0..SOF15 (not C4 DHT, C8 JPG, CC DAC) with height then width.
    std::size_t at = 2;
    while (at + 9 <= bytes && head[at] == 0xFF) {
      const std::uint8_t marker = head[at + 1];
      if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
        height = readBe16At(head + at + 5);
        width = readBe16At(head + at + 7);
        return true;
      }
      if (marker == 0xFF) {
        ++at;  // fill byte
        continue;
      }
      at += 2 + readBe16At(head + at + 2);
    }
    return false;
  }
  if (bytes >= 18) {
    width = readLe16(span, 12);
    height = readLe16(span, 14);
    return true;
  }
  return false;
}

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// decodeImage with a report: the same chain, TGA's reason kept aside until every signature has
// had its say. The warnings of the readers tried stay in the report, picture or not (TGA's
// reader, which calls no library, gives none).
ImagePtr decodeReporting(ByteSpan bytes, DecodeReport& report) noexcept {
  report = DecodeReport{};
  DecodeReport tgaReport;
  for (const ChainLink& link : kReaderChain) {
    DecodeReport& target = link.format == ImageFormat::tga ? tgaReport : report;
    if (ImagePtr image = link.read(bytes, &target)) {
      report.format = link.format;
      std::memset(report.reason, 0, sizeof report.reason);
      report.outOfMemory = false;
      return image;
    }
  }
  if (report.format != ImageFormat::none) return nullptr;  // its reader said why
  if (bytes.empty()) {
    refuse(&report, "file is empty");
  } else if (const char* foreign = foreignFormatName(bytes)) {
    refuse(&report, "%s file is not converted: save it as BMP, TGA, PNG or JPEG", foreign);
  } else if (tgaReport.format == ImageFormat::tga) {
    report.format = tgaReport.format;
    std::memcpy(report.reason, tgaReport.reason, sizeof report.reason);
    report.outOfMemory = tgaReport.outOfMemory;
  } else {
    refuse(&report, "not a BMP, TGA, PNG or JPEG file");
  }
  return nullptr;
}

}  // namespace

ImagePtr decodeImage(ByteSpan bytes, DecodeReport* report) noexcept {
  if (report != nullptr) return decodeReporting(bytes, *report);
  for (const ChainLink& link : kReaderChain) {
    if (ImagePtr image = link.read(bytes, nullptr)) return image;
  }
  return nullptr;
}

ImagePtr loadImageFile(const CountedString& path, DecodeReport* report) noexcept {
  if (report != nullptr) *report = DecodeReport{};
  std::int64_t size = 0;
  int openError = 0;
  std::unique_ptr<std::FILE, FileCloser> file(openInputFile(path.text(), size, &openError));
  if (!file) {
    if (openError == 0) {
      refuse(report, "not a regular file");
    } else if (report != nullptr) {
      char text[DecodeReport::kReasonBytes];
      describeSystemError(openError, text, sizeof text);
      refuse(report, "cannot be read: %s", text);
    }
    return nullptr;
  }
  if (size < 0 || static_cast<std::uint64_t>(size) > kMaxInputFileBytes) {
    refuse(report, "file is 2 GiB or larger");
    return nullptr;
  }
  const auto byteCount = static_cast<std::size_t>(size);
  HeapPtr<std::uint8_t[]> block = allocateArray<std::uint8_t>(byteCount);
  if (!block) {
    if (report != nullptr) {
      char reason[DecodeReport::kReasonBytes];
      std::snprintf(reason, sizeof reason, "not enough memory to read its %zu bytes", byteCount);
      refuseForMemory(report, reason);
    }
    return nullptr;
  }
  if (std::fread(block.get(), 1, byteCount, file.get()) != byteCount) {
    if (report != nullptr && std::ferror(file.get()) != 0) {
      char text[DecodeReport::kReasonBytes];
      describeSystemError(errno, text, sizeof text);
      refuse(report, "cannot be read: %s", text);
    } else {
      refuse(report, "file shrank while it was read");
    }
    return nullptr;
  }
  return decodeImage(ByteSpan(block.get(), byteCount), report);
}

std::uint64_t estimateLoadBytes(const CountedString& path) noexcept {
  std::int64_t size = 0;
  std::unique_ptr<std::FILE, FileCloser> file(openInputFile(path.text(), size));
  if (!file || size < 0) return 0;
  std::uint8_t head[kEstimateHeadBytes];
  const std::size_t got = std::fread(head, 1, sizeof head, file.get());
  std::uint32_t width = kMaxImageSide;
  std::uint32_t height = kMaxImageSide;
  if (!headerSides(head, got, width, height)) width = height = kMaxImageSide;
  width = std::min<std::uint32_t>(std::max<std::uint32_t>(width, 1), kMaxImageSide);
  height = std::min<std::uint32_t>(std::max<std::uint32_t>(height, 1), kMaxImageSide);
  const std::uint64_t fileBytes =
      std::min(static_cast<std::uint64_t>(size), std::uint64_t{kMaxInputFileBytes});
  // The file is read whole; a PNG also gathers its compressed data in one more block.
  return 2 * fileBytes + kDecodeBytesPerPixel * std::uint64_t{width} * height;
}
