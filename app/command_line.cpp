// Command-line handling. The converter has always ignored its arguments; only the two
// informational requests are recognised, and they never touch a folder.

#include "app/command_line.h"

#include <cstring>

#ifndef POW2BMP_VERSION
#define POW2BMP_VERSION "unknown"
#endif

CommandLineAction parseCommandLine(int argc, const char* const* argv) noexcept {
  bool version = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      return CommandLineAction::help;
    }
    if (std::strcmp(argv[i], "--version") == 0) version = true;
  }
  return version ? CommandLineAction::version : CommandLineAction::convert;
}

void printUsage(std::FILE* out) noexcept {
  std::fputs(
      "Usage: pow2bmp\n"
      "Converts every picture in the folder img (BMP, TGA, PNG or JPEG) into an uncompressed\n"
      "BMP file in the folder bmp, its canvas enlarged to power-of-two width and height by\n"
      "repeating the edge pixels. The picture's own width and height are stored in the\n"
      "header's horizontal and vertical pixels-per-metre fields.\n"
      "The run stops at the first file it cannot convert (exit status 1) and pauses two\n"
      "seconds before it exits.\n"
      "\n"
      "  -h, --help     show this text and exit\n"
      "      --version  show the version and exit\n",
      out);
}

void printVersion(std::FILE* out) noexcept { std::fputs("pow2bmp " POW2BMP_VERSION "\n", out); }
