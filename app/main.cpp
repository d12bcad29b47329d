// pow2bmp: converts every picture in ./img into a power-of-two BMP file in ./bmp, checks them,
// or converts one file.

#include <cstdio>
#include <cstring>

#include "app/check.h"
#include "app/command_line.h"
#include "app/driver.h"
#include "app/output_names.h"
#include "app/run_limits.h"
#include "app/run_report.h"
#include "app/single_file.h"
#include "base/platform.h"

namespace {

constexpr unsigned kExitPauseMilliseconds = 2000;
constexpr int kUsageErrorStatus = 2;

void pauseBeforeExit() { pauseMilliseconds(kExitPauseMilliseconds); }
void noPause() {}

// The exit status once the report is out: a report that could not be written whole (a full
// disk, a closed pipe whose signal is ignored) is no success, and is said on standard error.
int withReportWritten(int status, bool alreadyReported) {
  const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
  if (written) return status;
  if (!alreadyReported) std::fputs("ERROR: cannot write to standard output\n", stderr);
  return status == 0 ? 1 : status;
}

int run(const CommandLine& commandLine) {
  switch (commandLine.action) {
    case CommandLineAction::help:
      printUsage(stdout);
      return 0;
    case CommandLineAction::version:
      printVersion(stdout);
      return 0;
    case CommandLineAction::usageError:
      printUsageError(stderr, commandLine);
      return kUsageErrorStatus;
    case CommandLineAction::noMemory:
      std::fputs(kMemoryLine, stdout);
      return 1;
    case CommandLineAction::check: {
      CheckOptions options;
      options.jobs = commandLine.jobs != 0 ? commandLine.jobs : availableCpuCount();
      options.paths = commandLine.paths.get();
      options.pathCount = commandLine.pathCount;
      options.expand = commandLine.expand;
      return runCheck(stdout, options);
    }
    case CommandLineAction::convertOne: {
      installSignalHandling();
      const char* output = commandLine.paths[1];
      // With the picture on standard output, the report line goes to standard error.
      const bool pictureOut = std::strcmp(output, "-") == 0;
      if (pictureOut) useBinaryMode(stdout);
      const int status = convertSingleFile(
          commandLine.paths[0], output, pictureOut ? stderr : stdout, stdout, commandLine.expand);
      // A picture that could not be written to standard output has had its error line.
      return withReportWritten(status, pictureOut && status != 0);
    }
    case CommandLineAction::convert:
      break;
  }
  installSignalHandling();
  RunOptions options;
  options.jobs = commandLine.jobs != 0 ? commandLine.jobs : availableCpuCount();
  options.keepGoing = commandLine.keepGoing;
  options.expand = commandLine.expand;
  return runConverter(stdout, commandLine.noPause ? noPause : pauseBeforeExit, options);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a closed standard descriptor must not be handed to an output file.
  openClosedStandardDescriptors();
  const CommandLine commandLine = parseCommandLine(argc, argv);
  const int status = run(commandLine);
  if (commandLine.action == CommandLineAction::convertOne) return status;
  return withReportWritten(status, false);
}
