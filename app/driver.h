#pragma once
// The batch driver: converts every regular file of img/ into a padded BMP file in bmp/.

#include <cstdint>
#include <cstdio>

using PauseFunction = void (*)();

struct RunOptions {
  // Files decoded at once; 1 is the plain sequential run. Whatever the number, the report, the
  // files written and the exit status are those of the sequential run.
  unsigned jobs = 1;
  // Go on past a file that cannot be converted (its line is printed, its output left as it was)
  // instead of stopping there; the run then ends with "ERROR: N of M files not converted" when
  // any file failed.
  bool keepGoing = false;
  // Read the layouts a default run refuses too (palette, grey, 16-bit, ...).
  bool expand = false;
  // Bytes the pictures in flight may take at once (estimated before each file is loaded); 0:
  // half of usableMemoryBytes(). A file alone always runs, whatever its estimate.
  std::uint64_t memoryBudget = 0;
  // Where the warnings of the readers' libraries go ("Premature end of JPEG file"): each file's
  // just before its report line, for the files a sequential run reaches, once each.
  std::FILE* warnings = stderr;
};

// Runs one batch in the current working directory, writing its report lines to out (flushed
// after each line) and calling pause once before it returns. Returns the exit status: 0 after a
// complete run, 1 after the first failure (with keepGoing: after a run in which any file failed,
// or one that could not go on at all, such as an img/ that cannot be listed).
[[nodiscard]] int runConverter(std::FILE* out, PauseFunction pause, const RunOptions& options = {});
