// Corpus replay for builds without libFuzzer: runs every file named on the command line, and
// every regular file inside every folder named there (sorted by name), through the target's
// LLVMFuzzerTestOneInput once. A folder or file that does not exist is passed over, so an empty
// regression folder that version control dropped is no failure; finding no input at all is.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool replayFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> contents((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  // A copy in a block of exactly the input's size, so reading past it is an ASan finding.
  std::vector<std::uint8_t> bytes(contents.begin(), contents.end());
  std::uint8_t* data = bytes.empty() ? nullptr : bytes.data();
  static_cast<void>(LLVMFuzzerTestOneInput(data, bytes.size()));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) static_cast<void>(LLVMFuzzerInitialize(&argc, &argv));
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path argument = argv[i];
    std::error_code error;
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(argument, error)) {
      for (const auto& entry : std::filesystem::directory_iterator(argument, error)) {
        if (entry.is_regular_file(error)) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
    } else if (std::filesystem::is_regular_file(argument, error)) {
      files.push_back(argument);
    }
    for (const auto& file : files) {
      if (!replayFile(file)) return 1;
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  return replayed != 0 ? 0 : 1;
}
