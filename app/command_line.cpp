// Command-line handling. No option is acted on before the whole line is read, so a usage error
// or a request for information never touches a folder.

#include "app/command_line.h"

#include <cstring>

#ifndef POW2BMP_VERSION
#define POW2BMP_VERSION "unknown"
#endif

namespace {

// A decimal count of workers, 1..kMaxJobs, with nothing around the digits; 0 when the text is
// anything else.
unsigned parseJobs(const char* text) noexcept {
  if (text == nullptr || *text == '\0') return 0;
  unsigned value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return 0;
    value = value * 10 + static_cast<unsigned>(*text - '0');
    if (value > kMaxJobs) return 0;
  }
  return value;
}

// The value of an option that takes one: glued to a short option (-j4), after '=' of a long
// one (--jobs=4), or the next argument (which index then steps over). Null when the argument is
// not the option or it has no value; found tells the two apart.
const char* optionValue(const char* shortName, const char* longName, int argc,
                        const char* const* argv, int& index, bool& found) noexcept {
  const char* argument = argv[index];
  found = false;
  const std::size_t shortBytes = std::strlen(shortName);
  const std::size_t longBytes = std::strlen(longName);
  if (std::strncmp(argument, shortName, shortBytes) == 0 && argument[shortBytes] != '\0') {
    found = true;
    return argument + shortBytes;
  }
  if (std::strncmp(argument, longName, longBytes) == 0 && argument[longBytes] == '=') {
    found = true;
    return argument + longBytes + 1;
  }
  if (std::strcmp(argument, shortName) != 0 && std::strcmp(argument, longName) != 0) {
    return nullptr;
  }
  found = true;
  if (index + 1 >= argc) return nullptr;
  return argv[++index];
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) noexcept {
  CommandLine line;
  bool help = false;
  bool version = false;
  bool check = false;
  bool jobsGiven = false;
  bool optionsEnded = false;
  line.paths = allocateArray<const char*>(argc > 0 ? static_cast<std::size_t>(argc) : 1);
  if (!line.paths) {
    line.action = CommandLineAction::noMemory;
    return line;
  }
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    // "-" alone is a path (standard output as OUTPUT), as is everything after "--".
    if (optionsEnded || argument[0] != '-' || argument[1] == '\0') {
      line.paths[line.pathCount++] = argument;
      continue;
    }
    if (std::strcmp(argument, "--") == 0) {
      optionsEnded = true;
    } else if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
      help = true;
    } else if (std::strcmp(argument, "--version") == 0) {
      version = true;
    } else if (std::strcmp(argument, "--check") == 0) {
      check = true;
    } else if (std::strcmp(argument, "--keep-going") == 0 || std::strcmp(argument, "-k") == 0) {
      line.keepGoing = true;
    } else if (std::strcmp(argument, "--no-pause") == 0) {
      line.noPause = true;
    } else if (std::strcmp(argument, "--expand") == 0) {
      line.expand = true;
    } else {
      const int at = i;
      bool found = false;
      const char* value = optionValue("-j", "--jobs", argc, argv, i, found);
      if (!found) {
        if (line.badOption == nullptr && line.problem == nullptr) {
          line.badOption = argument;
          line.problem = "unknown option";
        }
        continue;
      }
      jobsGiven = true;
      const unsigned jobs = parseJobs(value);
      if (jobs == 0 && line.badOption == nullptr) {
        line.badOption = argv[at];
        line.badValue = value;
        line.problem = nullptr;
      }
      line.jobs = jobs;
    }
  }
  if (line.problem == nullptr && line.badOption == nullptr && !version) {
    if (check) {
      line.action = CommandLineAction::check;
    } else if (line.pathCount == 2 && !jobsGiven) {
      line.action = CommandLineAction::convertOne;
    } else if (line.pathCount == 2) {
      line.problem = "-j applies to the batch and to --check, not to one file";
    } else if (line.pathCount != 0) {
      line.problem = "give INPUT OUTPUT to convert one file, or no argument for the folder img";
    }
  }
  if (help) {
    line.action = CommandLineAction::help;
  } else if (line.badOption != nullptr || line.problem != nullptr) {
    line.action = CommandLineAction::usageError;
  } else if (version) {
    line.action = CommandLineAction::version;
  }
  return line;
}

void printUsage(std::FILE* out) noexcept {
  std::fputs(
      "Usage: pow2bmp [-j N] [-k] [--no-pause]\n"
      "       pow2bmp --check [-j N] [INPUT...]\n"
      "       pow2bmp INPUT OUTPUT\n"
      "       (each also with --expand)\n"
      "Converts every picture in the folder img (BMP, TGA, PNG or JPEG) into an uncompressed\n"
      "BMP file in the folder bmp, its canvas enlarged to power-of-two width and height by\n"
      "repeating the edge pixels. The picture's own width and height are stored in the\n"
      "header's horizontal and vertical pixels-per-metre fields.\n"
      "The run stops at the first file it cannot convert (exit status 1), unless -k is\n"
      "given, and pauses two seconds before it exits, unless --no-pause is given.\n"
      "\n"
      "  -j, --jobs N   convert with N workers (1 to 1024; the default is one per CPU the\n"
      "                 process may run on); the report, the files and the exit status are\n"
      "                 those of -j 1\n"
      "  -k, --keep-going\n"
      "                 convert every file that can be: print each failing file's ERROR\n"
      "                 line and go on; end with OK, or with \"ERROR: N of M files not\n"
      "                 converted\" and exit status 1\n"
      "      --no-pause no pause before the run exits (for scripts)\n"
      "      --expand   also read the layouts a run refuses without it: palette, grey and\n"
      "                 16-bit PNG; palette, run-length and bit-field BMP; colour-mapped,\n"
      "                 grey and 15/16-bit TGA (written as 24-bit BMP, 32-bit with alpha)\n"
      "      --check    decode every file of img (or each INPUT) and print one line per file,\n"
      "                 PATH<TAB>ok<TAB>DETAILS or PATH<TAB>refused<TAB>REASON, then a count;\n"
      "                 writes nothing, no pause; exit status 0 when every file would convert\n"
      "  INPUT OUTPUT   convert one file into the BMP file OUTPUT (\"-\": standard output,\n"
      "                 the report line then on standard error), making OUTPUT's missing\n"
      "                 folders; no pause\n"
      "  -h, --help     show this text and exit\n"
      "      --version  show the version and exit\n"
      "--check and INPUT OUTPUT take -k and --no-pause too: they go on and do not pause\n"
      "anyway. A usage error exits with status 2.\n",
      out);
}

void printVersion(std::FILE* out) noexcept { std::fputs("pow2bmp " POW2BMP_VERSION "\n", out); }

void printUsageError(std::FILE* out, const CommandLine& commandLine) noexcept {
  if (commandLine.problem != nullptr) {
    if (commandLine.badOption != nullptr) {
      std::fprintf(out, "pow2bmp: %s: %s (see pow2bmp --help)\n", commandLine.badOption,
                   commandLine.problem);
    } else {
      std::fprintf(out, "pow2bmp: %s (see pow2bmp --help)\n", commandLine.problem);
    }
  } else if (commandLine.badValue == nullptr) {
    std::fprintf(out, "pow2bmp: %s needs a number of jobs from 1 to %u (see pow2bmp --help)\n",
                 commandLine.badOption, kMaxJobs);
  } else {
    std::fprintf(out,
                 "pow2bmp: %s: '%s' is not a number of jobs from 1 to %u (see pow2bmp --help)\n",
                 commandLine.badOption, commandLine.badValue, kMaxJobs);
  }
}
