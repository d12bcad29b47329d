// pow2bmp: converts every picture in ./img into a power-of-two BMP file in ./bmp.

#include <cstdio>

#include "app/command_line.h"
#include "app/driver.h"
#include "base/platform.h"

namespace {

constexpr unsigned kExitPauseMilliseconds = 2000;

void pauseBeforeExit() { pauseMilliseconds(kExitPauseMilliseconds); }

}  // namespace

int main(int argc, char** argv) {
  switch (parseCommandLine(argc, argv)) {
    case CommandLineAction::help:
      printUsage(stdout);
      return 0;
    case CommandLineAction::version:
      printVersion(stdout);
      return 0;
    case CommandLineAction::convert:
      break;
  }
  installSignalHandling();
  return runConverter(stdout, pauseBeforeExit);
}
