// Whole-file loading: what loadImageFile opens, how much it will read, and its failure paths.

#include "image/loader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/heap.h"
#include "support/bmp_builder.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

ImagePtr load(const fs::path& path) {
  const CountedString text = CountedString::fromText(path.c_str());
  return loadImageFile(text);
}

class Loader : public ::testing::Test {
 protected:
  ScratchFolder folder_;
  fs::path at(const char* name) const { return folder_.path() / name; }
};

TEST_F(Loader, RecognisesTheFormatByContentNotByName) {
  const BmpFields fields{.width = 5, .height = 3};
  writeFile(at("photo.jpg"), buildBmp(fields));
  ImagePtr image = load(at("photo.jpg"));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 5);
  EXPECT_EQ(image->height, 3);
  EXPECT_EQ(image->pixels()[0], bmpTestPixel(0, 0, 0));
}

TEST_F(Loader, ReturnsNullForMissingEmptyAndUnknownFiles) {
  EXPECT_FALSE(load(at("missing.bmp")));
  writeFile(at("empty.bmp"), {});
  EXPECT_FALSE(load(at("empty.bmp")));
  writeFile(at("text.bmp"), Bytes(200, 'x'));
  EXPECT_FALSE(load(at("text.bmp")));
}

TEST_F(Loader, RefusesFoldersAndDevices) {
  fs::create_directory(at("folder"));
  EXPECT_FALSE(load(at("folder")));
  EXPECT_FALSE(load("/dev/zero"));
}

TEST_F(Loader, RefusesAFifoWithoutWaitingForAWriter) {
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
  ::alarm(60);  // a blocking open would wait forever: end the process instead of hanging
  ImagePtr image = load(at("fifo"));
  ::alarm(0);
  EXPECT_FALSE(image);
}

TEST_F(Loader, RefusesFilesBeyondTheSigned32BitSize) {
  // A good picture followed by a hole up to 2^31 bytes: the file size alone refuses it. The
  // same picture with a short tail still loads.
  const Bytes picture = buildBmp({.width = 4, .height = 4});
  writeFile(at("small.bmp"), picture);
  ASSERT_EQ(::truncate(at("small.bmp").c_str(), 4096), 0);
  EXPECT_TRUE(load(at("small.bmp")));

  writeFile(at("huge.bmp"), picture);
  ASSERT_EQ(::truncate(at("huge.bmp").c_str(), off_t{kMaxInputFileBytes} + 1), 0);
  EXPECT_FALSE(load(at("huge.bmp")));
}

TEST_F(Loader, ReturnsNullWhenTheFileBlockCannotBeAllocated) {
  writeFile(at("a.bmp"), buildBmp({}));
  const CountedString path = CountedString::fromText(at("a.bmp").c_str());
  failAllocationsAfter(0);
  ImagePtr image = loadImageFile(path);
  failAllocationsAfter(-1);
  EXPECT_FALSE(image);
  EXPECT_TRUE(loadImageFile(path));
}

}  // namespace
