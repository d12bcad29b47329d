#include "base/platform.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/heap.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

TEST(Platform, OpensRegularFileWithItsSize) {
  ScratchFolder folder;
  const fs::path path = folder.path() / "a.bin";
  writeFile(path, Bytes(300, 7));
  std::int64_t size = -1;
  std::FILE* file = openInputFile(path.c_str(), size);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(size, 300);
  EXPECT_EQ(std::fgetc(file), 7);
  std::fclose(file);
}

// A FIFO without a writer would block an ordinary open for ever, and a folder opens for reading:
// neither is handed out as an input file.
TEST(Platform, RefusesFifoAndFolderWithoutBlocking) {
  ScratchFolder folder;
  const fs::path fifo = folder.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::int64_t size = -1;
  EXPECT_EQ(openInputFile(fifo.c_str(), size), nullptr);
  EXPECT_EQ(openInputFile(folder.path().c_str(), size), nullptr);
  EXPECT_EQ(openInputFile((folder.path() / "missing").c_str(), size), nullptr);
}

TEST(Platform, ClassifiesThroughLinks) {
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

std::vector<std::string> namesOf(const FolderListing& listing) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < listing.count(); ++i) names.emplace_back(listing.name(i));
  return names;
}

// Enough names that both blocks of the listing grow several times; bytes above 0x7F must sort
// after ASCII, as unsigned bytes.
std::vector<std::string> makeManyNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) {
    std::string name = std::to_string((i * 7919) % 1000) + std::string(40, 'n');
    if (i % 3 == 0) name.insert(name.begin(), '\xE9');
    if (i % 5 == 0) name.insert(name.begin(), '.');
    writeFile(folder / name, Bytes{});
    names.push_back(name);
  }
  fs::create_directory(folder / "sub");
  names.emplace_back("sub");
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Platform, ListsEveryNameInByteOrder) {
  ScratchFolder folder;
  const std::vector<std::string> expected = makeManyNames(folder.path());
  FolderListing listing;
  ASSERT_EQ(listing.read(folder.path().c_str()), ListingResult::listed);
  EXPECT_EQ(namesOf(listing), expected);
  EXPECT_EQ(listing.read((folder.path() / "missing").c_str()), ListingResult::cannotList);
  EXPECT_EQ(listing.count(), 0u);
}

// Every allocation of the listing can fail: each failure is reported as memory, apart from a
// folder that cannot be opened, and leaves an empty listing; once enough succeed the listing is
// whole.
TEST(Platform, ListingReportsEachFailedAllocationAsMemory) {
  ScratchFolder folder;
  const std::vector<std::string> expected = makeManyNames(folder.path());
  FolderListing listing;
  long failures = 0;
  for (long succeeding = 0; succeeding < 100; ++succeeding) {
    failAllocationsAfter(succeeding);
    const ListingResult result = listing.read(folder.path().c_str());
    failAllocationsAfter(-1);
    if (result == ListingResult::listed) break;
    EXPECT_EQ(result, ListingResult::outOfMemory) << succeeding;
    EXPECT_EQ(listing.count(), 0u) << succeeding;
    ++failures;
  }
  EXPECT_GT(failures, 2);  // the first two blocks and at least one growth
  EXPECT_EQ(namesOf(listing), expected);
}

// Registrations are a fixed table: one file more than it holds is refused, a commit frees its
// entry, and files never committed are gone once their objects are.
TEST(Platform, TemporaryFilesAreCommittedOrRemovedAndLimitedInNumber) {
  ScratchFolder folder;
  const std::string output = (folder.path() / "out.bmp").native();
  const std::string prefix = ".pow2bmp-" + std::to_string(::getpid()) + "-";
  {
    TemporaryFile files[kMaxTemporaryFiles];
    for (TemporaryFile& file : files) {
      std::FILE* stream = file.create(output.c_str());
      ASSERT_NE(stream, nullptr);
      std::fclose(stream);
    }
    FolderListing listing;
    ASSERT_EQ(listing.read(folder.path().c_str()), ListingResult::listed);
    ASSERT_EQ(listing.count(), kMaxTemporaryFiles);
    for (const std::string& name : namesOf(listing)) EXPECT_EQ(name.rfind(prefix, 0), 0u) << name;

    TemporaryFile extra;
    EXPECT_EQ(extra.create(output.c_str()), nullptr);
    ASSERT_TRUE(files[0].commit(output.c_str()));
    std::FILE* stream = extra.create(output.c_str());
    EXPECT_NE(stream, nullptr);
    if (stream != nullptr) std::fclose(stream);
  }
  FolderListing listing;
  ASSERT_EQ(listing.read(folder.path().c_str()), ListingResult::listed);
  EXPECT_EQ(namesOf(listing), std::vector<std::string>{"out.bmp"});
}

// Room reserved for more files holds exactly that many; it cannot move while one of its files
// exists, and once given back the fixed table's limit holds again.
TEST(Platform, ReservedRoomHoldsMoreTemporaryFiles) {
  ScratchFolder folder;
  const std::string output = (folder.path() / "out.bmp").native();
  constexpr std::size_t kReserved = kMaxTemporaryFiles + 5;
  ASSERT_TRUE(reserveTemporaryFiles(kReserved));
  {
    std::vector<TemporaryFile> files(kReserved);
    for (TemporaryFile& file : files) {
      std::FILE* stream = file.create(output.c_str());
      ASSERT_NE(stream, nullptr);
      std::fclose(stream);
    }
    EXPECT_EQ(entriesOf(folder.path()).size(), kReserved);
    TemporaryFile extra;
    EXPECT_EQ(extra.create(output.c_str()), nullptr);
    EXPECT_FALSE(reserveTemporaryFiles(kReserved + 1));
    releaseTemporaryFiles();  // kept: its files exist
    EXPECT_TRUE(files.back().commit(output.c_str()));
  }
  EXPECT_EQ(entriesOf(folder.path()), std::vector<std::string>{"out.bmp"});
  releaseTemporaryFiles();
  std::vector<TemporaryFile> files(kMaxTemporaryFiles + 1);
  std::size_t created = 0;
  for (TemporaryFile& file : files) {
    if (std::FILE* stream = file.create(output.c_str())) {
      std::fclose(stream);
      ++created;
    }
  }
  EXPECT_EQ(created, kMaxTemporaryFiles);
}

// The CPU count follows the affinity mask: a thread allowed one CPU counts one (when no cgroup
// quota allows fewer, which cannot be below one). The memory is at most the physical memory.
TEST(Platform, CpuCountFollowsAffinityAndMemoryIsAtMostPhysical) {
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
