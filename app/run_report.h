#pragma once
// The lines of a run: how they are written, the warnings of a decode, and the listing's own
// failure lines.

#include <cstdio>

#include "base/decode_report.h"
#include "base/folder_listing.h"
#include "base/printf_format.h"

// The line of a run, or of one file, that ran out of memory.
inline constexpr char kMemoryLine[] = "ERROR: memory\n";

// printf to out, flushed at once: each line of a report reaches its reader as it happens.
void report(std::FILE* out, const char* format, ...) noexcept POW2BMP_PRINTF_FORMAT(2, 3);

// Writes the warnings a decode held (DecodeReport::warnings) to `warnings`, flushed: each file's
// when the file is reported, just before its line, so they come in the report's order, once.
void reportWarnings(std::FILE* warnings, const DecodeReport& decode) noexcept;

// Lists the input folder into names. On failure reports the run's line ("ERROR: Cannot find any
// image in folder img/*.*" or "ERROR: memory") to out and returns false.
[[nodiscard]] bool listInputFolder(FolderListing& names, std::FILE* out) noexcept;
