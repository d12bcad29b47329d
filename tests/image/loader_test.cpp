// Whole-file loading: what loadImageFile opens, how much it will read, and its failure paths.

#include "image/loader.h"

#include <gtest/gtest.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstring>
#include <random>
#include <string>

#include "base/heap.h"
#include "support/bmp_builder.h"
#include "support/jpeg_oracle.h"
#include "support/png_writer.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

ImagePtr load(const fs::path& path) {
  const CountedString text = CountedString::fromText(path.string().c_str());
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

// The estimate made before loading covers the file and the picture of every format (the
// picture's sides from the header: a JPEG's frame header comes after an 8 kB comment); a file
// too short for any header holds nothing but itself.
TEST_F(Loader, EstimateCoversTheFileAndThePicture) {
  const Bytes jpeg = encodeJpeg({.width = 300, .height = 70});
  Bytes commented(jpeg.begin(), jpeg.begin() + 2);
  const Bytes comment = {0xFF, 0xFE, 0x20, 0x02};  // COM, 8194 bytes with its length field
  commented.insert(commented.end(), comment.begin(), comment.end());
  commented.resize(commented.size() + 8192, 'c');
  commented.insert(commented.end(), jpeg.begin() + 2, jpeg.end());
  writeFile(at("a.jpg"), commented);
  writeFile(at("b.png"), buildPng(makePngPicture(300, 70, 8, 6, false, 1)));
  writeFile(at("c.bmp"), buildBmp({.width = 300, .height = -70}));
  writeFile(at("d.tga"), Bytes(10, 0));  // shorter than any header
  for (const char* name : {"a.jpg", "b.png", "c.bmp"}) {
    const std::uint64_t estimate =
        estimateLoadBytes(CountedString::fromText(at(name).string().c_str()));
    ImagePtr image = load(at(name));
    ASSERT_TRUE(image) << name;
    EXPECT_GE(estimate, fs::file_size(at(name)) + 300u * 70u * 3u) << name;
    EXPECT_LT(estimate, 2 * fs::file_size(at(name)) + 300u * 70u * 16u + (8u << 20)) << name;
  }
  EXPECT_LT(estimateLoadBytes(CountedString::fromText(at("d.tga").string().c_str())), 8u << 20);
  // Two comments of 60 kB put the frame header beyond the first 64 KiB: it is still found.
  Bytes farFrame(jpeg.begin(), jpeg.begin() + 2);
  for (int i = 0; i < 2; ++i) {
    const Bytes longComment = {0xFF, 0xFE, 0xEA, 0x62};  // COM, 60002 bytes with its length
    farFrame.insert(farFrame.end(), longComment.begin(), longComment.end());
    farFrame.resize(farFrame.size() + 60000, 'c');
  }
  farFrame.insert(farFrame.end(), jpeg.begin() + 2, jpeg.end());
  writeFile(at("e.jpg"), farFrame);
  ASSERT_TRUE(load(at("e.jpg")));
  EXPECT_LT(estimateLoadBytes(CountedString::fromText(at("e.jpg").string().c_str())),
            fs::file_size(at("e.jpg")) + 300u * 70u * 16u + (8u << 20));
  EXPECT_EQ(estimateLoadBytes(CountedString::fromText(at("missing").string().c_str())), 0u);
}

// The estimate of what loading holds at its peak (the process's own few MiB included) against
// what the loads below really make resident: never less, and no more than a quarter above it
// besides those few MiB, for pictures large enough that the blocks dominate.
TEST_F(Loader, EstimateIsWithinAQuarterAboveWhatLoadingHolds) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows keeps one peak of resident memory per process and cannot reset it";
#endif
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's allocator adds shadow and redzones to what a load holds";
#endif
  constexpr std::uint64_t kProcessSlack = std::uint64_t{8} << 20;
#ifdef __GLIBC__
  // Large blocks from fresh pages, as in a converter process: freed blocks of earlier tests would
  // otherwise raise the allocator's threshold and serve these loads from pages already resident.
  ASSERT_EQ(mallopt(M_MMAP_THRESHOLD, 1 << 20), 1);
  ASSERT_EQ(mallopt(M_TRIM_THRESHOLD, 1 << 20), 1);
#endif
  writeFile(at("bmp32.bmp"), buildBmp({.width = 2048, .height = 2048, .bitsPerPixel = 32}));
  {
    // RGBA zeros: 64 MiB of scanlines in a small file.
    const Bytes scanlines(std::size_t{4096} * (4096 * 4 + 1), 0);
    writeFile(at("zeros.png"),
              joinBytes({pngSignature(), pngChunk("IHDR", pngHeaderData(4096, 4096, 8, 6)),
                         pngChunk("IDAT", zlibCompress(scanlines, 1)), pngChunk("IEND", {})}));
  }
  {
    // RGB noise: the picture data is about as large as the picture.
    Bytes scanlines(std::size_t{2048} * (4096 * 3 + 1));
    std::mt19937 random(7);
    for (std::uint8_t& byte : scanlines) byte = static_cast<std::uint8_t>(random() >> 24);
    for (std::size_t row = 0; row < 2048; ++row) scanlines[row * (4096 * 3 + 1)] = 0;
    writeFile(at("noise.png"),
              joinBytes({pngSignature(), pngChunk("IHDR", pngHeaderData(4096, 2048, 8, 2)),
                         pngChunk("IDAT", zlibCompress(scanlines, 1)), pngChunk("IEND", {})}));
  }
  writeFile(at("progressive.jpg"),
            encodeJpeg({.width = 2048, .height = 2048, .subsampled = true, .progressive = true}));
  for (const char* name : {"bmp32.bmp", "zeros.png", "noise.png", "progressive.jpg"}) {
    const std::uint64_t estimate =
        estimateLoadBytes(CountedString::fromText(at(name).string().c_str()));
    ASSERT_TRUE(resetPeakResident());
    const std::size_t before = peakResidentBytes();
    ImagePtr image = load(at(name));
    const std::size_t held = peakResidentBytes() - before;
    ASSERT_TRUE(image) << name;
    EXPECT_GE(estimate, held) << name;
    EXPECT_LE(estimate, held + held / 4 + kProcessSlack) << name << " holds " << held;
  }
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
#ifdef _WIN32
  EXPECT_FALSE(load("NUL"));
#else
  EXPECT_FALSE(load("/dev/zero"));
#endif
}

TEST_F(Loader, RefusesFilesBeyondTheSigned32BitSize) {
  // A good picture followed by a hole up to 2^31 bytes: the file size alone refuses it. The
  // same picture with a short tail still loads.
  const Bytes picture = buildBmp({.width = 4, .height = 4});
  writeFile(at("small.bmp"), picture);
  fs::resize_file(at("small.bmp"), 4096);
  EXPECT_TRUE(load(at("small.bmp")));

  writeFile(at("huge.bmp"), picture);
  fs::resize_file(at("huge.bmp"), std::uintmax_t{kMaxInputFileBytes} + 1);
  EXPECT_FALSE(load(at("huge.bmp")));
}

TEST_F(Loader, ReturnsNullWhenTheFileBlockCannotBeAllocated) {
  writeFile(at("a.bmp"), buildBmp({}));
  const CountedString path = CountedString::fromText(at("a.bmp").string().c_str());
  failAllocationsAfter(0);
  ImagePtr image = loadImageFile(path);
  failAllocationsAfter(-1);
  EXPECT_FALSE(image);
  EXPECT_TRUE(loadImageFile(path));
}

// Loading within a bound opens the file once for the estimate and the picture: the bound is asked
// with the estimate a separate look would make, the picture and the report are those of a plain
// load (a file in the head, a BMP beyond it, a JPEG whose frame header is past it, a damaged
// and a missing file), and a refusal comes before the file's block is allocated.
TEST_F(Loader, LoadWithinABoundAsksWithTheEstimateAndLoadsAsAPlainLoad) {
  const Bytes jpeg = encodeJpeg({.width = 30, .height = 20});
  Bytes commented(jpeg.begin(), jpeg.begin() + 2);
  for (int segment = 0; segment < 2; ++segment) {  // two comments of 40000 bytes
    const Bytes comment = {0xFF, 0xFE, 40000 >> 8, 40000 & 0xFF};
    commented.insert(commented.end(), comment.begin(), comment.end());
    commented.resize(commented.size() + 40000 - 2, 'c');
  }
  commented.insert(commented.end(), jpeg.begin() + 2, jpeg.end());
  writeFile(at("a.jpg"), commented);
  writeFile(at("b.png"), buildPng(makePngPicture(30, 20, 8, 2, false, 1)));
  writeFile(at("c.bmp"), buildBmp({.width = 300, .height = 90}));  // 81 kB
  writeFile(at("d.bmp"), Bytes{'B', 'M', 1, 2, 3});
  struct Asked {
    std::uint64_t estimate = 0;
    bool refuse = false;
  };
  const auto ask = [](std::uint64_t estimate, const void* context) noexcept {
    auto& asked = *static_cast<Asked*>(const_cast<void*>(context));
    asked.estimate = estimate;
    return asked.refuse;
  };
  for (const char* name : {"a.jpg", "b.png", "c.bmp", "d.bmp", "missing"}) {
    SCOPED_TRACE(name);
    const CountedString path = CountedString::fromText(at(name).string().c_str());
    Asked asked;
    bool refused = true;
    DecodeReport plainReport;
    DecodeReport report;
    const ImagePtr plain = loadImageFile(path, &plainReport);
    const ImagePtr image = loadImageFileWithin(path, {ask, &asked}, refused, &report);
    EXPECT_FALSE(refused);
    EXPECT_EQ(asked.estimate, estimateLoadBytes(path));
    EXPECT_STREQ(report.reason, plainReport.reason);
    ASSERT_EQ(image != nullptr, plain != nullptr);
    if (image) {
      EXPECT_EQ(image->width, plain->width);
      EXPECT_EQ(image->height, plain->height);
      ASSERT_EQ(image->channels, plain->channels);
      EXPECT_EQ(0, std::memcmp(image->pixels(), plain->pixels(), plain->pixelBytes()));
    }
    if (!fs::exists(at(name))) continue;
    asked.refuse = true;
    const unsigned long failures = heapFailureCount();
    failAllocationsAfter(0);
    EXPECT_FALSE(loadImageFileWithin(path, {ask, &asked}, refused, &report));
    failAllocationsAfter(-1);
    EXPECT_TRUE(refused);
    EXPECT_EQ(heapFailureCount(), failures);
  }
}

}  // namespace
