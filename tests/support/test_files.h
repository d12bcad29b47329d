#pragma once
// Scratch folders and whole-file helpers for the tests.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder, removed with everything in it on
// destruction. With enter = true the process works inside it until destruction.
class ScratchFolder {
 public:
  explicit ScratchFolder(bool enter = false);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

void writeFile(const std::filesystem::path& path, const Bytes& bytes);
[[nodiscard]] Bytes readFile(const std::filesystem::path& path);

struct ProcessResult {
  int status = -1;     // exit status, or -1 when the process did not exit normally
  std::string output;  // standard output
};

// Runs a command through the shell in the given folder and collects its standard output.
[[nodiscard]] ProcessResult runProcess(const std::string& command,
                                       const std::filesystem::path& folder);
