// The check mode and the one-file mode of the real binary, each held against a folder run of the
// same pictures: one file per call writes the bytes and the line a folder run writes for it,
// and the check says "ok" exactly for the files a run converts. The Wine build of this file holds
// the Windows program to the same, its reports read as Linux's.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/binary_under_test.h"
#include "support/bmp_builder.h"
#include "support/jpeg_oracle.h"
#include "support/png_writer.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

namespace fs = std::filesystem;

std::string binary() { return binaryCommand(); }

// Check mode's report as the Linux binary words it: the Windows program's path separator is a
// backslash, which a check line writes escaped, doubled.
std::string checkText(std::string text) {
  if (kBinaryUnderWine) {
    for (std::size_t at = 0; (at = text.find("\\\\", at)) != std::string::npos; ++at) {
      text.erase(at, 1);
    }
  }
  return reportText(std::move(text));
}

// Good pictures of every reader, names not matching their content.
void writeGoodPictures(const fs::path& img) {
  fs::create_directories(img);
  writeFile(img / "a.bmp", buildBmp({.width = 9, .height = 6}));
  writeFile(img / "b.png", buildTga({.imageType = 10, .width = 6, .height = 5, .pixelDepth = 32},
                                    encodeTgaRle(tgaTestPixels(6, 5, 4), 4)));
  writeFile(img / "c.jpg", buildPng(makePngPicture(13, 7, 8, 2, true, 42)));
  writeFile(img / "d.png", buildPng(makePngPicture(20, 17, 8, 6, false, 7)));
  writeFile(img / "e", encodeJpeg({.width = 33, .height = 17, .subsampled = true}));
}

TEST(OneFile, WritesWhatAFolderRunWritesToAFileAndToStandardOutput) {
  ScratchFolder folder;
  writeGoodPictures(folder.path() / "img");
  const ProcessResult batch = runProcess(binary(), folder.path());
  ASSERT_EQ(batch.status, 0);
  const std::string batchReport = reportText(batch.output);
  for (const auto& entry : fs::directory_iterator(folder.path() / "img")) {
    const std::string name = entry.path().filename().string();
    const std::string output = name == "e" ? "e" : name.substr(0, name.find('.')) + ".bmp";
    const ProcessResult one =
        runProcess(binary() + " img/" + name + " out-" + output, folder.path());
    EXPECT_EQ(one.status, 0) << name;
    // The batch's line for this file, with the caller's output name.
    const std::string batchLine = "File bmp/" + output + " generated OK";
    const std::size_t at = batchReport.find(batchLine);
    ASSERT_NE(at, std::string::npos) << name;
    const std::string size = batchReport.substr(
        at + batchLine.size(), batchReport.find('\n', at) + 1 - at - batchLine.size());
    EXPECT_EQ(reportText(one.output), "File out-" + output + " generated OK" + size) << name;
    const Bytes expected = readFile(folder.path() / "bmp" / output);
    EXPECT_EQ(expected, expectedBmpFile(readFile(entry.path()))) << name;
    EXPECT_EQ(readFile(folder.path() / ("out-" + output)), expected) << name;
    const ProcessResult piped =
        runProcess(binary() + " img/" + name + " - 2>/dev/null", folder.path());
    EXPECT_EQ(piped.status, 0) << name;
    EXPECT_EQ(Bytes(piped.output.begin(), piped.output.end()), expected) << name;
  }
}

TEST(OneFile, FailuresAreTheBatchLinesWithStatusOneAndNoOutput) {
  ScratchFolder folder;
  writeFile(folder.path() / "text.png", Bytes{'h', 'i'});
  writeFile(folder.path() / "tiny.bmp", buildBmp({.width = 3, .height = 3}));
  const ProcessResult bad = runProcess(binary() + " text.png out.bmp", folder.path());
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(reportText(bad.output), "ERROR: Cannot load input image text.png\n");
  const ProcessResult small = runProcess(binary() + " tiny.bmp out.bmp", folder.path());
  EXPECT_EQ(small.status, 1);
  EXPECT_EQ(reportText(small.output), "ERROR: Width and height must be in range 4..8192 pixels\n");
  const ProcessResult noFolder = runProcess(binary() + " tiny.bmp missing/out.bmp", folder.path());
  EXPECT_EQ(noFolder.status, 1);
  EXPECT_FALSE(fs::exists(folder.path() / "out.bmp"));
}

// The missing folders on the way to OUTPUT are made, as a folder run makes bmp, once there is a
// picture to write: never for a file that fails. A name on the way that is a file is no folder
// to write in.
TEST(OneFile, CreatesTheMissingFoldersOfItsOutput) {
  ScratchFolder folder;
  const Bytes input = buildBmp({.width = 9, .height = 6});
  writeFile(folder.path() / "a.bmp", input);
  writeFile(folder.path() / "text.png", Bytes{'h', 'i'});
  fs::create_directory(folder.path() / "out");
  const ProcessResult made = runProcess(binary() + " a.bmp out/x/y/a.bmp", folder.path());
  EXPECT_EQ(made.status, 0);
  EXPECT_EQ(reportText(made.output), "File out/x/y/a.bmp generated OK, size: 9x6/24\n");
  EXPECT_EQ(readFile(folder.path() / "out/x/y/a.bmp"), expectedBmpFile(input));
  EXPECT_EQ(entriesOf(folder.path() / "out/x/y"), std::vector<std::string>{"a.bmp"});
  if (!kBinaryUnderWine) {
    // Made with mode 0777 less the umask, as mkdir -p makes them.
    const ProcessResult masked =
        runProcess("umask 027 && " + binary() + " a.bmp m/n/a.bmp", folder.path());
    EXPECT_EQ(masked.status, 0);
    for (const char* created : {"m", "m/n"}) {
      EXPECT_EQ(fs::status(folder.path() / created).permissions(),
                fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec)
          << created;
    }
  }
  const ProcessResult failed = runProcess(binary() + " text.png new/a.bmp", folder.path());
  EXPECT_EQ(failed.status, 1);
  EXPECT_FALSE(fs::exists(folder.path() / "new"));
  writeFile(folder.path() / "plain", Bytes{'k'});
  const ProcessResult underFile = runProcess(binary() + " a.bmp plain/x/a.bmp", folder.path());
  EXPECT_EQ(underFile.status, 1);
  EXPECT_EQ(reportText(underFile.output), "ERROR: cannot create output file plain/x/a.bmp\n");
  EXPECT_EQ(readFile(folder.path() / "plain"), Bytes{'k'});
}

TEST(Check, SaysOkExactlyForWhatARunConvertsAndWhyTheOthersAreRefused) {
  ScratchFolder folder;
  const fs::path img = folder.path() / "img";
  writeGoodPictures(img);
  fs::create_directory(img / "sub");  // skipped, as a run skips it
  writeFile(img / "f.gif", Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0});
  writeFile(img / "g.bmp", buildBmp({.width = 3, .height = 9000}));
  writeFile(img / "h.png", buildPng(makePngPicture(8, 8, 16, 2, false, 1)));
  const std::string expected =
      "img/a.bmp\tok\tBMP 9x6 RGB -> bmp/a.bmp 16x8 24-bit\n"
      "img/b.png\tok\tTGA 6x5 RGBA -> bmp/b.bmp 8x8 32-bit\n"
      "img/c.jpg\tok\tPNG 13x7 RGB -> bmp/c.bmp 16x8 24-bit\n"
      "img/d.png\tok\tPNG 20x17 RGBA -> bmp/d.bmp 32x32 32-bit\n"
      "img/e\tok\tJPEG 33x17 RGB -> bmp/e 64x32 24-bit\n"
      "img/f.gif\trefused\tGIF file is not converted: save it as BMP, TGA, PNG or JPEG\n"
      "img/g.bmp\trefused\twidth 3 and height 9000 are outside 4..8192\n"
      "img/h.png\trefused\t16-bit PNG is not converted without --expand\n"
      "8 files checked: 5 would convert, 3 would not\n";
  for (const char* jobs : {" -j 1", " -j 3"}) {
    const ProcessResult check = runProcess(binary() + " --check" + jobs, folder.path());
    EXPECT_EQ(check.status, 1) << jobs;
    EXPECT_EQ(checkText(check.output), expected) << jobs;
    EXPECT_FALSE(fs::exists(folder.path() / "bmp")) << jobs;
  }
  // The files named on the command line, in the order given; all good: status 0.
  const ProcessResult named = runProcess(binary() + " --check img/e img/a.bmp", folder.path());
  EXPECT_EQ(named.status, 0);
  EXPECT_EQ(checkText(named.output),
            "img/e\tok\tJPEG 33x17 RGB -> 64x32 24-bit\n"
            "img/a.bmp\tok\tBMP 9x6 RGB -> 16x8 24-bit\n"
            "2 files checked: 2 would convert, 0 would not\n");
  // What a run then does with the folder: it converts the files the check called ok and stops
  // at the first it refused.
  const ProcessResult run = runProcess(binary(), folder.path());
  EXPECT_EQ(run.status, 1);
  const std::string runReport = reportText(run.output);
  EXPECT_NE(runReport.find("File bmp/e generated OK"), std::string::npos) << runReport;
  EXPECT_NE(runReport.find("ERROR: Cannot load input image img/f.gif"), std::string::npos)
      << runReport;
}

// Two entries with one output name: the earlier one's line names the later one, which a run
// writes over it, whatever that later file turns out to be; a folder between them, which a run
// skips, is not named. Files named on the command line have no output name to clash.
TEST(Check, NamesTheLaterFileThatReplacesAnOutput) {
  ScratchFolder folder;
  const fs::path img = folder.path() / "img";
  fs::create_directories(img);
  writeFile(img / "a.png", buildPng(makePngPicture(5, 4, 8, 2, false, 3)));
  writeFile(img / "a.tga", buildBmp({.width = 4, .height = 4}));
  writeFile(img / "b.bmp", buildBmp({.width = 6, .height = 4}));
  writeFile(img / "c.bmp", buildBmp({.width = 7, .height = 4}));
  fs::create_directory(img / "c.jpg");
  writeFile(img / "c.png", Bytes(200, 'x'));
  writeFile(img / "d", buildBmp({.width = 8, .height = 4}));
  writeFile(img / "d.bmp.x", buildBmp({.width = 9, .height = 4}));
  writeFile(img / "d.bmp.bmp", buildBmp({.width = 10, .height = 4}));
  const std::string expected =
      "img/a.png\tok\tPNG 5x4 RGB -> bmp/a.bmp 8x4 24-bit (replaced by img/a.tga)\n"
      "img/a.tga\tok\tBMP 4x4 RGB -> bmp/a.bmp 4x4 24-bit\n"
      "img/b.bmp\tok\tBMP 6x4 RGB -> bmp/b.bmp 8x4 24-bit\n"
      "img/c.bmp\tok\tBMP 7x4 RGB -> bmp/c.bmp 8x4 24-bit (replaced by img/c.png)\n"
      "img/c.png\trefused\tnot a BMP, TGA, PNG or JPEG file\n"
      "img/d\tok\tBMP 8x4 RGB -> bmp/d 8x4 24-bit\n"
      "img/d.bmp.bmp\tok\tBMP 10x4 RGB -> bmp/d.bmp.bmp 16x4 24-bit (replaced by img/d.bmp.x)\n"
      "img/d.bmp.x\tok\tBMP 9x4 RGB -> bmp/d.bmp.bmp 16x4 24-bit\n"
      "8 files checked: 7 would convert, 1 would not\n";
  for (const char* jobs : {" -j 1", " -j 3"}) {
    const ProcessResult check = runProcess(binary() + " --check" + jobs, folder.path());
    EXPECT_EQ(check.status, 1) << jobs;
    EXPECT_EQ(checkText(check.output), expected) << jobs;
  }
  const ProcessResult named = runProcess(binary() + " --check img/a.png img/a.tga", folder.path());
  EXPECT_EQ(named.status, 0);
  EXPECT_EQ(checkText(named.output),
            "img/a.png\tok\tPNG 5x4 RGB -> 8x4 24-bit\n"
            "img/a.tga\tok\tBMP 4x4 RGB -> 4x4 24-bit\n"
            "2 files checked: 2 would convert, 0 would not\n");
  if (kBinaryUnderWine) return;  // Windows file names cannot hold tabs
  fs::remove_all(img);
  fs::create_directories(img);
  writeFile(img / "e\t1.bmp", buildBmp({.width = 4, .height = 4}));
  writeFile(img / "e\t1.png", buildBmp({.width = 4, .height = 5}));
  const ProcessResult escaped = runProcess(binary() + " --check", folder.path());
  EXPECT_EQ(escaped.output,
            "img/e\\t1.bmp\tok\tBMP 4x4 RGB -> bmp/e\\t1.bmp 4x4 24-bit (replaced by "
            "img/e\\t1.png)\n"
            "img/e\\t1.png\tok\tBMP 4x5 RGB -> bmp/e\\t1.bmp 4x8 24-bit\n"
            "2 files checked: 2 would convert, 0 would not\n");
}

// A name with tabs, line feeds, backslashes and other control bytes stays one field of one line,
// escaped, in both forms of the check, so it cannot forge a line or add a field.
TEST(Check, EscapesNamesSoThatNoNameForgesALineOrAField) {
  if (kBinaryUnderWine) GTEST_SKIP() << "Windows file names cannot hold tabs or line feeds";
  ScratchFolder folder;
  const fs::path img = folder.path() / "img";
  fs::create_directories(img);
  writeFile(img / "a\tok\tBMP 9x6 RGB -> x 16x8 24-bit\nz", Bytes{'j', 'u', 'n', 'k'});
  writeFile(img / "b\\c\x01\xC3\xA9.bmp", buildBmp({.width = 9, .height = 6}));
  const std::string forged = "a\\tok\\tBMP 9x6 RGB -> x 16x8 24-bit\\nz";
  const std::string good = "b\\\\c\\x01\xC3\xA9.bmp";
  const ProcessResult check = runProcess(binary() + " --check", folder.path());
  EXPECT_EQ(check.status, 1);
  EXPECT_EQ(check.output, "img/" + forged + "\trefused\tnot a BMP, TGA, PNG or JPEG file\n" +
                              "img/" + good + "\tok\tBMP 9x6 RGB -> bmp/" + good +
                              " 16x8 24-bit\n" + "2 files checked: 1 would convert, 1 would not\n");
  const ProcessResult named = runProcess(binary() + " --check img/b* img/a*", folder.path());
  EXPECT_EQ(named.status, 1);
  EXPECT_EQ(named.output, "img/" + good + "\tok\tBMP 9x6 RGB -> 16x8 24-bit\n" + "img/" + forged +
                              "\trefused\tnot a BMP, TGA, PNG or JPEG file\n" +
                              "2 files checked: 1 would convert, 1 would not\n");
}

// The library's warning about a JPEG cut short comes on standard error once per file, just
// before the file's line, in check mode whatever the number of jobs, and in one-file mode.
TEST(Check, PrintsEachFilesWarningJustBeforeItsLineWhateverTheJobs) {
  if (kBinaryUnderWine) GTEST_SKIP() << "Wine writes messages of its own on standard error";
  constexpr char kPrematureEnd[] = "Premature end of JPEG file\n";
  ScratchFolder folder;
  const fs::path img = folder.path() / "img";
  fs::create_directories(img);
  std::vector<std::string> cut;
  for (int index = 0; index < 16; ++index) {
    const std::string name = std::string(1, static_cast<char>('a' + index)) + ".jpg";
    const bool warns = index % 3 != 1;
    if (warns) cut.push_back("img/" + name);
    const JpegEncoding encoding{.width = 20 + index, .height = 9 + index, .noise = true};
    writeFile(img / name, warns ? encodeJpegCutInsideScan(encoding) : encodeJpeg(encoding));
  }
  writeFile(img / "z.bmp", buildBmp({.width = 3, .height = 3}));  // refused, no warning
  const auto warns = [&cut](const std::string& line) {
    return std::find(cut.begin(), cut.end(), line.substr(0, line.find('\t'))) != cut.end();
  };
  std::string sequential;
  for (const char* jobs : {" -j 1", " -j 4"}) {
    const ProcessResult apart =
        runProcess(binary() + " --check" + jobs + " 2>err.txt", folder.path());
    const Bytes errors = readFile(folder.path() / "err.txt");
    std::string expectedErrors;
    std::string expectedTogether;
    std::size_t at = 0;
    for (std::size_t end = 0; (end = apart.output.find('\n', at)) != std::string::npos;
         at = end + 1) {
      const std::string line = apart.output.substr(at, end + 1 - at);
      if (warns(line)) {
        expectedErrors += kPrematureEnd;
        expectedTogether += kPrematureEnd;
      }
      expectedTogether += line;
    }
    EXPECT_EQ(std::string(errors.begin(), errors.end()), expectedErrors) << jobs;
    const ProcessResult together =
        runProcess(binary() + " --check" + jobs + " 2>&1", folder.path());
    EXPECT_EQ(together.output, expectedTogether) << jobs;
    if (sequential.empty()) sequential = together.output;
    EXPECT_EQ(together.output, sequential) << jobs;
  }
  EXPECT_EQ(std::count(sequential.begin(), sequential.end(), '\n'),
            static_cast<std::ptrdiff_t>(cut.size() + 17 + 1));
  // One file per call: the warning, then the line.
  const ProcessResult one = runProcess(binary() + " img/a.jpg a.bmp 2>&1", folder.path());
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.output, std::string(kPrematureEnd) + "File a.bmp generated OK, size: 20x9/24\n");
}

}  // namespace
