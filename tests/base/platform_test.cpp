#include "base/platform.h"

#include <gtest/gtest.h>

#include "base/folder_listing.h"
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

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
  std::FILE* file = openInputFile(path.string().c_str(), size);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(size, 300);
  EXPECT_EQ(std::fgetc(file), 7);
  std::fclose(file);
}

// A folder opens for reading on POSIX and not at all on Windows: neither hands it out as an input
// file, and a regular file is a file and a folder is skipped.
TEST(Platform, RefusesFolderAndMissingFile) {
  ScratchFolder folder;
  writeFile(folder.path() / "file", Bytes{1});
  std::int64_t size = -1;
  EXPECT_EQ(openInputFile(folder.path().string().c_str(), size), nullptr);
  EXPECT_EQ(openInputFile((folder.path() / "missing").string().c_str(), size), nullptr);
  EXPECT_EQ(classifyEntry((folder.path() / "file").string().c_str()), EntryKind::file);
  EXPECT_EQ(classifyEntry(folder.path().string().c_str()), EntryKind::skip);
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
  ASSERT_EQ(listing.read(folder.path().string().c_str()), ListingResult::listed);
  EXPECT_EQ(namesOf(listing), expected);
  EXPECT_EQ(listing.read((folder.path() / "missing").string().c_str()), ListingResult::cannotList);
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
    const ListingResult result = listing.read(folder.path().string().c_str());
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
  const std::string output = (folder.path() / "out.bmp").string();
#ifdef _WIN32
  const int pid = ::_getpid();
#else
  const int pid = ::getpid();
#endif
  const std::string prefix =
      ".pow2bmp-" + temporaryNameIdentity() + "-" + std::to_string(pid) + "-";
  {
    TemporaryFile files[kMaxTemporaryFiles];
    for (TemporaryFile& file : files) {
      std::FILE* stream = file.create(output.c_str());
      ASSERT_NE(stream, nullptr);
      std::fclose(stream);
    }
    FolderListing listing;
    ASSERT_EQ(listing.read(folder.path().string().c_str()), ListingResult::listed);
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
  ASSERT_EQ(listing.read(folder.path().string().c_str()), ListingResult::listed);
  EXPECT_EQ(namesOf(listing), std::vector<std::string>{"out.bmp"});
}

// Room reserved for more files holds exactly that many; it cannot move while one of its files
// exists, and once given back the fixed table's limit holds again.
TEST(Platform, ReservedRoomHoldsMoreTemporaryFiles) {
  ScratchFolder folder;
  const std::string output = (folder.path() / "out.bmp").string();
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

}  // namespace
