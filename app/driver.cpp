// Batch driver. Entries of img/ are taken in byte order of their names; folders, links to
// folders and special files are skipped, everything else is converted. The run stops at the
// first file that cannot be converted; files written before it stay.
//
// The output name is the input name with an extension of at most four bytes after its last dot
// replaced by ".bmp"; a name without a dot, or with a longer extension, is kept whole.

#include "app/driver.h"

#include <cstdarg>
#include <cstring>

#include "app/bmp_writer.h"
#include "app/padding.h"
#include "base/counted_string.h"
#include "base/platform.h"
#include "image/loader.h"

namespace {

constexpr const char* kInputFolder = "img";
constexpr const char* kOutputFolder = "bmp";
// The sides a picture may have to be converted; the report of a refusal names these bounds.
constexpr unsigned kMinConvertedSide = 4;
constexpr unsigned kMaxConvertedSide = 8192;
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

// One batch: the report lines and the exit status, without the pause.
int convertAll(std::FILE* out) {
  createFolder(kOutputFolder);
  removeStaleTemporaryFiles(kOutputFolder);
  FolderListing names;
  const ListingResult listed = names.read(kInputFolder);
  if (listed == ListingResult::cannotList) {
    report(out, "ERROR: Cannot find any image in folder %s%s*.*\n", kInputFolder, kPathSeparator);
    return 1;
  }
  if (listed == ListingResult::outOfMemory) {
    report(out, "ERROR: memory\n");
    return 1;
  }
  for (std::size_t index = 0; index < names.count(); ++index) {
    const char* name = names.name(index);
    CountedString inputPath = folderPath(kInputFolder, name);
    if (inputPath.length() == 0) {
      report(out, "ERROR: memory\n");
      return 1;
    }
    if (classifyEntry(inputPath.text()) == EntryKind::skip) continue;
    CountedString outputPath = folderPath(kOutputFolder, name);
    if (outputPath.length() == 0 || !rewriteExtension(outputPath)) {
      report(out, "ERROR: memory\n");
      return 1;
    }

    ImagePtr image = loadImageFile(inputPath);
    if (!image) {
      report(out, "ERROR: Cannot load input image %s\n", inputPath.text());
      return 1;
    }
    const unsigned width = image->width;
    const unsigned height = image->height;
    const unsigned channels = image->channels;
    if (width < kMinConvertedSide || width > kMaxConvertedSide || height < kMinConvertedSide ||
        height > kMaxConvertedSide) {
      report(out, "ERROR: Width and height must be in range %u..%u pixels\n", kMinConvertedSide,
             kMaxConvertedSide);
      return 1;
    }
    image = padToPowerOfTwo(std::move(image));
    if (!image) {
      report(out, "ERROR: memory\n");
      return 1;
    }
    const BmpWriteResult written = writeBmpFile(outputPath.text(), *image, width, height);
    if (written == BmpWriteResult::cannotCreate) {
      report(out, "ERROR: cannot create output file %s\n", outputPath.text());
      return 1;
    }
    if (written == BmpWriteResult::cannotWrite) {
      report(out, "ERROR: cannot write to %s\n", outputPath.text());
      return 1;
    }
    image.reset();
    report(out, "File %s generated OK, size: %ux%u/%u\n", outputPath.text(), width, height,
           channels * 8);
  }
  report(out, "OK\n");
  return 0;
}

}  // namespace

int runConverter(std::FILE* out, PauseFunction pause) {
  int status = 1;
  try {
    status = convertAll(out);
  } catch (...) {
    // Nothing on the way is meant to throw: every block comes from heapAllocate and failures
    // travel as results. Should a library call throw all the same (std::bad_alloc, the one
    // exception the standard library raises on a sound path), the run ends with the memory
    // report rather than an abort, and still pauses.
    report(out, "ERROR: memory\n");
    status = 1;
  }
  pause();
  return status;
}
