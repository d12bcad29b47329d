// What the real binary writes reaches only the place it is meant for, and a report that is lost
// is not taken for a success: one-file mode against devices, FIFOs, folders and its own input;
// runs started with standard output closed; reports written into a full device or a closed pipe.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "support/bmp_builder.h"
#include "support/png_writer.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

namespace fs = std::filesystem;

const std::string kBinary = std::string("'") + POW2BMP_BINARY + "'";

Bytes picture() { return buildPng(makePngPicture(37, 19, 8, 2, false, 5)); }

// A character device node of the given numbers in folder, as the null and full devices are;
// false when this user may not make one.
bool makeDevice(const fs::path& path, unsigned minor) {
  return ::mknod(path.c_str(), S_IFCHR | 0666, ::makedev(1, minor)) == 0;
}

bool isCharacterDevice(const fs::path& path) { return fs::is_character_file(path); }

// A device, a FIFO or a folder named as the output is never replaced: the device and the FIFO
// get the BMP in place (a full device the write error), a folder is refused.
TEST(OneFileOutput, DevicesAndFifosAreWrittenInPlaceAndFoldersRefused) {
  ScratchFolder folder;
  writeFile(folder.path() / "in.png", picture());
  const ProcessResult reference = runProcess(kBinary + " in.png ref.bmp", folder.path());
  ASSERT_EQ(reference.status, 0);

  ASSERT_EQ(::mkfifo((folder.path() / "fifo").c_str(), 0666), 0);
  const ProcessResult fifo =
      runProcess("{ cat fifo > read.bmp & " + kBinary + " in.png fifo; wait; }", folder.path());
  EXPECT_EQ(fifo.output, "File fifo generated OK, size: 37x19/24\n");
  EXPECT_TRUE(fs::is_fifo(folder.path() / "fifo"));
  EXPECT_EQ(readFile(folder.path() / "read.bmp"), readFile(folder.path() / "ref.bmp"));

  fs::create_directory(folder.path() / "dir");
  const ProcessResult dir = runProcess(kBinary + " in.png dir", folder.path());
  EXPECT_EQ(dir.status, 1);
  EXPECT_EQ(dir.output, "ERROR: cannot create output file dir\n");
  EXPECT_TRUE(fs::is_empty(folder.path() / "dir"));

  if (!makeDevice(folder.path() / "null", 3) || !makeDevice(folder.path() / "full", 7)) {
    GTEST_SKIP() << "no device nodes can be made here (needs root)";
  }
  const ProcessResult null = runProcess(kBinary + " in.png null", folder.path());
  EXPECT_EQ(null.status, 0);
  EXPECT_TRUE(isCharacterDevice(folder.path() / "null"));
  const ProcessResult full = runProcess(kBinary + " in.png full", folder.path());
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.output, "ERROR: cannot write to full\n");
  EXPECT_TRUE(isCharacterDevice(folder.path() / "full"));
}

// The input named again as the output, by itself, a link or a second hard link, or standard
// output appended to it: refused before anything is written, and the input stays whole.
TEST(OneFileOutput, TheInputItselfIsNeverTheOutput) {
  ScratchFolder folder;
  const Bytes original = picture();
  writeFile(folder.path() / "in.png", original);
  fs::create_symlink("in.png", folder.path() / "link.png");
  fs::create_hard_link(folder.path() / "in.png", folder.path() / "hard.png");
  for (const char* arguments :
       {"in.png in.png", "in.png link.png", "hard.png in.png", "in.png - >> in.png"}) {
    const ProcessResult run = runProcess(kBinary + " 2>&1 " + arguments, folder.path());
    EXPECT_EQ(run.status, 1) << arguments;
    EXPECT_NE(run.output.find(" is the input file "), std::string::npos) << run.output;
    EXPECT_EQ(readFile(folder.path() / "in.png"), original) << arguments;
  }
}

// A batch whose output folder is its input folder under another name (either one a link to the
// other) writes and removes nothing there: a.bmp would be replaced by its own padded copy, and
// a.png's output would join the next run's inputs.
TEST(BatchOutput, AnOutputFolderThatIsTheInputFolderIsRefused) {
  for (const char* linked : {"bmp", "img"}) {
    ScratchFolder folder;
    const char* real = std::string(linked) == "bmp" ? "img" : "bmp";
    const fs::path pictures = folder.path() / real;
    fs::create_directories(pictures);
    putBmp(pictures / "a.bmp", 37, 19);
    writeFile(pictures / "a.png", picture());
    const pid_t ended = ::fork();  // a leftover of a process that has ended, which a run sweeps
    if (ended == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    writeFile(
        pictures / (".pow2bmp-" + temporaryNameIdentity() + "-" + std::to_string(ended) + "-0.tmp"),
        Bytes{1});
    fs::create_symlink(real, folder.path() / linked);
    const Bytes bmp = readFile(pictures / "a.bmp");
    const std::vector<std::string> before = entriesOf(pictures);
    const ProcessResult run = runProcess(kBinary + " --no-pause 2>&1", folder.path());
    EXPECT_EQ(run.status, 1) << linked;
    EXPECT_EQ(run.output, "ERROR: output folder bmp is the input folder img itself\n");
    EXPECT_EQ(entriesOf(pictures), before) << linked;
    EXPECT_EQ(readFile(pictures / "a.bmp"), bmp) << linked;
  }
}

// Pictures enough to keep two workers' temporary files open while report lines are written.
void writeFolderOfPictures(const fs::path& img, int count) {
  fs::create_directories(img);
  for (int index = 0; index < count; ++index) {
    writeFile(img / ("p" + std::to_string(100 + index) + ".png"),
              buildPng(makePngPicture(300 + static_cast<unsigned>(index), 200, 8, 6, false,
                                      static_cast<unsigned>(index))));
  }
}

// With standard output and error closed, no output file takes their descriptors: every BMP file
// is the one a run with them open writes.
TEST(ClosedStandardStreams, ReportLinesNeverLandInPictures) {
  ScratchFolder open;
  ScratchFolder closed;
  writeFolderOfPictures(open.path() / "img", 24);
  writeFolderOfPictures(closed.path() / "img", 24);
  ASSERT_EQ(runProcess(kBinary + " -j 2", open.path()).status, 0);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(runProcess(kBinary + " -j 2 >&- 2>&-; echo $?", closed.path()).output, "0\n");
    for (const std::string& name : entriesOf(open.path() / "bmp")) {
      ASSERT_EQ(readFile(closed.path() / "bmp" / name), readFile(open.path() / "bmp" / name))
          << name;
    }
  }
}

// Runs the binary (-j 2) in folder with standard output a pipe whose reader is already gone;
// returns the wait status.
int runIntoClosedPipe(const fs::path& folder) {
  int ends[2];
  if (::pipe(ends) != 0) return -1;
  ::close(ends[0]);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    if (::chdir(folder.c_str()) != 0 || ::dup2(ends[1], STDOUT_FILENO) < 0) ::_exit(126);
    ::execl(POW2BMP_BINARY, POW2BMP_BINARY, "-j", "2", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ends[1]);
  int status = -1;
  ::waitpid(pid, &status, 0);
  return status;
}

// A report that cannot be written (a full device) fails the run and says so on standard error;
// a reader that went away ends the run by SIGPIPE with no temporary file left behind.
TEST(LostReport, WriteErrorsFailTheRunAndAClosedPipeLeavesNoTemporaryFile) {
  ScratchFolder folder;
  writeFolderOfPictures(folder.path() / "img", 6);
  for (const char* mode : {"--check", "-j 2", "--version"}) {
    const ProcessResult run =
        runProcess(kBinary + " " + mode + " 2>&1 >/dev/full; echo $?", folder.path());
    EXPECT_EQ(run.output, "ERROR: cannot write to standard output\n1\n") << mode;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    fs::remove_all(folder.path() / "bmp");
    const int status = runIntoClosedPipe(folder.path());
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << "wait status " << status;
    const std::vector<std::string> left = entriesOf(folder.path() / "bmp");
    EXPECT_TRUE(
        std::none_of(left.begin(), left.end(),
                     [](const std::string& name) { return name.rfind(".pow2bmp-", 0) == 0; }))
        << "attempt " << attempt;
  }
}

}  // namespace
