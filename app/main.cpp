// pow2bmp: converts every picture in ./img into a power-of-two BMP file in ./bmp.

#include <csignal>
#include <cstdio>

#include "app/command_line.h"
#include "app/driver.h"
#include "app/platform.h"

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
  // A write beyond the file size limit must fail as a short write, not kill the process.
  std::signal(SIGXFSZ, SIG_IGN);
  // An interrupted run leaves no temporary file behind.
  installInterruptCleanup();
  return runConverter(stdout, pauseBeforeExit);
}
