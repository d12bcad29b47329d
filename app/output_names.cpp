// Paths of a batch and output names.

#include "app/output_names.h"

#include <cstdint>
#include <cstring>

#include "base/platform.h"

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
