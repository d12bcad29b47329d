#include "app/driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "base/byte_io.h"
#include "base/heap.h"
#include "support/batch_folder.h"
#include "support/bmp_builder.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kReportFile = "report.txt";

int pauses = 0;
std::string reportAtPause;

// Reads the report file through a stream of its own, so it sees only what has been flushed.
void countPause() {
  ++pauses;
  const Bytes seen = readFile(kReportFile);
  reportAtPause.assign(seen.begin(), seen.end());
}

struct RunResult {
  int status;
  std::string output;
};

// Runs one batch in the current folder, capturing the report. Every run pauses exactly once, and
// every report line has reached the file before the pause.
RunResult runBatch() {
  std::FILE* out = std::fopen(kReportFile, "w+b");
  pauses = 0;
  reportAtPause.clear();
  RunResult result{runConverter(out, countPause), {}};
  EXPECT_EQ(pauses, 1);
  std::rewind(out);
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, out)) > 0) result.output.append(buffer, got);
  std::fclose(out);
  EXPECT_EQ(reportAtPause, result.output);
  return result;
}

class Driver : public BatchFolderTest {};

TEST_F(Driver, MissingInputFolderStopsWithSearchMessage) {
  fs::remove("img");
  const RunResult run = runBatch();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, withNativeSeparators("ERROR: Cannot find any image in folder img/*.*\n"));
  EXPECT_TRUE(fs::is_directory("bmp"));
}

TEST_F(Driver, EmptyInputFolderIsACompleteRun) {
  const RunResult run = runBatch();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, withNativeSeparators("OK\n"));
}

// The output of the input "x.": Windows drops a trailing dot when it makes a file, so there the
// input is "x", a name without extension.
#ifdef _WIN32
constexpr char kOutputOfXDot[] = "x";
#else
constexpr char kOutputOfXDot[] = "x.bmp";
#endif

TEST_F(Driver, OutputNamesRewriteShortExtensionsOnly) {
  const char* const names[] = {"photo.jpeg", "a.b.c", "x.",     "picture", "scan.tiff10",
                               ".hidden",    ".png",  "b.abcd", "c.abcde", "\xC3\xA9.png"};
  for (const char* name : names) putBmp(fs::path("img") / name, 4, 4);
  const RunResult run = runBatch();
  EXPECT_EQ(run.status, 0);
  // Byte order of the names: a byte above 0x7F sorts after every ASCII byte.
  EXPECT_EQ(run.output,
            withNativeSeparators(std::string("File bmp/.hidden generated OK, size: 4x4/24\n"
                                             "File bmp/.bmp generated OK, size: 4x4/24\n"
                                             "File bmp/a.b.bmp generated OK, size: 4x4/24\n"
                                             "File bmp/b.bmp generated OK, size: 4x4/24\n"
                                             "File bmp/c.abcde generated OK, size: 4x4/24\n"
                                             "File bmp/photo.bmp generated OK, size: 4x4/24\n"
                                             "File bmp/picture generated OK, size: 4x4/24\n"
                                             "File bmp/scan.tiff10 generated OK, size: 4x4/24\n"
                                             "File bmp/") +
                                 kOutputOfXDot +
                                 " generated OK, size: 4x4/24\n"
                                 "File bmp/\xC3\xA9.bmp generated OK, size: 4x4/24\n"
                                 "OK\n"));
  for (const char* out : {".hidden", ".bmp", "a.b.bmp", "b.bmp", "c.abcde", "photo.bmp", "picture",
                          "scan.tiff10", kOutputOfXDot, "\xC3\xA9.bmp"}) {
    EXPECT_TRUE(fs::is_regular_file(fs::path("bmp") / out)) << out;
  }
}

struct SizeCase {
  std::int32_t width, height;
  bool accepted;
};

void PrintTo(const SizeCase& c, std::ostream* out) {
  *out << c.width << 'x' << c.height << (c.accepted ? " accepted" : " refused");
}

class DriverSizeLimits : public Driver, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(DriverSizeLimits, AcceptsFourToEightThousandOneHundredNinetyTwo) {
  const SizeCase c = GetParam();
  putBmp("img/p.bmp", c.width, c.height);
  const RunResult run = runBatch();
  if (c.accepted) {
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              withNativeSeparators("File bmp/p.bmp generated OK, size: " + std::to_string(c.width) +
                                   "x" + std::to_string(c.height) + "/24\nOK\n"));
  } else {
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output,
              withNativeSeparators("ERROR: Width and height must be in range 4..8192 pixels\n"));
    EXPECT_FALSE(fs::exists("bmp/p.bmp"));
  }
}

INSTANTIATE_TEST_SUITE_P(Sides, DriverSizeLimits,
                         ::testing::Values(SizeCase{4, 4, true}, SizeCase{3, 100, false},
                                           SizeCase{100, 3, false}, SizeCase{100, 8193, false},
                                           SizeCase{8193, 4, false}, SizeCase{8192, 4, true}));

TEST_F(Driver, ReportsUnpaddedSizeAndWritesPaddedFile) {
  putBmp("img/wide.bmp", 100, 50);
  putBmp("img/alpha.bmp", 5, 4, 32);
  const RunResult run = runBatch();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output,
            withNativeSeparators("File bmp/alpha.bmp generated OK, size: 5x4/32\n"
                                 "File bmp/wide.bmp generated OK, size: 100x50/24\nOK\n"));
  const Bytes wide = readFile("bmp/wide.bmp");
  const ByteSpan h(wide.data(), wide.size());
  EXPECT_EQ(wide.size(), 54u + 128u * 64u * 3u);
  EXPECT_EQ(readLe32(h, 18), 128u);
  EXPECT_EQ(readLe32(h, 22), 64u);
  EXPECT_EQ(readLe32(h, 38), 100u);
  EXPECT_EQ(readLe32(h, 42), 50u);
  // First pixel of the file is the first stored pixel of the input; the padding repeats the
  // last pixel of the row.
  EXPECT_EQ(wide[54], bmpTestPixel(0, 0, 0));
  EXPECT_EQ(wide[54 + 127 * 3 + 1], bmpTestPixel(0, 99, 1));
  const Bytes alpha = readFile("bmp/alpha.bmp");
  EXPECT_EQ(readLe16(ByteSpan(alpha.data(), alpha.size()), 28), 32u);
  EXPECT_EQ(alpha[54 + 7 * 4 + 3], bmpTestPixel(0, 4, 3));  // padded pixel keeps the edge alpha
}

TEST_F(Driver, FirstFailureStopsTheRunAndKeepsEarlierOutputs) {
  putBmp("img/a.bmp", 4, 4);
  writeFile("img/b.txt", Bytes(200, 'x'));
  putBmp("img/c.bmp", 4, 4);
  const RunResult run = runBatch();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, withNativeSeparators("File bmp/a.bmp generated OK, size: 4x4/24\n"
                                             "ERROR: Cannot load input image img/b.txt\n"));
  EXPECT_TRUE(fs::exists("bmp/a.bmp"));
  EXPECT_FALSE(fs::exists("bmp/c.bmp"));
}

TEST_F(Driver, LaterNameWinsTheSameOutput) {
  putBmp("img/a.png", 4, 4);
  putBmp("img/a.tga", 8, 8);
  const RunResult run = runBatch();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile("bmp/a.bmp").size(), 54u + 8u * 8u * 3u);
}

TEST_F(Driver, SkipsFolders) {
  fs::create_directory("img/sub");
  putBmp("img/sub/inner.bmp", 4, 4);
  putBmp("img/z.bmp", 4, 4);
  const RunResult run = runBatch();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, withNativeSeparators("File bmp/z.bmp generated OK, size: 4x4/24\nOK\n"));
}

TEST_F(Driver, OutputThatCannotBeCreatedStopsTheRun) {
  putBmp("img/x.bmp", 4, 4);
  fs::create_directories("bmp/x.bmp/occupied");
  const RunResult run = runBatch();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, withNativeSeparators("ERROR: cannot create output file bmp/x.bmp\n"));
}

TEST_F(Driver, EmptyFileCannotBeLoaded) {
  writeFile("img/empty.bmp", Bytes{});
  const RunResult run = runBatch();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, withNativeSeparators("ERROR: Cannot load input image img/empty.bmp\n"));
}

// Lets 0, 1, 2, ... allocations of a run succeed until the run succeeds. The listing comes first
// and takes two allocations (its names and their order), then the two paths take ten (folder
// text, separator, name, join for each, then the cut and the ".bmp" of the output path): a
// listing or path that is not whole is "ERROR: memory", never a shorter one read or written. Then
// loading (a load failure), then padding ("ERROR: memory").
TEST_F(Driver, AllocationFailuresAreReportedAtTheirStage) {
  putBmp("img/p.bmp", 5, 5);
  std::string stages;
  for (long succeeding = 0; succeeding < 100 && stages.find('S') == std::string::npos;
       ++succeeding) {
    failAllocationsAfter(succeeding);
    const RunResult run = runBatch();
    failAllocationsAfter(-1);
    if (run.status == 0) {
      EXPECT_EQ(run.output,
                withNativeSeparators("File bmp/p.bmp generated OK, size: 5x5/24\nOK\n"));
      stages += 'S';
      break;
    }
    EXPECT_EQ(run.status, 1);
    if (run.output == "ERROR: memory\n") {
      stages += 'M';
    } else if (run.output == withNativeSeparators("ERROR: Cannot load input image img/p.bmp\n")) {
      stages += 'L';
    } else {
      ADD_FAILURE() << succeeding << ": " << run.output;
    }
    EXPECT_TRUE(fs::is_empty("bmp")) << succeeding;
  }
  std::string runs;  // the stages with repeats collapsed
  for (const char stage : stages) {
    if (runs.empty() || runs.back() != stage) runs += stage;
  }
  EXPECT_EQ(runs, "MLMS") << stages;
  EXPECT_EQ(stages.find('L'), 12u) << stages;
}

// Large pictures of the same size reuse each other's blocks during a run; nothing is kept
// once the run is over, and the outputs are those of separate runs.
TEST_F(Driver, KeptBlocksAreFreedWhenTheRunEnds) {
  putBmp("img/a.bmp", 4000, 2900);
  putBmp("img/b.bmp", 4000, 2900);
  const RunResult run = runBatch();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(keptBlockBytes(), 0u);
  const Bytes a = readFile("bmp/a.bmp");
  fs::remove_all("bmp");
  fs::remove("img/a.bmp");
  ASSERT_EQ(runBatch().status, 0);
  EXPECT_EQ(readFile("bmp/b.bmp"), a);
}

}  // namespace
