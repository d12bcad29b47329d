#include "app/platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

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

}  // namespace
