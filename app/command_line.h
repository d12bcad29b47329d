#pragma once
// The command line. With no argument the batch converts img/ into bmp/; -j sets its workers,
// --keep-going makes it go on past files it cannot convert, --no-pause leaves out its pause;
// --check reports on img/ or on the files named; two paths convert one file; --expand makes
// any of the three read every layout of the formats; --help and --version inform. Anything else is
// a usage error.

#include <cstddef>
#include <cstdio>

#include "base/heap.h"

enum class CommandLineAction {
  convert,     // the batch over img/
  check,       // check mode, over img/ or paths
  convertOne,  // paths[0] into paths[1]
  help,
  version,
  usageError,
  noMemory,  // the arguments could not be kept
};

// The most workers a run may be asked for.
constexpr unsigned kMaxJobs = 1024;

struct CommandLine {
  CommandLineAction action = CommandLineAction::convert;
  unsigned jobs = 0;       // workers asked for with -j; 0: one per CPU the process may run on
  bool keepGoing = false;  // -k, --keep-going: the batch goes on past a file it cannot convert
  bool noPause = false;    // --no-pause: the batch exits without its pause
  bool expand = false;     // --expand: the readers also take the layouts a default run refuses
  HeapPtr<const char*[]> paths;  // the arguments that are not options, in order
  std::size_t pathCount = 0;
  // usageError only: the option at fault and its value (null when the value is missing), or,
  // when badOption is null, what is wrong with the arguments as a whole.
  const char* badOption = nullptr;
  const char* badValue = nullptr;
  const char* problem = nullptr;
};

// --help or -h anywhere asks for the usage text; otherwise a bad option value, an unknown option
// or a pattern of arguments other than those below is a usage error; otherwise --version asks for
// the version. -j N, -jN, --jobs N and --jobs=N set the number of workers (1..kMaxJobs; the last
// one given counts) of the batch or the check. -k or --keep-going and --no-pause are the
// batch's; the check and one file per call take them too and change nothing, since they go on
// past refused files and do not pause anyway. --expand applies to all three. "--" ends the
// options.
//   (nothing) [--expand] [-j N] [-k] [--no-pause]   the batch
//   --check [--expand] [-j N] [INPUT...]            check mode
//   [--expand] INPUT OUTPUT                         one file ("-" as OUTPUT: standard output)
[[nodiscard]] CommandLine parseCommandLine(int argc, const char* const* argv) noexcept;

void printUsage(std::FILE* out) noexcept;
void printVersion(std::FILE* out) noexcept;
// The one-line message of a usage error.
void printUsageError(std::FILE* out, const CommandLine& commandLine) noexcept;
