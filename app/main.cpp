// pow2bmp: converts every picture in ./img into a power-of-two BMP file in ./bmp.

#include <cstdio>

#include "app/command_line.h"
#include "app/driver.h"
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
    case CommandLineAction::convert:
      break;
  }
  installSignalHandling();
  RunOptions options;
  options.jobs = commandLine.jobs != 0 ? commandLine.jobs : availableCpuCount();
  return runConverter(stdout, pauseBeforeExit, options);
}
