// Batch runs over what only POSIX systems offer the test: FIFOs, sockets, symbolic links made
// without privileges, and a file size limit that makes writes fail.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "support/batch_folder.h"
#include "support/bmp_builder.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

class DriverPosix : public BatchFolderTest {};

TEST_F(DriverPosix, SkipsFoldersLinksToFoldersAndSpecialFiles) {
  fs::create_directory("img/sub");
  putBmp("img/sub/inner.bmp", 4, 4);
  fs::create_directory_symlink("sub", "img/link");
  ASSERT_EQ(::mkfifo("img/fifo", 0600), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "img/socket");
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  putBmp("img/z.bmp", 4, 4);
  const ProcessResult run = runConverterHere();
  ::close(sock);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "File bmp/z.bmp generated OK, size: 4x4/24\nOK\n");
}

TEST_F(DriverPosix, LinkToAFileIsConvertedAndDanglingLinkFailsToLoad) {
  putBmp("real.bmp", 4, 4);
  fs::create_symlink("../real.bmp", "img/a.bmp");
  fs::create_symlink("../nowhere.bmp", "img/b.bmp");
  const ProcessResult run = runConverterHere();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output,
            "File bmp/a.bmp generated OK, size: 4x4/24\n"
            "ERROR: Cannot load input image img/b.bmp\n");
}

TEST_F(DriverPosix, ShortWriteStopsTheRunAndKeepsTheExistingFile) {
  putBmp("img/a.bmp", 4, 4);
  putBmp("img/b.bmp", 64, 64);
  putBmp("img/c.bmp", 4, 4);
  fs::create_directory("bmp");
  writeFile("bmp/b.bmp", Bytes{1, 2, 3});
  ProcessResult run{};
  {
    FileSizeLimit limit(4096);  // the 64x64 output needs 54 + 12288 bytes
    run = runConverterHere();
  }
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output,
            "File bmp/a.bmp generated OK, size: 4x4/24\n"
            "ERROR: cannot write to bmp/b.bmp\n");
  EXPECT_EQ(readFile("bmp/b.bmp"), (Bytes{1, 2, 3}));
  EXPECT_EQ(std::distance(fs::directory_iterator("bmp"), fs::directory_iterator()), 2);
}

}  // namespace
