#pragma once
// The command line: the converter takes no arguments, but answers --help, -h and --version.

#include <cstdio>

enum class CommandLineAction { convert, help, version };

// --help or -h anywhere asks for the usage text, else --version for the version; every other
// argument is ignored and the batch runs.
[[nodiscard]] CommandLineAction parseCommandLine(int argc, const char* const* argv) noexcept;

void printUsage(std::FILE* out) noexcept;
void printVersion(std::FILE* out) noexcept;
