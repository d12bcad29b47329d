#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct ArgumentCase {
  std::vector<const char*> arguments;
  CommandLineAction expected;
  unsigned jobs = 0;
  bool keepGoing = false;
  bool noPause = false;
};

void PrintTo(const ArgumentCase& c, std::ostream* out) {
  for (const char* argument : c.arguments) *out << argument << ' ';
}

class CommandLineCases : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(CommandLineCases, RecognisesHelpVersionAndJobs) {
  std::vector<const char*> argv{"pow2bmp"};
  argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  const CommandLine line = parseCommandLine(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(line.action, GetParam().expected);
  if (line.action == CommandLineAction::convert || line.action == CommandLineAction::check) {
    EXPECT_EQ(line.jobs, GetParam().jobs);
  }
  if (line.action != CommandLineAction::usageError) {
    EXPECT_EQ(line.keepGoing, GetParam().keepGoing);
    EXPECT_EQ(line.noPause, GetParam().noPause);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineCases,
    ::testing::Values(
        ArgumentCase{{}, CommandLineAction::convert},
        ArgumentCase{{"--help"}, CommandLineAction::help},
        ArgumentCase{{"-h"}, CommandLineAction::help},
        ArgumentCase{{"--version"}, CommandLineAction::version},
        ArgumentCase{{"--version", "-h"}, CommandLineAction::help},
        ArgumentCase{{"img"}, CommandLineAction::usageError},
        ArgumentCase{{"-help"}, CommandLineAction::usageError},
        ArgumentCase{{"--HELP"}, CommandLineAction::usageError},
        ArgumentCase{{"x", "--version"}, CommandLineAction::version},
        ArgumentCase{{"-j", "3"}, CommandLineAction::convert, 3},
        ArgumentCase{{"-j8"}, CommandLineAction::convert, 8},
        ArgumentCase{{"--jobs", "1024"}, CommandLineAction::convert, 1024},
        ArgumentCase{{"--jobs=2", "img"}, CommandLineAction::usageError},
        ArgumentCase{{"a.png", "b.bmp"}, CommandLineAction::convertOne},
        ArgumentCase{{"a.png", "-"}, CommandLineAction::convertOne},
        ArgumentCase{{"--", "-a.png", "b.bmp"}, CommandLineAction::convertOne},
        ArgumentCase{{"-j", "2", "a.png", "b.bmp"}, CommandLineAction::usageError},
        ArgumentCase{{"a", "b", "c"}, CommandLineAction::usageError},
        ArgumentCase{{"--check"}, CommandLineAction::check},
        ArgumentCase{{"--check", "-j", "2", "a", "b", "c"}, CommandLineAction::check, 2},
        ArgumentCase{{"-j", "2", "-j", "5"}, CommandLineAction::convert, 5},
        ArgumentCase{{"-j", "0"}, CommandLineAction::usageError},
        ArgumentCase{{"-j", "1025"}, CommandLineAction::usageError},
        ArgumentCase{{"--jobs=3x"}, CommandLineAction::usageError},
        ArgumentCase{{"--jobs="}, CommandLineAction::usageError},
        ArgumentCase{{"-j", "-2"}, CommandLineAction::usageError},
        ArgumentCase{{"-j"}, CommandLineAction::usageError},
        ArgumentCase{{"--version", "-j", "x"}, CommandLineAction::usageError},
        ArgumentCase{{"-j", "x", "--help"}, CommandLineAction::help},
        // Going on past failures and leaving out the pause: meant for the batch,
        // taken (and changing nothing) by the check and by one file per call.
        ArgumentCase{{"--keep-going"}, CommandLineAction::convert, 0, true},
        ArgumentCase{{"-k", "-j", "2"}, CommandLineAction::convert, 2, true},
        ArgumentCase{{"--no-pause"}, CommandLineAction::convert, 0, false, true},
        ArgumentCase{{"--no-pause", "-k", "-j3"}, CommandLineAction::convert, 3, true, true},
        ArgumentCase{{"--check", "-k", "--no-pause"}, CommandLineAction::check, 0, true, true},
        ArgumentCase{{"--keep-going", "--no-pause", "a.png", "b.bmp"},
                     CommandLineAction::convertOne,
                     0,
                     true,
                     true},
        ArgumentCase{{"--keep-going=yes"}, CommandLineAction::usageError},
        ArgumentCase{{"-kj2"}, CommandLineAction::usageError},
        ArgumentCase{{"--no-pause", "img"}, CommandLineAction::usageError}));

// The message names the option and its value, on one line.
TEST(UsageError, IsOneLineNamingTheOption) {
  const char* argv[] = {"pow2bmp", "--jobs=many"};
  const CommandLine line = parseCommandLine(2, argv);
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  printUsageError(out, line);
  std::rewind(out);
  char text[256] = {};
  const std::size_t got = std::fread(text, 1, sizeof text - 1, out);
  std::fclose(out);
  const std::string message(text, got);
  EXPECT_NE(message.find("--jobs=many"), std::string::npos) << message;
  EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
}

}  // namespace
