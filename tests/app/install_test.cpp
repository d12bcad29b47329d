// The installed program: `cmake --install` of the build that made the binary under test into a
// scratch prefix, then the installed copy run as a user would. Also the command-line behaviour
// seen from outside: informational requests answer at once, any other argument is ignored.
//
// cmake is the one that configured the build (CMAKE_COMMAND in its cache), else cmake from PATH.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <utility>

#include "support/bmp_builder.h"
#include "support/png_writer.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

// "pow2bmp X.Y.Z\n" with three numbers (written out: std::regex trips GCC 12's
// maybe-uninitialized warning in the sanitizer build).
bool isVersionLine(const std::string& text) {
  const std::string prefix = "pow2bmp ";
  if (text.size() < prefix.size() + 6 || text.compare(0, prefix.size(), prefix) != 0 ||
      text.back() != '\n') {
    return false;
  }
  int numbers = 0;
  bool inNumber = false;
  for (std::size_t i = prefix.size(); i + 1 < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      if (!inNumber) ++numbers;
      inNumber = true;
    } else if (c == '.' && inNumber) {
      inNumber = false;
    } else {
      return false;
    }
  }
  return inNumber && numbers == 3;
}

namespace fs = std::filesystem;

// Single-quoted for the shell; the paths used here hold no quote.
std::string shellQuoted(const fs::path& path) { return "'" + path.native() + "'"; }

fs::path buildFolder() { return fs::path(POW2BMP_BINARY).parent_path(); }

std::string cmakeCommand() {
  std::ifstream cache(buildFolder() / "CMakeCache.txt");
  const std::string key = "CMAKE_COMMAND:INTERNAL=";
  for (std::string line; std::getline(cache, line);) {
    if (line.rfind(key, 0) == 0) return shellQuoted(line.substr(key.size()));
  }
  return "cmake";
}

// A small folder of pictures in three formats, sizes that need padding both ways.
void writeSampleInputs(const fs::path& folder) {
  fs::create_directory(folder / "img");
  writeFile(folder / "img" / "a.bmp", buildBmp({.width = 6, .height = 5}));
  writeFile(folder / "img" / "b.tga",
            buildTga({.width = 9, .height = 4, .pixelDepth = 32}, tgaTestPixels(9, 4, 4)));
  writeFile(folder / "img" / "c.png", buildPng(makePngPicture(5, 17, 8, 2, false, 7)));
}

constexpr const char* kSampleReport =
    "File bmp/a.bmp generated OK, size: 6x5/24\n"
    "File bmp/b.bmp generated OK, size: 9x4/32\n"
    "File bmp/c.bmp generated OK, size: 5x17/24\n"
    "OK\n";

void expectSameOutputs(const fs::path& expected, const fs::path& actual) {
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) {
    SCOPED_TRACE(name);
    const Bytes want = readFile(expected / "bmp" / name);
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(readFile(actual / "bmp" / name), want);
  }
}

TEST(Install, InstalledProgramAnswersAndConvertsLikeTheBuild) {
  ScratchFolder prefix;
  const ProcessResult install =
      runProcess(cmakeCommand() + " --install " + shellQuoted(buildFolder()) + " --prefix " +
                     shellQuoted(prefix.path()) + " 2>&1",
                 prefix.path());
  ASSERT_EQ(install.status, 0) << install.output;

  const fs::path installed = prefix.path() / "bin" / "pow2bmp";
  ASSERT_TRUE(fs::is_regular_file(installed)) << install.output;
  EXPECT_NE(fs::status(installed).permissions() & fs::perms::owner_exec, fs::perms::none);
  const fs::path manPage = prefix.path() / "share" / "man" / "man1" / "pow2bmp.1";
  ASSERT_TRUE(fs::is_regular_file(manPage)) << install.output;

  const std::string built = shellQuoted(POW2BMP_BINARY);
  const ProcessResult version = runProcess(shellQuoted(installed) + " --version", prefix.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(isVersionLine(version.output)) << version.output;
  EXPECT_EQ(version.output, runProcess(built + " --version", prefix.path()).output);

  const ProcessResult help = runProcess(shellQuoted(installed) + " --help", prefix.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output, runProcess(built + " --help", prefix.path()).output);

  // The man page's title line names the version the program reports.
  const Bytes page = readFile(manPage);
  const std::string pageText(page.begin(), page.end());
  const std::string versionText = version.output.substr(0, version.output.size() - 1);
  EXPECT_NE(pageText.find(".TH POW2BMP 1 "), std::string::npos);
  EXPECT_NE(pageText.find("\"" + versionText + "\""), std::string::npos)
      << "doc/pow2bmp.1 does not name " << versionText;

  ScratchFolder installedRun;
  ScratchFolder builtRun;
  writeSampleInputs(installedRun.path());
  writeSampleInputs(builtRun.path());
  const ProcessResult run = runProcess(shellQuoted(installed), installedRun.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, kSampleReport);
  const ProcessResult reference = runProcess(built, builtRun.path());
  EXPECT_EQ(reference.output, kSampleReport);
  expectSameOutputs(builtRun.path(), installedRun.path());
}

// The conversion run pauses two seconds before it exits; an informational request must not.
constexpr auto kWellBelowThePause = std::chrono::milliseconds(1500);

struct TimedRun {
  ProcessResult result;
  std::chrono::steady_clock::duration elapsed;
};

TimedRun timedRun(const std::string& arguments, const fs::path& folder) {
  const auto start = std::chrono::steady_clock::now();
  ProcessResult result = runProcess(shellQuoted(POW2BMP_BINARY) + arguments, folder);
  return {std::move(result), std::chrono::steady_clock::now() - start};
}

TEST(Install, InformationalRequestsAnswerAtOnceAndConvertNothing) {
  for (const char* arguments :
       {" --help", " -h", " --version", " img --version", " --version -h"}) {
    SCOPED_TRACE(arguments);
    ScratchFolder folder;
    writeSampleInputs(folder.path());
    const TimedRun run = timedRun(arguments, folder.path());
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.output.find("generated OK"), std::string::npos) << run.result.output;
    EXPECT_LT(run.elapsed, kWellBelowThePause);
    EXPECT_FALSE(fs::exists(folder.path() / "bmp"));
  }
}

// Arguments the program does not take stop it at once with a usage error: status 2, no pause,
// no folder touched.
TEST(Install, UnknownArgumentsAreAUsageError) {
  ScratchFolder folder;
  writeSampleInputs(folder.path());
  const TimedRun run = timedRun(" --helpme -v --versions -- img out.bmp", folder.path());
  EXPECT_EQ(run.result.status, 2);
  EXPECT_EQ(run.result.output, "");
  EXPECT_LT(run.elapsed, std::chrono::milliseconds(2000));  // no pause
  EXPECT_FALSE(fs::exists(folder.path() / "bmp"));
  EXPECT_FALSE(fs::exists(folder.path() / "out.bmp"));
}

}  // namespace
