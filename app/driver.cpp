// Batch driver. Entries of img/ are taken in byte order of their names; folders, links to
// folders and special files are skipped, everything else is converted. The run stops at the
// first file that cannot be converted; files written before it stay.
//
// The output name is the input name with an extension of at most four bytes after its last dot
// replaced by ".bmp"; a name without a dot, or with a longer extension, is kept whole.

#include "app/driver.h"

#include <cstdarg>
#include <cstring>

#include "app/counted_string.h"
#include "app/padding.h"
#include "app/platform.h"
#include "image/loader.h"

namespace {

constexpr const char* kInputFolder = "img";
constexpr const char* kOutputFolder = "bmp";
constexpr unsigned kMinSide = 4;
constexpr unsigned kMaxSide = 8192;
constexpr std::int32_t kMaxExtensionBytes = 4;

void report(std::FILE* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void report(std::FILE* out, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(out, format, arguments);
  va_end(arguments);
  std::fflush(out);
}

// folder + separator + name; the empty string when it cannot be built whole.
CountedString folderPath(const char* folder, const char* name) {
  CountedString prefix = CountedString::fromText(folder);
  prefix.appendText(kPathSeparator);
  CountedString path = CountedString::concat(prefix, CountedString::fromText(name));
  const auto expected = static_cast<std::int64_t>(std::strlen(folder) + 1 + std::strlen(name));
  if (path.length() != expected) return CountedString();
  return path;
}

// Rewrites an extension of at most four bytes after the last dot to ".bmp". False when the new
// path could not be built whole.
bool rewriteExtension(CountedString& path) {
  const char* text = path.text();
  std::int32_t dot = path.length() - 1;
  while (dot >= 0 && text[dot] != '.') --dot;
  if (dot < 0 || dot < path.length() - (kMaxExtensionBytes + 1)) return true;
  if (!path.truncate(dot)) return false;
  path.appendText(".bmp");
  return path.length() == dot + 4;
}

}  // namespace

int runConverter(std::FILE* out, PauseFunction pause) {
  int status = 0;
  createFolder(kOutputFolder);
  const auto names = listFolder(kInputFolder);
  if (!names) {
    report(out, "ERROR: Cannot find any image in folder %s%s*.*\n", kInputFolder, kPathSeparator);
    status = 1;
  } else {
    for (const std::string& name : *names) {
      CountedString inputPath = folderPath(kInputFolder, name.c_str());
      if (inputPath.length() == 0) {
        report(out, "ERROR: memory\n");
        status = 1;
        break;
      }
      if (classifyEntry(inputPath.text()) == EntryKind::skip) continue;
      CountedString outputPath = folderPath(kOutputFolder, name.c_str());
      if (outputPath.length() == 0 || !rewriteExtension(outputPath)) {
        report(out, "ERROR: memory\n");
        status = 1;
        break;
      }

      ImagePtr image = loadImageFile(inputPath);
      if (!image) {
        report(out, "ERROR: Cannot load input image %s\n", inputPath.text());
        status = 1;
        break;
      }
      const unsigned width = image->width;
      const unsigned height = image->height;
      const unsigned channels = image->channels;
      if (width < kMinSide || width > kMaxSide || height < kMinSide || height > kMaxSide) {
        report(out, "ERROR: Width and height must be in range 4..8192 pixels\n");
        status = 1;
        break;
      }
      image = padToPowerOfTwo(std::move(image));
      if (!image) {
        report(out, "ERROR: memory\n");
        status = 1;
        break;
      }
      const BmpWriteResult written = writeBmpFile(outputPath.text(), *image, width, height);
      if (written == BmpWriteResult::cannotCreate) {
        report(out, "ERROR: cannot create output file %s\n", outputPath.text());
        status = 1;
        break;
      }
      if (written == BmpWriteResult::cannotWrite) {
        report(out, "ERROR: cannot write to %s\n", outputPath.text());
        status = 1;
        break;
      }
      image.reset();
      report(out, "File %s generated OK, size: %ux%u/%u\n", outputPath.text(), width, height,
             channels * 8);
    }
    if (status == 0) report(out, "OK\n");
  }
  pause();
  return status;
}
