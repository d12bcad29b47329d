// The platform layer's guarantees that hold on every system, through standard-library files only:
// built and run on Linux and, cross-built, on Windows.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/folder_listing.h"
#include "base/platform.h"
#include "base/system_error.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

std::size_t entryCount(const fs::path& folder) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(PlatformCommon, SeparatorIsTheNativeOne) {
  EXPECT_EQ(kPathSeparator[0], static_cast<char>(fs::path::preferred_separator));
  EXPECT_EQ(kPathSeparator[1], '\0');
}

TEST(PlatformCommon, ListingIsSortedByteOrderWithoutDotEntriesAndFoldersAreSkipped) {
  ScratchFolder folder;
  // No two names differing in case only: Windows file systems would take them for one.
  for (const char* name : {"b.png", "Z.bmp", "a.bmp", "_x"}) writeFile(folder.path() / name, {1});
  fs::create_directory(folder.path() / "sub");
  FolderListing listing;
  ASSERT_EQ(listing.read(folder.path().string().c_str()), ListingResult::listed);
  const char* expected[] = {"Z.bmp", "_x", "a.bmp", "b.png", "sub"};
  ASSERT_EQ(listing.count(), std::size(expected));
  for (std::size_t i = 0; i < listing.count(); ++i) EXPECT_STREQ(listing.name(i), expected[i]);
  EXPECT_EQ(classifyEntry((folder.path() / "sub").string().c_str()), EntryKind::skip);
  EXPECT_EQ(classifyEntry((folder.path() / "a.bmp").string().c_str()), EntryKind::file);
  // Gone since the listing: still a file, whose load then fails.
  EXPECT_EQ(classifyEntry((folder.path() / "gone").string().c_str()), EntryKind::file);
  EXPECT_EQ(listing.read((folder.path() / "missing").string().c_str()), ListingResult::cannotList);
  EXPECT_EQ(listing.count(), 0u);
}

TEST(PlatformCommon, InputOpenGivesTheSizeAndRefusesFoldersAndMissingFiles) {
  ScratchFolder folder;
  writeFile(folder.path() / "seven", {1, 2, 3, 4, 5, 6, 7});
  std::int64_t size = -1;
  int error = -1;
  std::FILE* file = openInputFile((folder.path() / "seven").string().c_str(), size, &error);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(size, 7);
  unsigned char bytes[8] = {};
  EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, file), 7u);
  EXPECT_EQ(bytes[6], 7);
  std::fclose(file);
  EXPECT_EQ(openInputFile((folder.path() / "missing").string().c_str(), size, &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  char text[64];
  describeSystemError(error, text, sizeof text);
  EXPECT_STREQ(text, "no such file or directory");
  error = -1;
  fs::create_directory(folder.path() / "sub");
  EXPECT_EQ(openInputFile((folder.path() / "sub").string().c_str(), size, &error), nullptr);
  EXPECT_NE(error, -1);
}

TEST(PlatformCommon, TemporaryFileReplacesTheTargetOrLeavesNothing) {
  ScratchFolder folder;
  const std::string target = (folder.path() / "out.bmp").string();
  writeFile(target, {9, 9, 9});
  {
    TemporaryFile temporary;
    std::FILE* stream = temporary.create(target.c_str());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(entryCount(folder.path()), 2u);
    EXPECT_GE(std::fputs("new", stream), 0);
    ASSERT_EQ(std::fclose(stream), 0);
    EXPECT_TRUE(temporary.commit(target.c_str()));
  }
  EXPECT_EQ(readFile(target), (Bytes{'n', 'e', 'w'}));
  EXPECT_EQ(entryCount(folder.path()), 1u);
  {
    TemporaryFile temporary;
    std::FILE* stream = temporary.create(target.c_str());
    ASSERT_NE(stream, nullptr);
    std::fclose(stream);
  }  // discarded unread
  EXPECT_EQ(readFile(target), (Bytes{'n', 'e', 'w'}));
  EXPECT_EQ(entryCount(folder.path()), 1u);
  TemporaryFile nowhere;
  EXPECT_EQ(nowhere.create((folder.path() / "missing" / "x.bmp").string().c_str()), nullptr);
}

TEST(PlatformCommon, StaleTemporaryFilesGoOthersStay) {
  ScratchFolder folder;
  // No process has the largest id a system hands out; a live one (this process) keeps its file,
  // and so does another host, whose ids mean nothing here.
  const std::string here = ".pow2bmp-" + temporaryNameIdentity() + "-";
  const fs::path stale = folder.path() / (here + "2147483646-3.tmp");
  const fs::path other = folder.path() / (here + "x-3.tmp");
  const fs::path elsewhere =
      folder.path() / (".pow2bmp-" + temporaryNameIdentity("elsewhere") + "-2147483646-3.tmp");
  writeFile(stale, {1});
  writeFile(other, {1});
  writeFile(elsewhere, {1});
  TemporaryFile live;
  std::FILE* stream = live.create((folder.path() / "out.bmp").string().c_str());
  ASSERT_NE(stream, nullptr);
  std::fclose(stream);
  removeStaleTemporaryFiles(folder.path().string().c_str());
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_TRUE(fs::exists(elsewhere));
  EXPECT_EQ(entryCount(folder.path()), 3u);
}

TEST(PlatformCommon, CpuCountAndMemoryAreSome) {
  EXPECT_GE(availableCpuCount(), 1u);
  EXPECT_GT(usableMemoryBytes(), 0u);
}

}  // namespace
