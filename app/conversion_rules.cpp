// Output names, the report line and the warnings of a decode, shared by the batch, the check and
// the one-file modes.

#include "app/conversion_rules.h"

#include <cstdarg>
#include <cstring>

#include "image/loader.h"

namespace {

constexpr std::int32_t kMaxExtensionBytes = 4;

// Rewrites an extension of at most four bytes after the last dot to ".bmp". False when the new
// path could not be built whole.
bool rewriteExtension(CountedString& path) noexcept {
  const char* text = path.text();
  std::int32_t dot = path.length() - 1;
  while (dot >= 0 && text[dot] != '.') --dot;
  if (dot < 0 || dot < path.length() - (kMaxExtensionBytes + 1)) return true;
  if (!path.truncate(dot)) return false;
  path.appendText(".bmp");
  return path.length() == dot + 4;
}

}  // namespace

CountedString folderPath(const char* folder, const char* name) noexcept {
  CountedString prefix = CountedString::fromText(folder);
  prefix.appendText(kPathSeparator);
  CountedString path = CountedString::concat(prefix, CountedString::fromText(name));
  const auto expected = static_cast<std::int64_t>(std::strlen(folder) + 1 + std::strlen(name));
  if (path.length() != expected) return CountedString();
  return path;
}

CountedString outputPathFor(const char* name) noexcept {
  CountedString path = folderPath(kOutputFolder, name);
  if (path.length() == 0 || !rewriteExtension(path)) return CountedString();
  return path;
}

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

bool exceedsMemory(const CountedString& path, std::uint64_t usable) noexcept {
  return estimateLoadBytes(path) > usable;
}
