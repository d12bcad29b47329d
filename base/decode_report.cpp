// Decode reports: the format names and the reason setter.

#include "base/decode_report.h"

#include <cstdarg>
#include <cstdio>

const char* formatName(ImageFormat format) noexcept {
  switch (format) {
    case ImageFormat::bmp:
      return "BMP";
    case ImageFormat::tga:
      return "TGA";
    case ImageFormat::png:
      return "PNG";
    case ImageFormat::jpeg:
      return "JPEG";
    case ImageFormat::none:
      break;
  }
  return "";
}

void refuse(DecodeReport* report, const char* format, ...) noexcept {
  if (report == nullptr) return;
  std::va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(report->reason, sizeof report->reason, format, arguments);
  va_end(arguments);
}
