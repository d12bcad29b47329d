// The lines of a run.

#include "app/run_report.h"

#include <cstdarg>

#include "app/output_names.h"
#include "base/platform.h"

void report(std::FILE* out, const char* format, ...) noexcept {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(out, format, arguments);
  va_end(arguments);
  std::fflush(out);
}

void reportWarnings(std::FILE* warnings, const DecodeReport& decode) noexcept {
  if (decode.warnings[0] == '\0') return;
  std::fputs(decode.warnings, warnings);
  std::fflush(warnings);
}

bool listInputFolder(FolderListing& names, std::FILE* out) noexcept {
  switch (names.read(kInputFolder)) {
    case ListingResult::listed:
      return true;
    case ListingResult::cannotList:
      report(out, "ERROR: Cannot find any image in folder %s%s*.*\n", kInputFolder, kPathSeparator);
      return false;
    case ListingResult::outOfMemory:
      break;
  }
  report(out, "%s", kMemoryLine);
  return false;
}
