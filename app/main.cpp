// pow2bmp: converts every picture in ./img into a power-of-two BMP file in ./bmp.

#include <csignal>
#include <cstdio>

#include "app/driver.h"
#include "app/platform.h"

namespace {

constexpr unsigned kExitPauseMilliseconds = 2000;

void pauseBeforeExit() { pauseMilliseconds(kExitPauseMilliseconds); }

}  // namespace

int main() {
  // A write beyond the file size limit must fail as a short write, not kill the process.
  std::signal(SIGXFSZ, SIG_IGN);
  return runConverter(stdout, pauseBeforeExit);
}
