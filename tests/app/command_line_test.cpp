#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct ArgumentCase {
  std::vector<const char*> arguments;
  CommandLineAction expected;
};

void PrintTo(const ArgumentCase& c, std::ostream* out) {
  for (const char* argument : c.arguments) *out << argument << ' ';
}

class CommandLine : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(CommandLine, RecognisesOnlyHelpAndVersion) {
  std::vector<const char*> argv{"pow2bmp"};
  argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  EXPECT_EQ(parseCommandLine(static_cast<int>(argv.size()), argv.data()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLine,
    ::testing::Values(ArgumentCase{{}, CommandLineAction::convert},
                      ArgumentCase{{"--help"}, CommandLineAction::help},
                      ArgumentCase{{"-h"}, CommandLineAction::help},
                      ArgumentCase{{"--version"}, CommandLineAction::version},
                      ArgumentCase{{"--version", "-h"}, CommandLineAction::help},
                      ArgumentCase{{"img"}, CommandLineAction::convert},
                      ArgumentCase{{"-help"}, CommandLineAction::convert},
                      ArgumentCase{{"--HELP"}, CommandLineAction::convert},
                      ArgumentCase{{"x", "--version"}, CommandLineAction::version}));

}  // namespace
