// pow2bmp: converts every picture in ./img into a power-of-two BMP file in ./bmp, checks them,
// or converts one file.

#include <cstdio>
#include <cstring>

#include "app/check.h"
#include "app/command_line.h"
#include "app/driver.h"
#include "app/single_file.h"
#include "base/platform.h"

namespace {

constexpr unsigned kExitPauseMilliseconds = 2000;
constexpr int kUsageErrorStatus = 2;

void pauseBeforeExit() { pauseMilliseconds(kExitPauseMilliseconds); }

}  // namespace

int main(int argc, char** argv) {
  const CommandLine commandLine = parseCommandLine(argc, argv);
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
      std::fputs("ERROR: memory\n", stdout);
      return 1;
    case CommandLineAction::check: {
      CheckOptions options;
      options.jobs = commandLine.jobs != 0 ? commandLine.jobs : availableCpuCount();
      options.paths = commandLine.paths.get();
      options.pathCount = commandLine.pathCount;
      return runCheck(stdout, options);
    }
    case CommandLineAction::convertOne: {
      installSignalHandling();
      const char* output = commandLine.paths[1];
      // With the picture on standard output, the report line goes to standard error.
      std::FILE* messages = std::strcmp(output, "-") == 0 ? stderr : stdout;
      if (messages == stderr) useBinaryMode(stdout);
      return convertSingleFile(commandLine.paths[0], output, messages, stdout);
    }
    case CommandLineAction::convert:
      break;
  }
  installSignalHandling();
  RunOptions options;
  options.jobs = commandLine.jobs != 0 ? commandLine.jobs : availableCpuCount();
  return runConverter(stdout, pauseBeforeExit, options);
}
