// decode_bench: times the converter's readers on every picture of a corpus folder and, in the
// same run, the image libraries installed on the system, and prints one table per file and a
// summary of speed ratios per kind of file.
//
// Usage: decode_bench [corpus-folder] [--min-time SECONDS] [--min-runs N] [--max-runs N]
//                     [--fresh N]
//        (defaults: build/bench-corpus, 0.3 s, 3 runs, 1000 runs, all in this process)
//
// Each decoder first runs once untimed (the warm-up, which also tells whether it accepts the file);
// then the decoders of a file take turns, one run each, until each one's runs add up to the minimum
// time and count; the median run is reported. With --fresh N each decoder of a file is instead
// timed alone in N new processes of this program (a hidden --time-one command: the warm-up and the
// runs as above, for that decoder only), the decoders' processes taking turns (A B C A B C ...),
// and the median of the N processes' medians is reported: what a process did before (the files
// decoded, the other decoders run) shifts a decoder's time by as much as half on small JPEG files,
// and a fresh process for every measurement gives each decoder the same start. Speeds are MB/s
// (10^6 bytes) of decoded pixel bytes, width * height * channels, the same figure for every decoder
// of a file; the zlib lines count the inflated bytes (filter bytes included). Every decoder
// allocates its output block on each run, as a real decode does, and so does the "memcpy" line, the
// memory bandwidth bound. malloc is told never to map blocks of their own and never to give memory
// back, so after the warm-up every run reuses pages already touched: the first-touch cost of fresh
// pages, large and erratic in a virtual machine, falls on no decoder. Our reader also flips rows
// and swaps red and blue, while the peers return R,G,B(,A) top row first.
//
// Our decoder refusing a corpus file is printed and makes the exit status 1.

#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
// jpeglib.h after the two above: it uses size_t and FILE without including their headers.
#include <jpeglib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/byte_io.h"
#include "base/heap.h"
#include "base/image.h"
#include "image/loader.h"
#include "png/decode_state.h"
#include "png/inflate.h"

#ifdef BENCH_HAVE_LIBPNG
#include <png.h>  // the version string

#include "support/libpng_read.h"
#endif
#ifdef BENCH_HAVE_SPNG
#include <spng.h>
#endif
#ifdef BENCH_HAVE_STB
#include <stb_image.h>
#endif
#ifdef BENCH_HAVE_ZLIB
#define ZLIB_CONST  // next_in points to const bytes
#include <zlib.h>
#endif
#ifdef BENCH_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr double kBytesPerMegabyte = 1e6;
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// Decoder names as printed and as the summary's columns.
constexpr const char* kOurs = "pow2bmp decodeImage";
constexpr const char* kLibpng = "libpng";
constexpr const char* kSpng = "libspng";
constexpr const char* kStb = "stb_image";
constexpr const char* kLibjpeg = "libjpeg-turbo";
constexpr const char* kMemcpy = "memcpy";
constexpr const char* kOursInflate = "pow2bmp inflate";
constexpr const char* kZlib = "zlib inflate";
constexpr const char* kLibdeflate = "libdeflate";
constexpr const char* kPeerColumns[] = {kLibpng, kSpng, kStb, kLibjpeg, kMemcpy};
constexpr const char* kZlibColumns[] = {kZlib, kLibdeflate};

struct Options {
  std::string folder = "build/bench-corpus";
  double minSeconds = 0.3;
  int minRuns = 3;
  int maxRuns = 1000;
  int freshProcesses = 0;  // 0: every decoder timed in this process
  std::string self;        // argv[0], for the processes of --fresh
};

// --- what a file is --------------------------------------------------------------------------

enum class FileClass {
  pngRgb,
  pngRgba,
  pngInterlaced,
  pngPalette,  // read with expand, as the next two
  pngGrey,
  png16,
  jpegBaseline,
  jpegProgressive,
  tgaRaw,
  tgaRle,
  bmp24,
  bmp32,
  other,
};
constexpr int kClassCount = 13;
constexpr const char* kClassNames[kClassCount] = {
    "PNG RGB",       "PNG RGBA",         "PNG interlaced", "PNG palette", "PNG grey", "PNG 16-bit",
    "JPEG baseline", "JPEG progressive", "TGA raw",        "TGA RLE",     "BMP 24",   "BMP 32",
    "other"};

struct FileInfo {
  FileClass kind = FileClass::other;
  std::string detail;  // bit depth, colour type, chroma sampling: for the table heading
  bool isPng = false;
  bool isJpeg = false;
  // PNG header fields, for the zlib measurements.
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t bitDepth = 0;
  std::uint32_t colourType = 0;
  bool interlaced = false;
  // A layout a default run refuses: ours reads it expanding, libpng with the same
  // transformations (palette to RGB, the palette's tRNS as alpha, grey to RGB, 16 bits to 8).
  bool expand = false;
  Bytes idat;  // all IDAT data in file order: one zlib stream
};

std::uint32_t pngChannels(std::uint32_t colourType) {
  switch (colourType) {
    case 0:
      return 1;
    case 2:
      return 3;
    case 3:
      return 1;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 0;
  }
}

// Walks the chunks of a PNG file: header fields and the IDAT data gathered.
void describePng(ByteSpan bytes, FileInfo& info) {
  info.isPng = true;
  std::size_t offset = sizeof kPngSignature;
  while (holds(bytes, offset, 12)) {
    const std::uint32_t chunkLength = readBe32(bytes, offset);
    const std::uint32_t chunkType = readBe32(bytes, offset + 4);
    const std::size_t data = offset + 8;
    if (!holds(bytes, data, std::size_t{chunkLength} + 4)) break;
    if (chunkType == 0x49484452u && chunkLength >= 13) {  // IHDR
      info.width = readBe32(bytes, data);
      info.height = readBe32(bytes, data + 4);
      info.bitDepth = bytes[data + 8];
      info.colourType = bytes[data + 9];
      info.interlaced = bytes[data + 12] == 1;
    } else if (chunkType == 0x49444154u) {  // IDAT
      info.idat.insert(info.idat.end(), bytes.begin() + static_cast<std::ptrdiff_t>(data),
                       bytes.begin() + static_cast<std::ptrdiff_t>(data + chunkLength));
    } else if (chunkType == 0x49454E44u) {  // IEND
      break;
    }
    offset = data + chunkLength + 4;
  }
  info.expand = !(info.bitDepth == 8 && (info.colourType == 2 || info.colourType == 6));
  if (info.interlaced) {
    info.kind = FileClass::pngInterlaced;
  } else if (info.bitDepth == 8 && info.colourType == 2) {
    info.kind = FileClass::pngRgb;
  } else if (info.bitDepth == 8 && info.colourType == 6) {
    info.kind = FileClass::pngRgba;
  } else if (info.bitDepth == 16) {
    info.kind = FileClass::png16;
  } else if (info.colourType == 3) {
    info.kind = FileClass::pngPalette;
  } else if (info.colourType == 0 || info.colourType == 4) {
    info.kind = FileClass::pngGrey;
  }
  info.detail = "PNG, " + std::to_string(info.bitDepth) + "-bit, colour type " +
                std::to_string(info.colourType) + (info.interlaced ? ", Adam7" : "");
}

// Finds the frame header of a JPEG file: sequential or progressive, and the luma sampling.
void describeJpeg(ByteSpan bytes, FileInfo& info) {
  info.isJpeg = true;
  info.detail = "JPEG";
  std::size_t offset = 2;
  while (holds(bytes, offset, 4) && bytes[offset] == 0xFF) {
    const std::uint8_t marker = bytes[offset + 1];
    const std::size_t segmentLength = std::size_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
    const bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      const bool progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      info.kind = progressive ? FileClass::jpegProgressive : FileClass::jpegBaseline;
      const std::uint8_t components = readU8(bytes, offset + 9);
      const std::uint8_t lumaSampling = readU8(bytes, offset + 11);
      std::string sampling = "sampling " + std::to_string(lumaSampling >> 4) + "x" +
                             std::to_string(lumaSampling & 0x0F);
      if (lumaSampling == 0x22) sampling = "4:2:0";
      if (lumaSampling == 0x11) sampling = "4:4:4";
      info.detail = std::string(progressive ? "JPEG progressive, " : "JPEG sequential, ") +
                    std::to_string(components) + " components, " + sampling;
      return;
    }
    offset += 2 + segmentLength;
  }
}

FileInfo describeFile(ByteSpan bytes) {
  FileInfo info;
  if (bytes.size() >= sizeof kPngSignature &&
      std::memcmp(bytes.data(), kPngSignature, sizeof kPngSignature) == 0) {
    describePng(bytes, info);
  } else if (bytes.size() > 3 && bytes[0] == 0xFF && bytes[1] == 0xD8) {
    describeJpeg(bytes, info);
  } else if (bytes.size() > 54 && bytes[0] == 'B' && bytes[1] == 'M') {
    const std::uint16_t bits = readLe16(bytes, 28);
    info.detail = "BMP, " + std::to_string(bits) + " bits per pixel";
    if (bits == 24) info.kind = FileClass::bmp24;
    if (bits == 32) info.kind = FileClass::bmp32;
  } else if (bytes.size() > 18) {
    const std::uint8_t type = bytes[2];
    info.detail =
        "TGA type " + std::to_string(type) + ", " + std::to_string(bytes[16]) + " bits per pixel";
    if (type == 2) info.kind = FileClass::tgaRaw;
    if (type == 10) info.kind = FileClass::tgaRle;
  }
  return info;
}

// Inflated size of each scanline of a PNG, filter byte included, in stream order (Adam7 passes
// one after another).
std::vector<std::uint32_t> scanlineLengths(const FileInfo& info) {
  const std::uint64_t bitsPerPixel = std::uint64_t{pngChannels(info.colourType)} * info.bitDepth;
  const auto lineBytes = [&](std::uint64_t pixels) {
    return static_cast<std::uint32_t>((pixels * bitsPerPixel + 7) / 8 + 1);
  };
  std::vector<std::uint32_t> lengths;
  if (!info.interlaced) {
    lengths.assign(info.height, lineBytes(info.width));
    return lengths;
  }
  constexpr std::uint32_t kStartX[7] = {0, 4, 0, 2, 0, 1, 0};
  constexpr std::uint32_t kStartY[7] = {0, 0, 4, 0, 2, 0, 1};
  constexpr std::uint32_t kStepX[7] = {8, 8, 4, 4, 2, 2, 1};
  constexpr std::uint32_t kStepY[7] = {8, 8, 8, 4, 4, 2, 2};
  for (int pass = 0; pass < 7; ++pass) {
    const std::uint64_t passWidth =
        info.width > kStartX[pass] ? (info.width - kStartX[pass] + kStepX[pass] - 1) / kStepX[pass]
                                   : 0;
    const std::uint32_t passHeight =
        info.height > kStartY[pass]
            ? (info.height - kStartY[pass] + kStepY[pass] - 1) / kStepY[pass]
            : 0;
    if (passWidth == 0) continue;
    for (std::uint32_t row = 0; row < passHeight; ++row) lengths.push_back(lineBytes(passWidth));
  }
  return lengths;
}

// --- timing ----------------------------------------------------------------------------------

struct Timing {
  bool ok = false;
  int runs = 0;
  double medianSeconds = 0;
  int processes = 0;  // --fresh: the processes, and the mean, least and greatest of their medians
  double meanSeconds = 0;
  double lowestSeconds = 0;
  double highestSeconds = 0;
};

// One decoder of a file under test, by its printed name; decode returns false on failure.
struct Candidate {
  const char* name;
  std::function<bool()> decode;
};

// Measures the candidates together: one untimed warm-up each, then rounds in which every
// candidate still short of the limits runs once, so a change in the machine's load falls on all
// of them alike. A candidate is done when its runs add up to minSeconds and number minRuns, or
// number maxRuns. A failure in any run makes its timing failed.
std::vector<Timing> measureTogether(const Options& options,
                                    const std::vector<Candidate>& candidates) {
  const std::size_t count = candidates.size();
  std::vector<Timing> timings(count);
  std::vector<std::vector<double>> samples(count);
  std::vector<double> spent(count, 0);
  std::vector<bool> active(count, false);
  std::vector<bool> failed(count, false);
  for (std::size_t i = 0; i < count; ++i) {
    active[i] = candidates[i].decode();
    failed[i] = !active[i];
  }
  for (bool anyActive = true; anyActive;) {
    anyActive = false;
    for (std::size_t i = 0; i < count; ++i) {
      if (!active[i]) continue;
      const Clock::time_point before = Clock::now();
      const bool ok = candidates[i].decode();
      const Clock::time_point after = Clock::now();
      if (!ok) {
        active[i] = false;
        failed[i] = true;
        continue;
      }
      const double seconds = std::chrono::duration<double>(after - before).count();
      samples[i].push_back(seconds);
      spent[i] += seconds;
      const auto runs = static_cast<int>(samples[i].size());
      const bool done =
          runs >= options.maxRuns || (runs >= options.minRuns && spent[i] >= options.minSeconds);
      active[i] = !done;
      anyActive = anyActive || !done;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<double>& runs = samples[i];
    if (failed[i] || runs.empty()) continue;
    std::sort(runs.begin(), runs.end());
    const std::size_t middle = runs.size() / 2;
    timings[i].medianSeconds =
        runs.size() % 2 == 1 ? runs[middle] : (runs[middle - 1] + runs[middle]) / 2;
    timings[i].runs = static_cast<int>(runs.size());
    timings[i].ok = true;
  }
  return timings;
}

// Makes the compiler assume the block is read, so a copy into it is never left out.
void keepWritten(const void* block) { asm volatile("" : : "r"(block) : "memory"); }

// A fresh output block per run, as a decoder returning a new picture would get.
HeapPtr<std::uint8_t[]> outputBlock(std::size_t bytes) {
  return allocateArray<std::uint8_t>(bytes);
}

// --- peers -----------------------------------------------------------------------------------
// Each writes R,G,B(,A) rows, top row first, into out (outBytes long); false on any failure or
// when the picture does not have exactly outBytes of pixels.

#ifdef BENCH_HAVE_LIBPNG
// The test oracle's libpng reader (tests/support), here writing into the caller's block.
// With expand, libpng runs the transformations of an expanding read.
bool decodeLibpng(ByteSpan file, std::uint8_t* out, std::size_t outBytes, bool expand) {
  auto intoOut = [out, outBytes](const LibpngLayout& layout) noexcept -> std::uint8_t* {
    return layout.rowBytes * layout.height == outBytes ? out : nullptr;
  };
  return expand ? readExpandedWithLibpng(file, intoOut) : readWithLibpng(file, intoOut);
}
#endif

#ifdef BENCH_HAVE_SPNG
bool decodeSpng(ByteSpan file, std::uint8_t* out, std::size_t outBytes, std::uint32_t channels) {
  spng_ctx* context = spng_ctx_new(0);
  if (context == nullptr) return false;
  const int format = channels == 4 ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
  std::size_t size = 0;
  bool ok = spng_set_png_buffer(context, file.data(), file.size()) == 0 &&
            spng_decoded_image_size(context, format, &size) == 0 && size == outBytes;
  ok = ok && spng_decode_image(context, out, outBytes, format, 0) == 0;
  spng_ctx_free(context);
  return ok;
}
#endif

#ifdef BENCH_HAVE_STB
// stb_image returns its own block; it is copied out only for the pixel comparison.
bool decodeStb(ByteSpan file, std::uint8_t* copyTo, std::size_t outBytes) {
  int width = 0;
  int height = 0;
  int channels = 0;
  stbi_uc* pixels = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &width,
                                          &height, &channels, 0);
  if (pixels == nullptr) return false;
  const bool ok = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                      static_cast<std::size_t>(channels) ==
                  outBytes;
  if (ok && copyTo != nullptr) std::memcpy(copyTo, pixels, outBytes);
  stbi_image_free(pixels);
  return ok;
}
#endif

struct JpegErrors {
  jpeg_error_mgr pub;
  std::jmp_buf jumpBack;
};

[[noreturn]] void jpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jumpBack, 1);
}

void jpegSilent(j_common_ptr) {}

// The libjpeg calls that may jump back; cinfo and errors live in the caller.
bool libjpegReadAll(jpeg_decompress_struct& cinfo, JpegErrors& errors, ByteSpan file,
                    std::uint8_t* out, std::size_t outBytes) {
  if (setjmp(errors.jumpBack) != 0) return false;
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  const std::size_t rowBytes = std::size_t{cinfo.output_width} * 3;
  if (rowBytes * cinfo.output_height != outBytes) return false;
  JSAMPROW rows[16];
  while (cinfo.output_scanline < cinfo.output_height) {
    const JDIMENSION first = cinfo.output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(16, cinfo.output_height - first);
    for (JDIMENSION i = 0; i < count; ++i) rows[i] = out + rowBytes * (first + i);
    if (jpeg_read_scanlines(&cinfo, rows, count) == 0) return false;
  }
  jpeg_finish_decompress(&cinfo);
  return true;
}

bool decodeLibjpeg(ByteSpan file, std::uint8_t* out, std::size_t outBytes) {
  jpeg_decompress_struct cinfo{};
  JpegErrors errors{};
  cinfo.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = jpegErrorExit;
  errors.pub.output_message = jpegSilent;
  const bool ok = libjpegReadAll(cinfo, errors, file, out, outBytes);
  jpeg_destroy_decompress(&cinfo);
  return ok;
}

#ifdef BENCH_HAVE_ZLIB
bool inflateZlib(const Bytes& stream, std::uint8_t* out, std::size_t outBytes) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = stream.data();
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out;
  z.avail_out = static_cast<uInt>(outBytes);
  const int status = ::inflate(&z, Z_FINISH);
  const bool ok = status == Z_STREAM_END && z.total_out == outBytes;
  inflateEnd(&z);
  return ok;
}
#endif

#ifdef BENCH_HAVE_LIBDEFLATE
bool inflateLibdeflate(const Bytes& stream, std::uint8_t* out, std::size_t outBytes) {
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  if (decompressor == nullptr) return false;
  std::size_t produced = 0;
  const libdeflate_result result = libdeflate_zlib_decompress(
      decompressor, stream.data(), stream.size(), out, outBytes, &produced);
  libdeflate_free_decompressor(decompressor);
  return result == LIBDEFLATE_SUCCESS && produced == outBytes;
}
#endif

// Our zlib decoder pulled as the PNG reader pulls it: every scanline of the picture, filter
// bytes included, in one call.
bool inflateOursWhole(const Bytes& stream, std::uint8_t* out, std::size_t outBytes) {
  pngState.idatCursor = stream.data();
  pngState.idatEnd = stream.data() + stream.size();
  const auto length = static_cast<std::uint32_t>(outBytes);
  const bool ok = inflateBegin() && inflateRead(out, length) == length;
  releasePngState();
  return ok;
}

// --- pixel comparison ------------------------------------------------------------------------

// Compares our picture (B,G,R(,A), bottom row first) with R,G,B(,A) rows top row first.
std::string comparePixels(const Image& ours, const std::uint8_t* reference, const char* peer) {
  const std::size_t channels = ours.channels;
  const std::size_t rowBytes = ours.rowBytes();
  std::size_t differing = 0;
  int largest = 0;
  for (std::size_t y = 0; y < ours.height; ++y) {
    const std::uint8_t* ourRow = ours.pixels() + (std::size_t{ours.height} - 1 - y) * rowBytes;
    const std::uint8_t* peerRow = reference + y * rowBytes;
    for (std::size_t x = 0; x < rowBytes; x += channels) {
      for (std::size_t c = 0; c < channels; ++c) {
        const std::size_t ourChannel = c < 3 ? 2 - c : c;
        const int difference = std::abs(ourRow[x + ourChannel] - peerRow[x + c]);
        if (difference != 0) {
          ++differing;
          largest = std::max(largest, difference);
        }
      }
    }
  }
  if (differing == 0) return std::string("identical to ") + peer;
  return std::to_string(differing) + " bytes differ from " + peer + " (largest difference " +
         std::to_string(largest) + ")";
}

// --- report ----------------------------------------------------------------------------------

struct Row {
  std::string name;
  Timing timing;
  double bytes = 0;
};

double megabytesPerSecond(const Row& row) {
  return row.bytes / row.timing.medianSeconds / kBytesPerMegabyte;
}

void printRow(const Row& row, const Row* ours) {
  if (!row.timing.ok) {
    std::printf("    %-24s FAILED: refused the file or gave a different size\n", row.name.c_str());
    return;
  }
  std::printf("    %-24s %6d %11.3f %10.1f", row.name.c_str(), row.timing.runs,
              row.timing.medianSeconds * 1e3, megabytesPerSecond(row));
  if (ours != nullptr && ours != &row && ours->timing.ok) {
    std::printf(" %10.3g", row.timing.medianSeconds / ours->timing.medianSeconds);
  } else if (row.timing.processes > 0) {
    std::printf(" %10s", "");
  }
  if (row.timing.processes > 0) {
    std::printf("  %d processes: mean %.3f, %.3f..%.3f ms", row.timing.processes,
                row.timing.meanSeconds * 1e3, row.timing.lowestSeconds * 1e3,
                row.timing.highestSeconds * 1e3);
  }
  std::printf("\n");
}

void printHeading() {
  std::printf("    %-24s %6s %11s %10s %10s\n", "decoder", "runs", "median ms", "MB/s",
              "ours/peer");
}

// Ratios ours/peer per class and column, and our speed per class.
struct Summary {
  std::map<std::string, std::vector<double>> ratios[kClassCount];
  std::vector<double> ourSpeed[kClassCount];
  int files[kClassCount] = {};
  std::map<std::string, std::vector<double>> zlibRatios[kClassCount];
  std::vector<double> oursByRowSpeed[kClassCount];
  int failures = 0;
};

double geometricMean(const std::vector<double>& values) {
  double logSum = 0;
  for (const double value : values) logSum += std::log(value);
  return std::exp(logSum / static_cast<double>(values.size()));
}

bool readWholeFile(const std::filesystem::path& path, Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bool ok = std::fseek(file, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(file) : -1;
  ok = ok && size >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(size));
    ok = std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
  }
  std::fclose(file);
  return ok;
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "--min-time" && hasValue) {
      options.minSeconds = std::atof(argv[++i]);
    } else if (argument == "--min-runs" && hasValue) {
      options.minRuns = std::max(1, std::atoi(argv[++i]));
    } else if (argument == "--max-runs" && hasValue) {
      options.maxRuns = std::max(1, std::atoi(argv[++i]));
    } else if (argument == "--fresh" && hasValue) {
      options.freshProcesses = std::max(0, std::atoi(argv[++i]));
    } else if (!argument.empty() && argument[0] != '-') {
      options.folder = argument;
    } else {
      return false;
    }
  }
  return true;
}

// What the decoders of a file work on. The parent process fills it from the file and our decode
// of it; a process started for one measurement (--time-one) from the file and the command line.
struct FileInputs {
  ByteSpan bytes;
  const FileInfo* info = nullptr;
  std::size_t pixelBytes = 0;
  std::uint32_t channels = 0;
  const std::uint8_t* ourPixels = nullptr;  // what the memcpy line copies
  std::size_t inflatedBytes = 0;            // PNG: the scanlines with their filter bytes
};

// The picture decoders of a file, ours first.
std::vector<Candidate> pictureCandidates(const FileInputs& in) {
  std::vector<Candidate> candidates;
  const auto addRow = [&](const char* name, std::function<bool()> decode) {
    candidates.push_back(Candidate{name, std::move(decode)});
  };
  const bool expand = in.info->expand;
  addRow(kOurs, [in, expand] { return static_cast<bool>(decodeImage(in.bytes, nullptr, expand)); });
  if (in.info->isPng) {
#ifdef BENCH_HAVE_LIBPNG
    addRow(kLibpng, [in, expand] {
      auto out = outputBlock(in.pixelBytes);
      return out && decodeLibpng(in.bytes, out.get(), in.pixelBytes, expand);
    });
#endif
#ifdef BENCH_HAVE_SPNG
    // The other peers do not run the same transformations on the expanded layouts.
    if (!expand)
      addRow(kSpng, [in] {
        auto out = outputBlock(in.pixelBytes);
        return out && decodeSpng(in.bytes, out.get(), in.pixelBytes, in.channels);
      });
#endif
  }
  if (in.info->isJpeg) {
    addRow(kLibjpeg, [in] {
      auto out = outputBlock(in.pixelBytes);
      return out && decodeLibjpeg(in.bytes, out.get(), in.pixelBytes);
    });
  }
#ifdef BENCH_HAVE_STB
  if (!expand) addRow(kStb, [in] { return decodeStb(in.bytes, nullptr, in.pixelBytes); });
#endif
  addRow(kMemcpy, [in] {
    auto out = outputBlock(in.pixelBytes);
    if (out) std::memcpy(out.get(), in.ourPixels, in.pixelBytes);
    keepWritten(out.get());
    return static_cast<bool>(out);
  });
  return candidates;
}

// The zlib decoders of a PNG file's IDAT stream, ours first.
std::vector<Candidate> zlibCandidates(const FileInputs& in) {
  std::vector<Candidate> candidates;
  const auto addRow = [&](const char* name, std::function<bool()> decode) {
    candidates.push_back(Candidate{name, std::move(decode)});
  };
  addRow(kOursInflate, [in] {
    auto out = outputBlock(in.inflatedBytes);
    return out && inflateOursWhole(in.info->idat, out.get(), in.inflatedBytes);
  });
#ifdef BENCH_HAVE_ZLIB
  addRow(kZlib, [in] {
    auto out = outputBlock(in.inflatedBytes);
    return out && inflateZlib(in.info->idat, out.get(), in.inflatedBytes);
  });
#endif
#ifdef BENCH_HAVE_LIBDEFLATE
  addRow(kLibdeflate, [in] {
    auto out = outputBlock(in.inflatedBytes);
    return out && inflateLibdeflate(in.info->idat, out.get(), in.inflatedBytes);
  });
#endif
  return candidates;
}

// --- fresh processes -------------------------------------------------------------------------

// The hidden command of one measurement in a process of its own:
//   decode_bench --time-one FILE picture|zlib INDEX PIXEL-BYTES CHANNELS HEAP-SHIFT [timing
//   options]
// holds a heap block of HEAP-SHIFT bytes, then times candidate INDEX of the file alone (warm-up,
// then runs up to the limits) and prints "ok RUNS MEDIAN-SECONDS", or "failed".
constexpr const char* kTimeOne = "--time-one";

// The heap block a fresh process holds before anything else. A process's heap layout is the
// same from run to run, and where its blocks fall against each other modulo 4 KiB moves a small
// JPEG decode by up to a third (two or three distinct times, for ours and for bare libjpeg-turbo
// alike). So the k-th process of every decoder shifts its heap by the k-th of a low-discrepancy
// sequence of the 256 16-byte steps of a page (k times the golden ratio, modulo 1): the N
// processes of a decoder see N layouts spread over the page for any N, and every decoder sees the
// same N.
std::size_t heapShift(int process) {
  constexpr double kGoldenRatioFraction = 0.6180339887498949;
  constexpr std::size_t kSteps = 256;  // 4096-byte page / malloc's 16-byte granularity
  constexpr std::size_t kStep = 16;
  const double position = std::fmod(process * kGoldenRatioFraction, 1.0);
  return static_cast<std::size_t>(position * kSteps) % kSteps * kStep;
}

// Runs this program with `arguments` and gives back what it wrote to standard output; false
// when it cannot be started or does not exit with status 0.
bool runSelf(const std::vector<std::string>& arguments, std::string& output) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned =
      posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  output.clear();
  char buffer[256];
  for (;;) {
    const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
    if (got > 0) {
      output.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(pipeEnds[0]);
  if (spawned != 0) return false;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double medianOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Times each candidate in options.freshProcesses processes of its own, the candidates' processes
// taking turns (A B C A B C ...); a candidate's time is the median of its processes' medians,
// its run count the sum of theirs. A failure in any process makes its timing failed.
std::vector<Timing> measureFresh(const Options& options, const std::filesystem::path& path,
                                 const char* set, const FileInputs& in, std::size_t count) {
  std::vector<Timing> timings(count);
  std::vector<std::vector<double>> medians(count);
  std::vector<bool> failed(count, false);
  char minTime[32];
  std::snprintf(minTime, sizeof minTime, "%.17g", options.minSeconds);
  for (int process = 0; process < options.freshProcesses; ++process) {
    for (std::size_t i = 0; i < count; ++i) {
      if (failed[i]) continue;
      const std::vector<std::string> arguments = {options.self,
                                                  kTimeOne,
                                                  path.string(),
                                                  set,
                                                  std::to_string(i),
                                                  std::to_string(in.pixelBytes),
                                                  std::to_string(in.channels),
                                                  std::to_string(heapShift(process)),
                                                  "--min-time",
                                                  minTime,
                                                  "--min-runs",
                                                  std::to_string(options.minRuns),
                                                  "--max-runs",
                                                  std::to_string(options.maxRuns)};
      std::string output;
      int runs = 0;
      double median = 0;
      if (!runSelf(arguments, output) ||
          std::sscanf(output.c_str(), "ok %d %lf", &runs, &median) != 2) {
        failed[i] = true;
        continue;
      }
      medians[i].push_back(median);
      timings[i].runs += runs;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (failed[i] || medians[i].empty()) continue;
    timings[i].medianSeconds = medianOf(medians[i]);
    timings[i].processes = static_cast<int>(medians[i].size());
    double sum = 0;
    for (const double median : medians[i]) sum += median;
    timings[i].meanSeconds = sum / static_cast<double>(medians[i].size());
    timings[i].lowestSeconds = *std::min_element(medians[i].begin(), medians[i].end());
    timings[i].highestSeconds = *std::max_element(medians[i].begin(), medians[i].end());
    timings[i].ok = true;
  }
  return timings;
}

// In the parent: the candidates together in this process, or each in fresh processes.
std::vector<Timing> measure(const Options& options, const std::filesystem::path& path,
                            const char* set, const FileInputs& in,
                            const std::vector<Candidate>& candidates) {
  if (options.freshProcesses > 0) return measureFresh(options, path, set, in, candidates.size());
  return measureTogether(options, candidates);
}

void benchFile(const Options& options, const std::filesystem::path& path, Summary& summary) {
  Bytes file;
  if (!readWholeFile(path, file)) {
    std::printf("== %s: cannot read the file\n\n", path.filename().c_str());
    ++summary.failures;
    return;
  }
  const ByteSpan bytes(file.data(), file.size());
  const FileInfo info = describeFile(bytes);
  const auto kind = static_cast<int>(info.kind);

  ImagePtr reference = decodeImage(bytes, nullptr, info.expand);
  if (!reference) {
    std::printf("== %s: %s, %zu file bytes\n    OUR DECODER FAILED: decodeImage returned null\n\n",
                path.filename().c_str(), info.detail.c_str(), file.size());
    ++summary.failures;
    return;
  }
  const std::size_t pixelBytes = reference->pixelBytes();
  const std::uint32_t channels = reference->channels;
  std::printf("== %s: %s [%s]\n   %ux%u, %u channels, %zu file bytes, %zu pixel bytes\n",
              path.filename().c_str(), info.detail.c_str(), kClassNames[kind],
              unsigned{reference->width}, unsigned{reference->height}, channels, file.size(),
              pixelBytes);
  printHeading();

  FileInputs in;
  in.bytes = bytes;
  in.info = &info;
  in.pixelBytes = pixelBytes;
  in.channels = channels;
  in.ourPixels = reference->pixels();
  const std::vector<Candidate> candidates = pictureCandidates(in);

  // The reference pixels of the first peer that decodes the file, for the comparison.
  HeapPtr<std::uint8_t[]> peerPixels = allocateArray<std::uint8_t>(pixelBytes);
  const char* peerPixelsFrom = nullptr;
  const auto keepPixels = [&](const char* peer, bool ok) {
    if (ok && peerPixelsFrom == nullptr) peerPixelsFrom = peer;
  };
  if (info.isPng) {
#ifdef BENCH_HAVE_LIBPNG
    keepPixels(kLibpng, decodeLibpng(bytes, peerPixels.get(), pixelBytes, info.expand));
#endif
#ifdef BENCH_HAVE_SPNG
    if (peerPixelsFrom == nullptr && !info.expand)
      keepPixels(kSpng, decodeSpng(bytes, peerPixels.get(), pixelBytes, channels));
#endif
  }
  if (info.isJpeg) keepPixels(kLibjpeg, decodeLibjpeg(bytes, peerPixels.get(), pixelBytes));
#ifdef BENCH_HAVE_STB
  if (peerPixelsFrom == nullptr && !info.expand) {
    keepPixels(kStb, decodeStb(bytes, peerPixels.get(), pixelBytes));
  }
#endif

  std::vector<Row> rows;
  const std::vector<Timing> timings = measure(options, path, "picture", in, candidates);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    rows.push_back(Row{candidates[i].name, timings[i], static_cast<double>(pixelBytes)});
  }
  const Row& ours = rows.front();
  for (const Row& row : rows) printRow(row, &ours);
  if (peerPixelsFrom != nullptr) {
    std::printf("    pixels: %s\n",
                comparePixels(*reference, peerPixels.get(), peerPixelsFrom).c_str());
  } else {
    std::printf("    pixels: no peer decoded the file, nothing to compare with\n");
  }

  ++summary.files[kind];
  if (ours.timing.ok) {
    summary.ourSpeed[kind].push_back(megabytesPerSecond(ours));
    for (std::size_t i = 1; i < rows.size(); ++i) {
      if (rows[i].timing.ok) {
        summary.ratios[kind][rows[i].name].push_back(rows[i].timing.medianSeconds /
                                                     ours.timing.medianSeconds);
      }
    }
  } else {
    ++summary.failures;
  }

  if (info.isPng && !info.idat.empty()) {
    const std::vector<std::uint32_t> lengths = scanlineLengths(info);
    for (const std::uint32_t length : lengths) in.inflatedBytes += length;
    const std::size_t inflatedBytes = in.inflatedBytes;
    std::printf(
        "    zlib stream of the IDAT chunks: %zu bytes -> %zu bytes (MB/s of inflated bytes)\n",
        info.idat.size(), inflatedBytes);
    const std::vector<Candidate> zlibRowsToTime = zlibCandidates(in);
    HeapPtr<std::uint8_t[]> oursInflated = allocateArray<std::uint8_t>(inflatedBytes);
    const bool haveOursInflated =
        oursInflated && inflateOursWhole(info.idat, oursInflated.get(), inflatedBytes);
    const auto sameAsOurs = [&](const char* name, bool ok, const std::uint8_t* out) {
      if (!ok || !haveOursInflated) return;
      if (std::memcmp(out, oursInflated.get(), inflatedBytes) != 0) {
        std::printf("    inflated bytes DIFFER between ours and %s\n", name);
      }
    };
    HeapPtr<std::uint8_t[]> check = allocateArray<std::uint8_t>(inflatedBytes);
#ifdef BENCH_HAVE_ZLIB
    sameAsOurs(kZlib, inflateZlib(info.idat, check.get(), inflatedBytes), check.get());
#endif
#ifdef BENCH_HAVE_LIBDEFLATE
    sameAsOurs(kLibdeflate, inflateLibdeflate(info.idat, check.get(), inflatedBytes), check.get());
#endif
    std::vector<Row> zlibRows;
    const std::vector<Timing> zlibTimings = measure(options, path, "zlib", in, zlibRowsToTime);
    for (std::size_t i = 0; i < zlibRowsToTime.size(); ++i) {
      zlibRows.push_back(
          Row{zlibRowsToTime[i].name, zlibTimings[i], static_cast<double>(inflatedBytes)});
    }
    const Row& oursByRow = zlibRows.front();
    for (const Row& row : zlibRows) printRow(row, &oursByRow);
    if (oursByRow.timing.ok) {
      summary.oursByRowSpeed[kind].push_back(megabytesPerSecond(oursByRow));
      for (std::size_t i = 1; i < zlibRows.size(); ++i) {
        if (zlibRows[i].timing.ok) {
          summary.zlibRatios[kind][zlibRows[i].name].push_back(zlibRows[i].timing.medianSeconds /
                                                               oursByRow.timing.medianSeconds);
        }
      }
    } else {
      std::printf("    OUR ZLIB DECODER FAILED on this stream\n");
      ++summary.failures;
    }
  }
  std::printf("\n");
}

// The --time-one command (see kTimeOne): arguments after it are FILE SET INDEX PIXEL-BYTES
// CHANNELS HEAP-SHIFT, then the usual timing options. Exit status 0 when the line was printed.
int timeOne(int argc, char** argv) {
  if (argc < 8) return 2;
  const HeapPtr<std::uint8_t[]> shift =
      allocateArray<std::uint8_t>(static_cast<std::size_t>(std::strtoull(argv[7], nullptr, 10)));
  keepWritten(shift.get());
  Options options;
  if (!parseOptions(argc - 7, argv + 7, options)) return 2;
  Bytes file;
  if (!readWholeFile(argv[2], file)) return 2;
  const std::string set = argv[3];
  const auto index = static_cast<std::size_t>(std::strtoull(argv[4], nullptr, 10));
  const FileInfo info = describeFile(ByteSpan(file.data(), file.size()));
  FileInputs in;
  in.bytes = ByteSpan(file.data(), file.size());
  in.info = &info;
  in.pixelBytes = static_cast<std::size_t>(std::strtoull(argv[5], nullptr, 10));
  in.channels = static_cast<std::uint32_t>(std::strtoul(argv[6], nullptr, 10));
  // The memcpy line copies a block of the picture's size; its contents do not matter.
  HeapPtr<std::uint8_t[]> source = allocateArray<std::uint8_t>(in.pixelBytes);
  if (!source) return 2;
  std::memset(source.get(), 0, in.pixelBytes);
  in.ourPixels = source.get();
  if (set == "zlib") {
    for (const std::uint32_t length : scanlineLengths(info)) in.inflatedBytes += length;
  }
  const std::vector<Candidate> candidates =
      set == "zlib" ? zlibCandidates(in) : pictureCandidates(in);
  if (index >= candidates.size()) return 2;
  const std::vector<Timing> timing = measureTogether(options, {candidates[index]});
  if (timing.front().ok) {
    std::printf("ok %d %.9g\n", timing.front().runs, timing.front().medianSeconds);
  } else {
    std::printf("failed\n");
  }
  return 0;
}

void printCell(const std::vector<double>* values) {
  if (values == nullptr || values->empty()) {
    std::printf(" %13s", "-");
  } else {
    std::printf(" %13.3g", geometricMean(*values));
  }
}

template <std::size_t N>
void printSummaryTable(const char* title, const char* speedName, const char* const (&columns)[N],
                       const std::map<std::string, std::vector<double>>* ratios,
                       const std::vector<double>* speeds, bool pngOnly) {
  std::printf("%s\n%-18s %5s %13s", title, "class", "files", speedName);
  for (const char* column : columns) std::printf(" %13s", column);
  std::printf("\n");
  std::vector<double> all[N];
  std::vector<double> allSpeeds;
  for (int kind = 0; kind < kClassCount; ++kind) {
    if (speeds[kind].empty()) continue;
    if (pngOnly && kind > static_cast<int>(FileClass::png16)) continue;
    std::printf("%-18s %5zu %13.1f", kClassNames[kind], speeds[kind].size(),
                geometricMean(speeds[kind]));
    allSpeeds.insert(allSpeeds.end(), speeds[kind].begin(), speeds[kind].end());
    for (std::size_t i = 0; i < N; ++i) {
      const auto found = ratios[kind].find(columns[i]);
      printCell(found == ratios[kind].end() ? nullptr : &found->second);
      if (found != ratios[kind].end()) {
        all[i].insert(all[i].end(), found->second.begin(), found->second.end());
      }
    }
    std::printf("\n");
  }
  if (!allSpeeds.empty()) {
    std::printf("%-18s %5zu %13.1f", "all", allSpeeds.size(), geometricMean(allSpeeds));
    for (std::size_t i = 0; i < N; ++i) printCell(&all[i]);
    std::printf("\n");
  }
  std::printf("\n");
}

std::string cpuModel() {
  std::FILE* file = std::fopen("/proc/cpuinfo", "r");
  if (file == nullptr) return "unknown";
  char line[512];
  std::string model = "unknown";
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, "model name", 10) == 0) {
      const char* colon = std::strchr(line, ':');
      if (colon != nullptr) model = colon + 2;
      if (!model.empty() && model.back() == '\n') model.pop_back();
      break;
    }
  }
  std::fclose(file);
  return model;
}

}  // namespace

int main(int argc, char** argv) {
  // Large blocks from the heap, never unmapped or trimmed: see the top of the file.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
  if (argc > 1 && std::strcmp(argv[1], kTimeOne) == 0) return timeOne(argc, argv);
  Options options;
  options.self = argc > 0 ? argv[0] : "decode_bench";
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: decode_bench [corpus-folder] [--min-time SECONDS] [--min-runs N] "
                 "[--max-runs N] [--fresh N]\n");
    return 2;
  }
  std::error_code error;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(options.folder, error)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file(error) && !name.empty() && name[0] != '.')
      files.push_back(entry.path());
  }
  if (error || files.empty()) {
    std::fprintf(stderr,
                 "decode_bench: no pictures in %s (make them with scripts/bench-corpus.sh)\n",
                 options.folder.c_str());
    return 2;
  }
  std::sort(files.begin(), files.end());

  const std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::printf("decode_bench %s: %zu files in %s\n", date, files.size(), options.folder.c_str());
  std::printf("machine: %s, %u logical CPUs\n", cpuModel().c_str(),
              std::thread::hardware_concurrency());
  std::printf(
      "timing: decoders take turns; median of >= %d runs adding up to >= %.2f s (at most %d "
      "runs)\n",
      options.minRuns, options.minSeconds, options.maxRuns);
  if (options.freshProcesses > 0) {
    std::printf(
        "        each decoder alone in %d fresh processes, taking turns; the median of their "
        "medians, the runs of all\n",
        options.freshProcesses);
  }
  std::printf("peers compiled in:%s%s%s%s%s libjpeg-turbo (JPEG_LIB_VERSION %d), memcpy\n",
#ifdef BENCH_HAVE_LIBPNG
              " libpng " PNG_LIBPNG_VER_STRING ",",
#else
              "",
#endif
#ifdef BENCH_HAVE_SPNG
              " libspng,",
#else
              "",
#endif
#ifdef BENCH_HAVE_STB
              " stb_image,",
#else
              "",
#endif
#ifdef BENCH_HAVE_ZLIB
              " zlib " ZLIB_VERSION ",",
#else
              "",
#endif
#ifdef BENCH_HAVE_LIBDEFLATE
              " libdeflate " LIBDEFLATE_VERSION_STRING ",",
#else
              "",
#endif
              JPEG_LIB_VERSION);
  std::printf("ours/peer = peer median time / our median time: above 1, ours is faster\n\n");

  Summary summary;
  for (const auto& path : files) benchFile(options, path, summary);

  printSummaryTable("Summary: pictures, ours/peer, geometric mean over the files of each class",
                    "ours MB/s", kPeerColumns, summary.ratios, summary.ourSpeed, false);
  printSummaryTable(
      "Summary: zlib stream of each PNG, our inflate pulled as the PNG reader pulls it (one call) "
      "vs one-call peers",
      "ours MB/s", kZlibColumns, summary.zlibRatios, summary.oursByRowSpeed, true);
  if (summary.failures != 0) {
    std::printf("%d failure(s) of our decoders: see the tables above\n", summary.failures);
    return 1;
  }
  return 0;
}
