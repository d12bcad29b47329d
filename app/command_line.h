#pragma once
// The command line: the batch takes its folders from the working directory; options choose the
// number of workers or ask for the usage text or the version.

#include <cstdio>

enum class CommandLineAction { convert, help, version, usageError };

// The most workers a run may be asked for.
constexpr unsigned kMaxJobs = 1024;

struct CommandLine {
  CommandLineAction action = CommandLineAction::convert;
  unsigned jobs = 0;  // workers asked for with -j; 0: one per CPU the process may run on
  // usageError only: the option at fault and its value (null when the value is missing).
  const char* badOption = nullptr;
  const char* badValue = nullptr;
};

// --help or -h anywhere asks for the usage text; otherwise a bad option value is a usage error;
// otherwise --version asks for the version. -j N, -jN, --jobs N and --jobs=N set the number of
// workers (1..kMaxJobs; the last one given counts). Every other argument is ignored and the
// batch runs.
[[nodiscard]] CommandLine parseCommandLine(int argc, const char* const* argv) noexcept;

void printUsage(std::FILE* out) noexcept;
void printVersion(std::FILE* out) noexcept;
// The one-line message of a usage error.
void printUsageError(std::FILE* out, const CommandLine& commandLine) noexcept;
