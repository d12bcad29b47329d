#include "support/test_files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "app/driver.h"
#include "base/platform.h"

ScratchFolder::ScratchFolder(const std::filesystem::path& parent) {
#ifdef _WIN32
  // No mkdtemp: random names until one is new.
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const std::filesystem::path candidate = parent / ("pow2bmp-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) path_ = candidate;
  }
  if (path_.empty()) throw std::runtime_error("cannot make a scratch folder");
#else
  std::string pattern = (parent / "pow2bmp-test-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
#endif
}

ScratchFolder::ScratchFolder(bool enter) : ScratchFolder(std::filesystem::temp_directory_path()) {
  if (enter) {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  if (!previous_.empty()) std::filesystem::current_path(previous_, ignored);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string withNativeSeparators(std::string text) {
  for (const char* folder : {"img/", "bmp/"}) {
    for (std::size_t at = text.find(folder); at != std::string::npos; at = text.find(folder, at)) {
      at += 3;
      text[at] = kPathSeparator[0];
    }
  }
  return text;
}

std::string asLinuxReport(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i] == '\\' ? '/' : text[i];
  }
  return out;
}

ProcessResult runProcess(const std::string& command, const std::filesystem::path& folder) {
  ProcessResult result;
#ifdef _WIN32
  // Through cmd.exe, whose pipe is read in binary mode so the text arrives as written.
  const std::string full = "cd /d \"" + folder.string() + "\" && " + command;
  std::FILE* pipe = ::_popen(full.c_str(), "rb");
#else
  const std::string full = "cd '" + folder.native() + "' && " + command;
  std::FILE* pipe = ::popen(full.c_str(), "r");
#endif
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
#ifdef _WIN32
  result.status = ::_pclose(pipe);
#else
  const int status = ::pclose(pipe);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
#endif
  return result;
}

std::string temporaryNameIdentity(std::string host) {
  for (char& c : host) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-';
    if (!kept) c = '-';
  }
#ifdef _WIN32
  return host + "_0";
#else
  struct stat space {};
  if (::stat("/proc/self/ns/pid", &space) != 0) throw std::runtime_error("no /proc/self/ns/pid");
  return host + "_" + std::to_string(space.st_ino);
#endif
}

std::string temporaryNameIdentity() {
  char host[256] = {};
#ifdef _WIN32
  DWORD length = sizeof host;
  if (::GetComputerNameA(host, &length) == 0) throw std::runtime_error("no computer name");
#else
  if (::gethostname(host, sizeof host - 1) != 0) throw std::runtime_error("no host name");
#endif
  return temporaryNameIdentity(host);
}

#ifdef _WIN32
bool resetPeakResident() { return false; }

std::size_t peakResidentBytes() { return 0; }
#else
bool resetPeakResident() {
  std::ofstream clearRefs("/proc/self/clear_refs");
  clearRefs << "5";  // 5: reset the peak resident set size
  clearRefs.flush();
  return static_cast<bool>(clearRefs);
}

std::size_t peakResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6)) * 1024;  // in kB
  }
  return 0;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) : previousHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
  ::getrlimit(RLIMIT_FSIZE, &previous_);
  rlimit lowered = previous_;
  lowered.rlim_cur = bytes;
  ::setrlimit(RLIMIT_FSIZE, &lowered);
}

FileSizeLimit::~FileSizeLimit() {
  ::setrlimit(RLIMIT_FSIZE, &previous_);
  std::signal(SIGXFSZ, previousHandler_);
}
#endif

namespace {

// The whole content of a temporary file, which is closed.
std::string takeTemporaryFile(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  std::fclose(file);
  return text;
}

}  // namespace

// A temporary file for a run's report. Wine's tmpfile now and then fails when another test
// process makes temporary files at the same moment, so it is asked again a few times.
std::FILE* reportFile() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (std::FILE* file = std::tmpfile()) return file;
  }
  throw std::runtime_error("tmpfile failed");
}

ProcessResult runConverterHere(const RunOptions& options) {
  std::FILE* out = reportFile();
  std::FILE* warnings = nullptr;
  try {
    warnings = reportFile();
  } catch (...) {
    std::fclose(out);
    throw;
  }
  RunOptions withWarnings = options;
  withWarnings.warnings = warnings;
  ProcessResult result;
  result.status = runConverter(
      out, [] {}, withWarnings);
  result.output = takeTemporaryFile(out);
  result.warnings = takeTemporaryFile(warnings);
  return result;
}

ImagePtr numberedImage(unsigned channels, unsigned height, unsigned width) {
  ImagePtr image = createImage(channels, height, width);
  for (std::size_t i = 0; i < image->pixelBytes(); ++i) {
    image->pixels()[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  return image;
}

std::vector<std::string> entriesOf(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    names.push_back(entry->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}
