#pragma once
// What a reader says about a file it was given: which format it recognised, when it returns no
// picture why, in words for the user, and the warnings its library gave on the way. Readers take
// it as an optional out-parameter; with a null pointer they skip every word of it (warnings
// included: nothing below the program's driver prints) and return exactly what they return with
// one.

#include <cstddef>
#include <cstdint>

#include "base/printf_format.h"

enum class ImageFormat : std::uint8_t { none, bmp, tga, png, jpeg };

// "BMP", "TGA", "PNG", "JPEG"; "" for none.
[[nodiscard]] const char* formatName(ImageFormat format) noexcept;

struct DecodeReport {
  static constexpr std::size_t kReasonBytes = 200;
  static constexpr std::size_t kWarningBytes = 256;
  static constexpr std::size_t kLayoutBytes = 40;

  // The reader that recognised the file (by its signature, or a TGA header that holds
  // together): the one that decoded it, or the one whose refusal `reason` gives. none when no
  // reader recognised the file.
  ImageFormat format = ImageFormat::none;
  // Why no picture came out, zero-terminated and cut to fit; empty when a picture did.
  char reason[kReasonBytes] = {};
  // The kind of that reason: true when it is a block that could not be had (refuseForMemory),
  // not the file's content.
  bool outOfMemory = false;
  // What a library said while decoding without stopping ("Premature end of JPEG file"), with or
  // without a picture: the lines its own message output would have printed on standard error,
  // each ending in a line feed, zero-terminated. The caller prints them when it reports the file.
  // A line that does not fit whole is left out (the JPEG library gives one line per decode).
  char warnings[kWarningBytes] = {};
  // For a picture read only because the reader was asked to expand, what the file is beyond its
  // format, in the words check mode prints after the format's name ("palette 8-bit"); empty for
  // a layout every run converts.
  char layout[kLayoutBytes] = {};
};

// Marks the report, when there is one, as recognised by format.
inline void recognise(DecodeReport* report, ImageFormat format) noexcept {
  if (report != nullptr) report->format = format;
}

// Writes the printf-style reason into the report, when there is one, as a reason about the
// file's content; allocates nothing.
void refuse(DecodeReport* report, const char* format, ...) noexcept POW2BMP_PRINTF_FORMAT(2, 3);

// The same for a block that could not be had: kOutOfMemoryReason, or the given reason, with
// outOfMemory set.
void refuseForMemory(DecodeReport* report, const char* reason = nullptr) noexcept;

// Writes the printf-style layout into the report, when there is one.
void describeLayout(DecodeReport* report, const char* format, ...) noexcept
    POW2BMP_PRINTF_FORMAT(2, 3);

// Appends the library's message as one line of the report's warnings, when there is a report
// and the line fits whole.
void holdWarning(DecodeReport* report, const char* message) noexcept;

// The reason every reader gives when a block it needs cannot be had.
inline constexpr char kOutOfMemoryReason[] = "not enough memory to decode it";
