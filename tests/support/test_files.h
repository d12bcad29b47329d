#pragma once
// Scratch folders and whole-file helpers for the tests.

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/driver.h"
#include "base/image.h"

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder (or under parent), removed with everything
// in it on destruction. With enter = true the process works inside it until destruction.
class ScratchFolder {
 public:
  explicit ScratchFolder(bool enter = false);
  explicit ScratchFolder(const std::filesystem::path& parent);
  explicit ScratchFolder(const char* parent) = delete;  // would pick the bool overload silently
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

void writeFile(const std::filesystem::path& path, const Bytes& bytes);

// The names of a folder's entries, sorted; empty when it cannot be listed.
[[nodiscard]] std::vector<std::string> entriesOf(const std::filesystem::path& folder);
[[nodiscard]] Bytes readFile(const std::filesystem::path& path);

// A picture whose bytes count up in steps of 7 from 3 (mod 256), so any misplaced byte shows.
[[nodiscard]] ImagePtr numberedImage(unsigned channels, unsigned height, unsigned width);

// The text with the '/' after each "img" and "bmp" turned into the native path separator: a
// converter report as this platform words it ("bmp/a.bmp" reads "bmp\\a.bmp" on Windows).
[[nodiscard]] std::string withNativeSeparators(std::string text);

// The text of a Windows report read as Linux's: "\r\n" as "\n" and every '\\' as '/'.
[[nodiscard]] std::string asLinuxReport(const std::string& text);

// What the converter must write for an input file, made without the converter's code
// (reference_bmp.cpp): the picture as libpng, libjpeg or a plain BMP or TGA reader decodes it,
// padded to powers of two by repeating its edges, behind its BMP header; empty when the input
// does not decode.
[[nodiscard]] Bytes expectedBmpFile(const Bytes& input);
// The same for a picture in memory (rows bottom-up, pixels B,G,R(,A)).
[[nodiscard]] Bytes expectedPaddedBmp(const Image& image);

struct ProcessResult {
  int status = -1;     // exit status, or -1 when the process did not exit normally
  std::string output;  // standard output
  // runConverterHere: what the run wrote to its warnings stream (standard error in the program);
  // runProcess leaves it empty.
  std::string warnings;
};

// Runs one batch of the converter in the current folder without the pause and collects its
// report and its warnings (the warnings stream of options is replaced): the in-process
// counterpart of running the binary.
[[nodiscard]] ProcessResult runConverterHere(const RunOptions& options = {});

// Runs a command through the shell in the given folder and collects its standard output.
[[nodiscard]] ProcessResult runProcess(const std::string& command,
                                       const std::filesystem::path& folder);

// The identity a temporary file name carries for a process of the given host name, read from
// the system here (the PID namespace's inode on Linux, 0 on Windows): `HOST_SPACE`, the host name
// with bytes other than letters, digits, '.' and '-' written as '-'.
[[nodiscard]] std::string temporaryNameIdentity(std::string host);
// The same for this machine's own name (gethostname, or GetComputerNameA on Windows).
[[nodiscard]] std::string temporaryNameIdentity();

// Starts a new peak of resident memory for peakResidentBytes (through /proc/self/clear_refs);
// false when the system does not offer it (Windows).
[[nodiscard]] bool resetPeakResident();

// The most bytes of the process's memory resident at once since the last resetPeakResident (or
// since the start), from /proc/self/status; 0 when it cannot be read.
[[nodiscard]] std::size_t peakResidentBytes();

#ifndef _WIN32
// Lowers the file size limit of the process for the life of the object, with SIGXFSZ ignored, so
// that writes beyond the limit fail with EFBIG instead of ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit previous_{};
  void (*previousHandler_)(int);
};
#endif
