// Whole-file loading of what only POSIX systems have in a folder: a FIFO.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/counted_string.h"
#include "image/loader.h"
#include "support/test_files.h"

namespace {

TEST(LoaderPosix, RefusesAFifoWithoutWaitingForAWriter) {
  ScratchFolder folder;
  const std::filesystem::path fifo = folder.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ::alarm(60);  // a blocking open would wait forever: end the process instead of hanging
  ImagePtr image = loadImageFile(CountedString::fromText(fifo.c_str()));
  ::alarm(0);
  EXPECT_FALSE(image);
}

}  // namespace
