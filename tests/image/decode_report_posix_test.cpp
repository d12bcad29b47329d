// Load reports for what only POSIX systems give a file: a link that leads to itself, and a file
// mode that refuses reading.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "image/loader.h"
#include "support/bmp_builder.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

std::string reasonOf(const fs::path& path) {
  DecodeReport report;
  const ImagePtr image = loadImageFile(CountedString::fromText(path.c_str()), &report);
  EXPECT_FALSE(image);
  EXPECT_EQ(report.format, ImageFormat::none);
  return report.reason;
}

TEST(LoadReportPosix, SaysWhyALinkLoopCannotBeRead) {
  ScratchFolder folder;
  const fs::path loop = folder.path() / "loop.png";
  fs::create_symlink(loop, loop);
  std::string text = std::strerror(ELOOP);
  text[0] = static_cast<char>(std::tolower(text[0]));
  EXPECT_EQ(reasonOf(loop), "cannot be read: " + text);
}

TEST(LoadReportPosix, SaysPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  ScratchFolder folder;
  const fs::path locked = folder.path() / "locked.bmp";
  writeFile(locked, buildBmp({}));
  fs::permissions(locked, fs::perms::none);
  EXPECT_EQ(reasonOf(locked), "cannot be read: permission denied");
}

}  // namespace
