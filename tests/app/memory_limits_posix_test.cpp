// The program under memory limits set from outside: a cgroup memory limit, which the kernel
// enforces by killing the process, and an address-space limit (`ulimit -v`), under which an
// allocation fails. A file the program cannot hold is refused before it is decoded, the same way
// at every number of jobs; what one job converts, several convert too.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/decode_report.h"
#include "support/binary_under_test.h"
#include "support/bmp_builder.h"
#include "support/deflate_bits.h"
#include "support/png_writer.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A 16384x16384 RGB PNG whose zlib stream is about 1 MB of 258-byte matches of zero bytes: it
// inflates to about 160 MB, far past any limit below, before it runs out (it is cut short of
// the picture's 805 MB, which the reader only finds at the end).
Bytes pngOfZerosClaimingTheLargestSize() {
  DeflateBitWriter writer;
  writer.bits(0x78, 8).bits(0x01, 8);  // zlib header: deflate, 32 KiB window, no dictionary
  writer.blockHeader(true, 1).fixedLiteral(0);
  for (int match = 0; match < 640 * 1024; ++match) writer.fixedMatch(258, 1);
  return joinBytes({pngSignature(), pngChunk("IHDR", pngHeaderData(16384, 16384, 8, 2)),
                    pngChunk("IDAT", writer.finish()), pngChunk("IEND", {})});
}

// A memory cgroup of its own with the given limit, removed when it goes (after every process in
// it has ended). Empty path when the system offers none to this process.
class MemoryCgroup {
 public:
  explicit MemoryCgroup(std::uint64_t limitBytes) {
    if (::geteuid() != 0) return;
    const std::string name = "pow2bmp-test-" + std::to_string(::getpid());
    std::string limitFile;
    if (fs::exists("/sys/fs/cgroup/memory/memory.limit_in_bytes")) {  // v1
      folder_ = fs::path("/sys/fs/cgroup/memory") / name;
      limitFile = "memory.limit_in_bytes";
    } else if (readFileText("/sys/fs/cgroup/cgroup.subtree_control").find("memory") !=
               std::string::npos) {  // v2, the controller enabled for children of the root
      folder_ = fs::path("/sys/fs/cgroup") / name;
      limitFile = "memory.max";
    } else {
      return;
    }
    if (::mkdir(folder_.c_str(), 0755) != 0) {
      folder_.clear();
      return;
    }
    std::ofstream(folder_ / limitFile) << limitBytes;
    if (readFileText(folder_ / limitFile).find(std::to_string(limitBytes)) != 0) {
      ::rmdir(folder_.c_str());
      folder_.clear();
    }
  }
  ~MemoryCgroup() {
    if (!folder_.empty()) ::rmdir(folder_.c_str());
  }
  MemoryCgroup(const MemoryCgroup&) = delete;
  MemoryCgroup& operator=(const MemoryCgroup&) = delete;

  [[nodiscard]] bool made() const { return !folder_.empty(); }

  // The shell words that move the shell into the cgroup and start the program there.
  [[nodiscard]] std::string command(const std::string& arguments) const {
    return "echo $$ > '" + (folder_ / "cgroup.procs").string() + "' && exec " + binaryCommand() +
           " " + arguments;
  }

 private:
  static std::string readFileText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path folder_;
};

TEST(MemoryLimits, AFileBeyondACgroupLimitIsRefusedBeforeItIsDecoded) {
  const MemoryCgroup cgroup(std::uint64_t{128} << 20);
  if (!cgroup.made()) GTEST_SKIP() << "needs root and a memory cgroup controller to make a cgroup";
  const ScratchFolder folder;
  const fs::path img = folder.path() / "img";
  fs::create_directories(img);
  writeFile(img / "a.bmp", buildBmp({.width = 9, .height = 6}));
  writeFile(img / "b.png", pngOfZerosClaimingTheLargestSize());
  writeFile(img / "c.bmp", buildBmp({.width = 5, .height = 4}));

  const ProcessResult check = runProcess(cgroup.command("--check"), folder.path());
  EXPECT_EQ(check.status, 1) << check.output;
  EXPECT_NE(check.output.find(std::string("img/b.png\trefused\t") + kOutOfMemoryReason + "\n"),
            std::string::npos)
      << check.output;
  EXPECT_NE(check.output.find("3 files checked: 2 would convert, 1 would not\n"), std::string::npos)
      << check.output;

  const ProcessResult one = runProcess(cgroup.command("img/b.png out.bmp"), folder.path());
  EXPECT_EQ(one.status, 1);
  EXPECT_EQ(one.output, "ERROR: memory\n");

  const std::string expected =
      "File bmp/a.bmp generated OK, size: 9x6/24\n"
      "ERROR: memory\n";
  for (const char* jobs : {"-j 1", "-j 8"}) {
    const ProcessResult batch = runProcess(cgroup.command(jobs), folder.path());
    EXPECT_EQ(batch.status, 1) << jobs;
    EXPECT_EQ(batch.output, expected) << jobs;
    EXPECT_FALSE(fs::exists(folder.path() / "bmp" / "c.bmp")) << jobs;
  }
}

// Large pictures under an address-space limit that leaves room for about two of them: one job
// at a time converts them, and so do eight workers, whose threads would otherwise each reserve
// an allocator arena and a stack of the stack limit's size besides the pictures in flight.
TEST(MemoryLimits, EightJobsConvertUnderAnAddressSpaceLimitWhatOneJobConverts) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
  const ScratchFolder folder;
  const fs::path img = folder.path() / "img";
  fs::create_directories(img);
  const Bytes picture = buildBmp({.width = 4096, .height = 4096, .bitsPerPixel = 32});
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp", "d.bmp"}) writeFile(img / name, picture);
  std::string expected;
  for (const char* name : {"a", "b", "c", "d"}) {
    expected += std::string("File bmp/") + name + ".bmp generated OK, size: 4096x4096/32\n";
  }
  expected += "OK\n";
  // Each file holds 64 MiB of bytes and a 64 MiB picture while it loads.
  const std::string limit = "ulimit -v " + std::to_string(400 * 1024) + " && exec ";
  for (const char* jobs : {"-j 1", "-j 8"}) {
    fs::remove_all(folder.path() / "bmp");
    const ProcessResult batch =
        runProcess(limit + binaryCommand() + " " + jobs + " 2>&1", folder.path());
    EXPECT_EQ(batch.status, 0) << jobs;
    EXPECT_EQ(batch.output, expected) << jobs;
  }
}

}  // namespace
