// The platform layer on what only POSIX systems have: FIFOs, symbolic links everywhere, and an
// affinity mask the test can narrow.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/platform.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

// A FIFO without a writer would block an ordinary open for ever: it is not handed out as an input
// file.
TEST(PlatformPosix, RefusesFifoWithoutBlocking) {
  ScratchFolder folder;
  const fs::path fifo = folder.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::int64_t size = -1;
  EXPECT_EQ(openInputFile(fifo.c_str(), size), nullptr);
}

TEST(PlatformPosix, ClassifiesThroughLinks) {
  ScratchFolder folder;
  const fs::path base = folder.path();
  writeFile(base / "file", Bytes{1});
  fs::create_directory(base / "dir");
  ASSERT_EQ(::mkfifo((base / "fifo").c_str(), 0600), 0);
  fs::create_symlink("file", base / "to-file");
  fs::create_symlink("dir", base / "to-dir");
  fs::create_symlink("fifo", base / "to-fifo");
  fs::create_symlink("nowhere", base / "dangling");
  const std::pair<const char*, EntryKind> cases[] = {
      {"file", EntryKind::file},    {"to-file", EntryKind::file}, {"dangling", EntryKind::file},
      {"dir", EntryKind::skip},     {"to-dir", EntryKind::skip},  {"fifo", EntryKind::skip},
      {"to-fifo", EntryKind::skip},
  };
  for (const auto& [name, kind] : cases) {
    EXPECT_EQ(classifyEntry((base / name).c_str()), kind) << name;
  }
}

// The CPU count follows the affinity mask: a thread allowed one CPU counts one (when no cgroup
// quota allows fewer, which cannot be below one). The memory is at most the physical memory.
TEST(PlatformPosix, CpuCountFollowsAffinityAndMemoryIsAtMostPhysical) {
  cpu_set_t all;
  ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
  EXPECT_GE(availableCpuCount(), 1u);
  EXPECT_LE(availableCpuCount(), static_cast<unsigned>(CPU_COUNT(&all)));
  cpu_set_t one;
  CPU_ZERO(&one);
  for (std::size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  const unsigned confined = availableCpuCount();
  ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(confined, 1u);
  const std::uint64_t physical = static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
                                 static_cast<std::uint64_t>(::sysconf(_SC_PAGE_SIZE));
  EXPECT_GT(usableMemoryBytes(), 0u);
  EXPECT_LE(usableMemoryBytes(), physical);
}

// The address space mapped now, from /proc/self/statm.
std::uint64_t mappedNow() {
  unsigned long long pages = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%llu", &pages) != 1) pages = 0;
  std::fclose(statm);
  return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGE_SIZE));
}

// An address-space limit leaves at most what is not mapped yet.
TEST(PlatformPosix, UsableMemoryKeepsWithinTheAddressSpaceLimit) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_AS, &saved), 0);
  const std::uint64_t room = std::uint64_t{512} << 20;
  const std::uint64_t mapped = mappedNow();
  ASSERT_GT(mapped, 0u);
  rlimit limited = saved;
  limited.rlim_cur = static_cast<rlim_t>(mapped + room);
  if (saved.rlim_max != RLIM_INFINITY && limited.rlim_cur > saved.rlim_max) {
    GTEST_SKIP() << "the hard address-space limit is below what the test needs";
  }
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &limited), 0);
  const std::uint64_t usable = usableMemoryBytes();
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &saved), 0);
  EXPECT_LE(usable, room);
  EXPECT_GT(usable, room / 2);
}

// Under an address-space limit, threads started afterwards get small stacks and allocate from
// the allocator's one arena instead of reserving 64 MiB each. Run in a child process, since both
// settings stay for the life of the process.
TEST(PlatformPosix, ThreadsUnderAnAddressSpaceLimitTakeLittleOfIt) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit limited{};
    ::getrlimit(RLIMIT_AS, &limited);
    limited.rlim_cur = static_cast<rlim_t>(mappedNow() + (std::uint64_t{1} << 30));
    if (::setrlimit(RLIMIT_AS, &limited) != 0) ::_exit(10);
    limitThreadAddressSpace();
    int result = 0;
    std::thread worker([&result] {
      pthread_attr_t attributes;
      std::size_t stackBytes = 0;
      if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) {
        result = 11;
        return;
      }
      ::pthread_attr_getstacksize(&attributes, &stackBytes);
      ::pthread_attr_destroy(&attributes);
      if (stackBytes > 2 * kWorkerStackBytes) result = 12;
      const std::uint64_t before = mappedNow();
      void* small = std::malloc(64);
      const std::uint64_t after = mappedNow();
      std::free(small);
      if (after > before + (std::uint64_t{8} << 20)) result = 13;  // a new arena of its own
    });
    worker.join();
    ::_exit(result);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no limit set, 11: no attributes, 12: stack too "
                                       "large, 13: the thread reserved an arena of its own";
}

// Populating makes every page of the range resident, pages that straddle its ends too, and
// changes no byte: those written before keep their values, the others read zero.
TEST(PlatformPosix, PopulatedPagesAreResidentAndUnchanged) {
  const long pageBytes = ::sysconf(_SC_PAGE_SIZE);
  ASSERT_GT(pageBytes, 0);
  const auto page = static_cast<std::size_t>(pageBytes);
  const std::size_t pages = 64;
  void* mapped =
      ::mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  auto* bytes = static_cast<unsigned char*>(mapped);
  // The call asks for Linux 5.14 or later.
  if (::madvise(bytes + (pages - 1) * page, page, 23 /* MADV_POPULATE_WRITE */) != 0) {
    ::munmap(mapped, pages * page);
    GTEST_SKIP() << "the system cannot populate pages";
  }
  bytes[3 * page + 5] = 0xA5;
  EXPECT_FALSE(anyPageTouched(bytes + 8 * page, 40 * page));
  // From the middle of page 8 to the middle of page 47.
  populateBlock(bytes + 8 * page + page / 2, 39 * page);
  for (std::size_t index = 8; index < 48; ++index) {
    EXPECT_TRUE(anyPageTouched(bytes + index * page, 1)) << index;
  }
  EXPECT_FALSE(anyPageTouched(bytes + 48 * page, 15 * page));
  populateBlock(bytes, 8 * page);
  EXPECT_EQ(bytes[3 * page + 5], 0xA5);
  std::size_t nonZero = 0;
  for (std::size_t index = 0; index < pages * page; ++index) nonZero += bytes[index] != 0;
  EXPECT_EQ(nonZero, 1u);
  ::munmap(mapped, pages * page);
}

TEST(PlatformPosix, LargeBlocksStartOnAHugePageAndAreRoundedOnlyWhenThatCostsLittle) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  EXPECT_EQ(wholeLargePages(kLargeBlockBytes - 1), kLargeBlockBytes - 1);
  EXPECT_EQ(wholeLargePages(kLargeBlockBytes + 1), 2 * kLargeBlockBytes);
  EXPECT_EQ(wholeLargePages(~std::size_t{0}), ~std::size_t{0});
  // Asked for, and the least the block must hold: 3 MiB would cost a third more rounded up, so it
  // is not; 31 MiB + 5 is rounded up to 32 MiB.
  const std::size_t cases[][2] = {{2 * kMiB, 2 * kMiB},
                                  {3 * kMiB, 3 * kMiB},
                                  {31 * kMiB + 5, 32 * kMiB},
                                  {kLargeBlockBytes - 1, kLargeBlockBytes - 1}};
  for (const auto& [asked, least] : cases) {
    void* block = allocateLargeBlock(asked);
    ASSERT_NE(block, nullptr) << asked;
    if (asked >= kLargeBlockBytes) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % kLargeBlockBytes, 0u) << asked;
    }
    EXPECT_GE(allocatedBytes(block), least) << asked;
    std::memset(block, 0x5A, least);
    std::free(block);
  }
}

}  // namespace
