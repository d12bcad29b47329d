// The reader chain. TGA has no signature, so its place after BMP and before PNG and JPEG matters:
// its header tests are what keep it from claiming the other formats.

#include "image/loader.h"

#include <array>
#include <cerrno>
#include <cstdio>
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

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// decodeImage with a report: the same chain, TGA's reason kept aside until every signature has
// had its say.
ImagePtr decodeReporting(ByteSpan bytes, DecodeReport& report) noexcept {
  report = DecodeReport{};
  DecodeReport tgaReport;
  for (const ChainLink& link : kReaderChain) {
    DecodeReport& target = link.format == ImageFormat::tga ? tgaReport : report;
    if (ImagePtr image = link.read(bytes, &target)) {
      report = DecodeReport{};
      report.format = link.format;
      return image;
    }
  }
  if (report.format != ImageFormat::none) return nullptr;  // its reader said why
  if (bytes.empty()) {
    refuse(&report, "file is empty");
  } else if (const char* foreign = foreignFormatName(bytes)) {
    refuse(&report, "%s file is not converted: save it as BMP, TGA, PNG or JPEG", foreign);
  } else if (tgaReport.format == ImageFormat::tga) {
    report = tgaReport;
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
    refuse(report, "not enough memory to read its %zu bytes", byteCount);
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
