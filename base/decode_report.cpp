// Decode reports: the format names, the reason setter and the warning holder.

#include "base/decode_report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

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
  report->outOfMemory = false;
}

void describeLayout(DecodeReport* report, const char* format, ...) noexcept {
  if (report == nullptr) return;
  std::va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(report->layout, sizeof report->layout, format, arguments);
  va_end(arguments);
}

void refuseForMemory(DecodeReport* report, const char* reason) noexcept {
  if (report == nullptr) return;
  std::snprintf(report->reason, sizeof report->reason, "%s",
                reason != nullptr ? reason : kOutOfMemoryReason);
  report->outOfMemory = true;
}

void holdWarning(DecodeReport* report, const char* message) noexcept {
  if (report == nullptr) return;
  const std::size_t held = std::strlen(report->warnings);
  const std::size_t length = std::strlen(message);
  // The message, its line feed and the terminating zero.
  if (length + 2 > sizeof report->warnings - held) return;
  std::memcpy(report->warnings + held, message, length);
  report->warnings[held + length] = '\n';
  report->warnings[held + length + 1] = '\0';
}
