#pragma once
// Check mode: decodes every file a run would convert, or the files named, and says for each
// whether it would convert and, when not, why; writes nothing and does not pause.

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct CheckOptions {
  unsigned jobs = 1;                   // files decoded at once; the report is that of one
  std::uint64_t memoryBudget = 0;      // as RunOptions::memoryBudget
  const char* const* paths = nullptr;  // the files to check; none: the entries of img/
  std::size_t pathCount = 0;
  std::FILE* warnings = stderr;  // as RunOptions::warnings
  bool expand = false;           // as RunOptions::expand
};

// Writes one line per file, in order (the entries of img/ in name order, skipping what a run
// skips, or the paths as given), then a count:
//   PATH <TAB> ok <TAB> FORMAT WxH RGB|RGBA -> OUTPUT PWxPH BITS-bit
//   PATH <TAB> ok <TAB> FORMAT LAYOUT WxH -> OUTPUT PWxPH BITS-bit   (a file read by expanding)
//   PATH <TAB> refused <TAB> REASON
//   N files checked: A would convert, B would not
// OUTPUT is the output path a run would write (for files named on the command line the output
// is the caller's, so the padded size and bits follow the arrow alone). When a later entry of
// img/ (not one a run skips) has the same output, the ok line ends with " (replaced by
// img/LATER)", the next such entry's path, escaped like the fields. PATH, OUTPUT and REASON
// are written by writeEscapedField: tab, line feed, backslash and other control bytes escaped.
// Returns 0 when every file would convert, 1 otherwise or when img/ cannot be listed.
[[nodiscard]] int runCheck(std::FILE* out, const CheckOptions& options) noexcept;
