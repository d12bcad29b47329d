#pragma once
// The converter program as the end-to-end tests start it: the Linux binary, or, in the Wine
// builds of those tests (POW2BMP_WINE defined), the Windows program under Wine. Each test file
// that includes this is built with POW2BMP_BINARY, and POW2BMP_WINE in its Wine build.

#include <string>

#include "support/test_files.h"

// The shell words that start the program under test, quoted.
inline std::string binaryCommand() {
#ifdef POW2BMP_WINE
  return std::string("'") + POW2BMP_WINE + "' '" + POW2BMP_BINARY + "'";
#else
  return std::string("'") + POW2BMP_BINARY + "'";
#endif
}

// True when the program under test is the Windows one.
constexpr bool kBinaryUnderWine =
#ifdef POW2BMP_WINE
    true;
#else
    false;
#endif

// The program's report text as the Linux binary words it: the Windows program ends its lines
// with "\r\n" and separates paths with '\\', and both are read as Linux's. The Linux binary's
// text is taken as it is, so a stray carriage return there still fails a comparison.
[[nodiscard]] inline std::string reportText(std::string text) {
  return kBinaryUnderWine ? asLinuxReport(std::move(text)) : text;
}
