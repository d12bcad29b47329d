// The real binary ended by a signal in the middle of writing a 256 MiB output, and the clean-up of
// temporary files that no handler saw go. The binary runs as a child of the test, so the test
// can stop it the moment its temporary file shows, send the signal, let it go on and collect how
// it ended.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/bmp_builder.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint16_t kBigSide = 8192;  // 8192 x 8192 x 4 bytes: a 256 MiB output
constexpr int kAttempts = 3;              // runs that finish before the test sees them
constexpr char kTemporaryPrefix[] = ".pow2bmp-";

// An 8192 x 8192 run-length encoded 32-bit TGA: 2.6 MB to read, 256 MiB to write. Every packet
// repeats one pixel 128 times.
Bytes buildBigTga() {
  constexpr std::size_t kPackets = std::size_t{kBigSide} * kBigSide / 128;
  Bytes packets;
  packets.reserve(kPackets * 5);
  for (std::size_t i = 0; i < kPackets; ++i) {
    const auto shade = static_cast<std::uint8_t>(i);
    packets.insert(packets.end(), {0xFF, shade, 0x40, 0x80, 0xFF});  // run of 128, then B G R A
  }
  return buildTga({.imageType = 10, .width = kBigSide, .height = kBigSide, .pixelDepth = 32},
                  packets);
}

// Names of the entries of a folder in byte order.
bool holdsTemporaryFile(const fs::path& folder) {
  const std::vector<std::string> names = entriesOf(folder);
  return std::any_of(names.begin(), names.end(),
                     [](const std::string& name) { return name.rfind(kTemporaryPrefix, 0) == 0; });
}

// Starts the binary in folder with its report sent to /dev/null, as a shell starts a foreground
// command: the three interrupt signals at their default action and not blocked.
// jobs, when not null, is passed as -j jobs.
pid_t startBinary(const fs::path& folder, const char* jobs) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signalNumber : {SIGHUP, SIGINT, SIGTERM}) ::signal(signalNumber, SIG_DFL);
    const int null = ::open("/dev/null", O_WRONLY);
    if (::chdir(folder.c_str()) != 0 || null < 0 || ::dup2(null, STDOUT_FILENO) < 0) ::_exit(126);
    if (jobs != nullptr) {
      ::execl(POW2BMP_BINARY, POW2BMP_BINARY, "-j", jobs, static_cast<char*>(nullptr));
    } else {
      ::execl(POW2BMP_BINARY, POW2BMP_BINARY, static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  return pid;
}

// How a run ended.
enum class Outcome { interrupted, finishedFirst };

// Runs the binary, stops it once a temporary file is in bmp/, sends signalNumber, lets it go on
// and waits for it. finishedFirst when the file was renamed before the stop took hold.
Outcome runAndInterrupt(const fs::path& folder, int signalNumber, int& waitStatus,
                        const char* jobs = nullptr) {
  const fs::path bmp = folder / "bmp";
  const pid_t pid = startBinary(folder, jobs);
  EXPECT_GT(pid, 0);
  // The loop ends when the file shows or the run ends, whichever comes first.
  while (!holdsTemporaryFile(bmp)) {
    if (::waitpid(pid, &waitStatus, WNOHANG) == pid) return Outcome::finishedFirst;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(pid, SIGSTOP);
  EXPECT_EQ(::waitpid(pid, &waitStatus, WUNTRACED), pid);
  if (WIFEXITED(waitStatus)) return Outcome::finishedFirst;
  const bool temporaryLeft = holdsTemporaryFile(bmp);
  if (temporaryLeft) ::kill(pid, signalNumber);
  ::kill(pid, SIGCONT);
  EXPECT_EQ(::waitpid(pid, &waitStatus, 0), pid);
  return temporaryLeft ? Outcome::interrupted : Outcome::finishedFirst;
}

class Interruption : public ::testing::TestWithParam<int> {};

// The signal arrives while the temporary file is open: the handler removes it and the process
// ends by that signal. Neither the temporary file nor the final name is left in bmp/.
TEST_P(Interruption, SignalDuringWriteRemovesTheTemporaryFile) {
  const int signalNumber = GetParam();
  ScratchFolder folder;
  fs::create_directory(folder.path() / "img");
  writeFile(folder.path() / "img" / "big.tga", buildBigTga());
  int waitStatus = 0;
  Outcome outcome = Outcome::finishedFirst;
  for (int attempt = 0; attempt < kAttempts && outcome == Outcome::finishedFirst; ++attempt) {
    fs::remove_all(folder.path() / "bmp");
    outcome = runAndInterrupt(folder.path(), signalNumber, waitStatus);
  }
  ASSERT_EQ(outcome, Outcome::interrupted) << "every run finished before it could be stopped";
  ASSERT_TRUE(WIFSIGNALED(waitStatus)) << "wait status " << waitStatus;
  EXPECT_EQ(WTERMSIG(waitStatus), signalNumber);
  EXPECT_EQ(entriesOf(folder.path() / "bmp"), std::vector<std::string>{});
}

// The same in a run of three workers over three such files: each worker writes its file under a
// temporary name of its own at once, yet the signal removes every one of them, and what is left
// in bmp/ are the files put in place before it, in name order.
TEST_P(Interruption, SignalDuringParallelRunLeavesNoTemporaryFile) {
  const int signalNumber = GetParam();
  ScratchFolder folder;
  fs::create_directory(folder.path() / "img");
  const Bytes big = buildBigTga();
  const std::vector<std::string> outputs = {"a.bmp", "b.bmp", "c.bmp"};
  for (const std::string& output : outputs) {
    writeFile(folder.path() / "img" / (output.substr(0, 1) + ".tga"), big);
  }
  int waitStatus = 0;
  Outcome outcome = Outcome::finishedFirst;
  for (int attempt = 0; attempt < kAttempts && outcome == Outcome::finishedFirst; ++attempt) {
    fs::remove_all(folder.path() / "bmp");
    outcome = runAndInterrupt(folder.path(), signalNumber, waitStatus, "3");
  }
  ASSERT_EQ(outcome, Outcome::interrupted) << "every run finished before it could be stopped";
  ASSERT_TRUE(WIFSIGNALED(waitStatus)) << "wait status " << waitStatus;
  EXPECT_EQ(WTERMSIG(waitStatus), signalNumber);
  const std::vector<std::string> left = entriesOf(folder.path() / "bmp");
  ASSERT_LT(left.size(), outputs.size());
  EXPECT_EQ(left, std::vector<std::string>(
                      outputs.begin(), outputs.begin() + static_cast<std::ptrdiff_t>(left.size())));
}

std::string signalName(const ::testing::TestParamInfo<int>& param) {
  return param.param == SIGHUP ? "Hangup" : param.param == SIGINT ? "Interrupt" : "Terminate";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Interruption, ::testing::Values(SIGHUP, SIGINT, SIGTERM),
                         signalName);

// A PID that has just ended: a child that exits at once, reaped.
pid_t endedPid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

// Leftovers of a process of this host and PID namespace that no longer runs are removed at the
// start of the next run; the file of a live process (this test), files of other hosts or
// namespaces, whose PIDs mean nothing here, and names of any other form stay.
TEST(InterruptionLeftovers, NextRunRemovesOnlyFilesOfEndedProcesses) {
  ScratchFolder folder;
  const fs::path bmp = folder.path() / "bmp";
  fs::create_directory(folder.path() / "img");
  fs::create_directory(bmp);
  writeFile(folder.path() / "img" / "a.bmp", buildBmp({}));
  const std::string dead = std::to_string(endedPid());
  const std::string live = std::to_string(::getpid());
  const std::string here = ".pow2bmp-" + temporaryNameIdentity() + "-";
  const std::vector<std::string> removed = {here + dead + "-0.tmp",
                                            here + dead + "-4294967295.tmp"};
  std::vector<std::string> kept = {
      here + live + "-0.tmp",
      here + dead + "-0.tmp~",
      here + dead + ".tmp",
      here.substr(1) + dead + "-0.tmp",
      here + "-0.tmp",
      here + dead + "-x.tmp",
      here + dead + "-4294967296.tmp",
      here + "0-0.tmp",
      ".pow2bmp-" + dead + "-0.tmp",
      ".pow2bmp-" + temporaryNameIdentity("elsewhere") + "-" + dead + "-0.tmp",
      ".pow2bmp-" + temporaryNameIdentity() + "1-" + dead + "-0.tmp",
      ".pow2bmp-x" + temporaryNameIdentity() + "-" + dead + "-0.tmp",
      here + "1-" + dead + "-0.tmp"};
  for (const std::string& name : removed) writeFile(bmp / name, Bytes{1});
  for (const std::string& name : kept) writeFile(bmp / name, Bytes{1});

  const ProcessResult run = runProcess(std::string("'") + POW2BMP_BINARY + "'", folder.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "File bmp/a.bmp generated OK, size: 4x4/24\nOK\n");
  kept.emplace_back("a.bmp");
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(entriesOf(bmp), kept);
}

// True when this test may make namespaces (root, and unshare at hand).
bool namespacesAvailable() {
  return ::geteuid() == 0 &&
         std::system("unshare --pid --fork --mount-proc --uts true >/dev/null 2>&1") == 0;
}

// Runs on other hosts or in other PID namespaces write into one shared bmp/ (containers,
// cluster nodes). A run in a PID namespace of its own does not take a live run's temporary file
// for a leftover, and a run under another host name removes only its own host's leftovers.
TEST(InterruptionLeftovers, RunsOfOtherNamespacesAndHostsKeepEachOthersFiles) {
  if (!namespacesAvailable()) GTEST_SKIP() << "needs root and unshare";
  ScratchFolder writer;
  ScratchFolder other;
  fs::create_directory(writer.path() / "img");
  writeFile(writer.path() / "img" / "big.tga", buildBigTga());
  fs::create_directory(other.path() / "img");
  writeFile(other.path() / "img" / "a.bmp", buildBmp({}));
  fs::create_directory(writer.path() / "bmp");
  fs::create_directory_symlink(writer.path() / "bmp", other.path() / "bmp");

  // The writer stopped while its temporary file is open.
  const pid_t pid = startBinary(writer.path(), nullptr);
  ASSERT_GT(pid, 0);
  int waitStatus = 0;
  while (!holdsTemporaryFile(writer.path() / "bmp")) {
    ASSERT_NE(::waitpid(pid, &waitStatus, WNOHANG), pid) << "the writer ended first";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(pid, SIGSTOP);
  ASSERT_EQ(::waitpid(pid, &waitStatus, WUNTRACED), pid);
  const std::string command = std::string("'") + POW2BMP_BINARY + "'";
  const ProcessResult contained =
      runProcess("unshare --pid --fork --mount-proc " + command, other.path());
  EXPECT_EQ(contained.output, "File bmp/a.bmp generated OK, size: 4x4/24\nOK\n");
  ::kill(pid, SIGCONT);
  ASSERT_EQ(::waitpid(pid, &waitStatus, 0), pid);
  ASSERT_TRUE(WIFEXITED(waitStatus));
  EXPECT_EQ(WEXITSTATUS(waitStatus), 0) << "the writer lost its temporary file";
  EXPECT_TRUE(fs::exists(writer.path() / "bmp" / "big.bmp"));

  // Under another host name the leftover of this host stays and that host's own goes.
  const std::string dead = std::to_string(endedPid());
  const std::string ours = ".pow2bmp-" + temporaryNameIdentity() + "-" + dead + "-0.tmp";
  const std::string theirs =
      ".pow2bmp-" + temporaryNameIdentity("elsewhere") + "-" + dead + "-0.tmp";
  writeFile(other.path() / "bmp" / ours, Bytes{1});
  writeFile(other.path() / "bmp" / theirs, Bytes{1});
  const ProcessResult renamed =
      runProcess("unshare --uts sh -c 'hostname elsewhere && exec " + command + "'", other.path());
  EXPECT_EQ(renamed.status, 0);
  EXPECT_TRUE(fs::exists(other.path() / "bmp" / ours));
  EXPECT_FALSE(fs::exists(other.path() / "bmp" / theirs));
}

}  // namespace
