// The platform layer on what only POSIX systems have: FIFOs, symbolic links everywhere, and an
// affinity mask the test can narrow.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

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

}  // namespace
