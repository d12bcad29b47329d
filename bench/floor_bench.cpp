// The floor of a batch run: every file of a folder decoded with decodeImage (the time summed),
// and the bytes of each output file (header and padded pixels) written from one buffer reused
// for every file (the time of creating, writing and closing the files summed). A run of the
// converter can be no faster than the two together; scripts/bench-e2e.sh compares them.
//
// Usage: floor_bench <input-folder> <output-folder>
// Prints "<decode seconds> <write seconds> <files> <output bytes>"; status 1 when a file does
// not decode or an output cannot be written.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/loader.h"

namespace {

using Clock = std::chrono::steady_clock;

unsigned paddedSide(unsigned side) {
  unsigned padded = 4;
  while (padded < side) padded *= 2;
  return padded;
}

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: floor_bench <input-folder> <output-folder>\n");
    return 2;
  }
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  std::filesystem::create_directories(argv[2]);

  // Decode: the file read untimed, decodeImage timed, its picture freed as the next file comes.
  std::vector<std::size_t> outputBytes;
  Clock::duration decode{};
  for (const auto& path : inputs) {
    std::ifstream stream(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(stream)),
                                          std::istreambuf_iterator<char>());
    const auto start = Clock::now();
    const ImagePtr picture = decodeImage(ByteSpan(bytes.data(), bytes.size()));
    decode += Clock::now() - start;
    if (!picture) {
      std::fprintf(stderr, "floor_bench: %s does not decode\n", path.c_str());
      return 1;
    }
    outputBytes.push_back(54 + std::size_t{paddedSide(picture->width)} *
                                   paddedSide(picture->height) * picture->channels);
  }

  // Write: one buffer, its pages touched before the clock starts, for every output file.
  const std::size_t largest = *std::max_element(outputBytes.begin(), outputBytes.end());
  std::vector<std::uint8_t> buffer(largest, 0x5A);
  Clock::duration write{};
  std::size_t total = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::string out =
        (std::filesystem::path(argv[2]) / inputs[i].filename()).string() + ".bmp";
    const auto start = Clock::now();
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::size_t done = 0;
    while (fd >= 0 && done < outputBytes[i]) {
      const ssize_t wrote = ::write(fd, buffer.data() + done, outputBytes[i] - done);
      if (wrote <= 0) break;
      done += static_cast<std::size_t>(wrote);
    }
    const bool closed = fd >= 0 && ::close(fd) == 0;
    write += Clock::now() - start;
    if (!closed || done != outputBytes[i]) {
      std::fprintf(stderr, "floor_bench: cannot write %s\n", out.c_str());
      return 1;
    }
    total += done;
  }
  std::printf("%.3f %.3f %zu %zu\n", seconds(decode), seconds(write), inputs.size(), total);
  return 0;
}
