// The reader chain. TGA has no signature, so its place after BMP and before PNG and JPEG matters:
// its header tests are what keep it from claiming the other formats.

#include "image/loader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/platform.h"
#include "base/system_error.h"
#include "image/bmp_reader.h"
#include "image/foreign_formats.h"
#include "image/jpeg_reader.h"
#include "image/tga_reader.h"
#include "png/png_reader.h"

namespace {

using Reader = ImagePtr (*)(ByteSpan, DecodeReport*, bool) noexcept;

struct ChainLink {
  Reader read;
  ImageFormat format;
};

constexpr std::array<ChainLink, 4> kReaderChain = {{
    {decodeBmp, ImageFormat::bmp},
    {decodeTga, ImageFormat::tga},
    {decodePng, ImageFormat::png},
    {decodeJpeg, ImageFormat::jpeg},
}};

// The head of a file that the size estimate reads: enough for the header of every format and
// for the frame header of a JPEG behind the usual metadata.
constexpr std::size_t kEstimateHeadBytes = 64 * 1024;
// What the process holds whatever it converts: its code, libraries, stacks and the small blocks
// of a run (the BMP row stage among them): the peak of a run on a 4x4 picture (3.27 MiB with
// the release build on Debian 12), rounded up.
constexpr std::uint64_t kProcessBaseBytes = (std::uint64_t{33} << 20) / 10;
// The most bytes of filtered PNG scanlines pulled at once (png/scanline.cpp), and the zlib
// decoder's window and tables with the room for history in front of the four parts of a pull
// whose rows a helper thread reconstructs.
constexpr std::uint64_t kPngPullBytes = std::uint64_t{4} << 20;
constexpr std::uint64_t kPngInflateBytes = std::uint64_t{384} << 10;
// Bytes of one JPEG coefficient block (64 samples of 16 bits).
constexpr std::uint64_t kJpegBlockBytes = 128;

std::uint32_t readBe16At(const std::uint8_t* bytes) noexcept {
  return std::uint32_t{bytes[0]} << 8 | bytes[1];
}

// What a file's header says about the blocks loading it takes besides the file itself.
struct HeaderCost {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint64_t bytesPerPixel = 0;  // of the picture the reader makes
  std::uint64_t scratchBytes = 0;   // the reader's other blocks
};

// DEFLATE's largest expansion: a 258-byte match per 2 bits at best, about 1032-fold.
constexpr std::uint64_t kMaxInflateRatio = 1032;

// The picture's bytes for its sides as stated, each side at most kMaxImageSide.
std::uint64_t pictureBytes(const HeaderCost& cost) noexcept {
  return cost.bytesPerPixel * std::min<std::uint32_t>(cost.width, kMaxImageSide) *
         std::min<std::uint32_t>(cost.height, kMaxImageSide);
}

std::uint64_t ceilDiv(std::uint64_t value, std::uint64_t divisor) noexcept {
  return (value + divisor - 1) / divisor;
}

// A JPEG from its frame header (SOF) and the first scan header (SOS) after it: the 3-byte
// picture, and for a progressive file or one whose first scan does not hold every component, the
// library's whole-frame coefficient arrays (per component, its blocks rounded up to its sampling
// factors). A frame header beyond the head counts as the largest sides with such arrays.
HeaderCost jpegCost(const std::uint8_t* head, std::size_t bytes) noexcept {
  HeaderCost cost;
  cost.bytesPerPixel = 3;
  // Markers from the first: FF xx, then a 16-bit length that counts itself.
  std::size_t at = 2;
  std::size_t frame = 0;  // offset of the frame header's marker, once found
  bool progressive = false;
  bool wholeFrameArrays = true;  // until a first scan with every component says otherwise
  while (at + 4 <= bytes && head[at] == 0xFF) {
    const std::uint8_t marker = head[at + 1];
    if (marker == 0xFF) {
      ++at;  // fill byte
      continue;
    }
    const std::size_t length = readBe16At(head + at + 2);
    // SOF0..SOF15, not C4 DHT, C8 JPG, CC DAC: precision, height, width, components.
    if (frame == 0 && marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
        marker != 0xCC) {
      if (at + 10 > bytes) break;
      frame = at;
      progressive = (marker & 0x03) == 0x02;  // C2, C6, CA, CE
    } else if (marker == 0xDA) {              // SOS: the scan's component count
      if (frame != 0 && at + 5 <= bytes && head[at + 4] == head[frame + 9]) {
        wholeFrameArrays = progressive;
      }
      break;
    }
    at += 2 + length;
  }
  if (frame == 0) {
    cost.width = cost.height = kMaxImageSide;
    cost.scratchBytes = ceilDiv(kMaxImageSide, 8) * ceilDiv(kMaxImageSide, 8) * 3 * kJpegBlockBytes;
    return cost;
  }
  cost.height = readBe16At(head + frame + 5);
  cost.width = readBe16At(head + frame + 7);
  const std::size_t components = head[frame + 9];
  std::uint32_t maxH = 1;
  std::uint32_t maxV = 1;
  for (std::size_t c = 0; c < components && frame + 13 + 3 * c <= bytes; ++c) {
    const std::uint8_t factors = head[frame + 11 + 3 * c];
    maxH = std::max<std::uint32_t>(maxH, factors >> 4);
    maxV = std::max<std::uint32_t>(maxV, factors & 0x0F);
  }
  // Larger sides are refused before the library allocates anything.
  const std::uint64_t width = std::clamp<std::uint32_t>(cost.width, 1, kMaxImageSide);
  const std::uint64_t height = std::clamp<std::uint32_t>(cost.height, 1, kMaxImageSide);
  // The library's own buffers and the allocator's rounding: half a MiB, and a twentieth of the
  // picture and the coefficient arrays (measured: 0.3 to 0.8 MB over the picture and arrays, 2.5
  // MB for one 3640x2400 progressive file).
  const std::uint64_t pictureBytes = 3 * width * height;
  std::uint64_t arrayBytes = 0;
  for (std::size_t c = 0; wholeFrameArrays && c < components && frame + 13 + 3 * c <= bytes; ++c) {
    const std::uint8_t factors = head[frame + 11 + 3 * c];
    const std::uint64_t h = std::max<std::uint32_t>(factors >> 4u, 1);
    const std::uint64_t v = std::max<std::uint32_t>(factors & 0x0Fu, 1);
    const std::uint64_t blocksWide = ceilDiv(ceilDiv(ceilDiv(width * h, maxH), 8), h) * h;
    const std::uint64_t blocksHigh = ceilDiv(ceilDiv(ceilDiv(height * v, maxV), 8), v) * v;
    arrayBytes += blocksWide * blocksHigh * kJpegBlockBytes;
  }
  cost.scratchBytes = arrayBytes + (std::uint64_t{1} << 19) + (pictureBytes + arrayBytes) / 20;
  return cost;
}

// A PNG's blocks when expanding: the 8-bit picture of three bytes, or four for the colour
// types with alpha and for palettes (whose tRNS the header does not tell), with no plane
// between; the scanlines as for any PNG, at the depth and channels the header states.
HeaderCost expandedPngCost(HeaderCost cost, std::uint8_t depth, std::uint8_t colourType,
                           std::uint64_t fileBytes) noexcept {
  const std::uint64_t channels = colourType == 2   ? 3
                                 : colourType == 4 ? 2
                                 : colourType == 6 ? 4
                                                   : 1;
  cost.bytesPerPixel = colourType == 0 || colourType == 2 ? 3 : 4;
  const std::uint64_t width = std::min<std::uint32_t>(cost.width, kMaxImageSide);
  const std::uint64_t height = std::min<std::uint32_t>(cost.height, kMaxImageSide);
  const std::uint64_t stride = ceilDiv(width * channels * depth, 8) + 1;
  const std::uint64_t pull = std::min(kPngPullBytes + stride, stride * height);
  cost.scratchBytes = pull + 2 * stride + kPngInflateBytes;
  if (2 * kMaxInflateRatio * fileBytes < stride * height) cost = HeaderCost{};
  return cost;
}

// The blocks a file's header asks for, taken by its signature the way the reader chain would
// take it (TGA, having none, for everything else). Sides are those the header states; a header
// the reader would refuse before allocating anything costs nothing beyond the file. Expanding,
// a BMP or TGA of any other depth or type counts as a four-byte picture of its stated sides,
// every layout the readers expand taking no more.
HeaderCost headerCost(const std::uint8_t* head, std::size_t bytes, std::uint64_t fileBytes,
                      bool expand) noexcept {
  HeaderCost cost;
  const ByteSpan span(head, bytes);
  if (bytes >= 2 && head[0] == 'B' && head[1] == 'M') {
    if (bytes < 30) return cost;
    const std::uint32_t bits = readLe16(span, 28);
    if (expand && bits != 24 && bits != 32) {
      cost.width = readLe32(span, 18);
      const std::uint32_t rawHeight = readLe32(span, 22);
      cost.height = rawHeight > 0x80000000u ? 0u - rawHeight : rawHeight;
      cost.bytesPerPixel = 4;
      return cost;
    }
    if (bits != 24 && bits != 32) return cost;
    cost.width = readLe32(span, 18);
    const std::uint32_t rawHeight = readLe32(span, 22);
    cost.height = rawHeight > 0x80000000u ? 0u - rawHeight : rawHeight;  // negative: top-down
    cost.bytesPerPixel = bits / 8;
    if (2 * fileBytes < pictureBytes(cost)) cost.bytesPerPixel = 0;  // must hold its pixels
    return cost;
  }
  if (bytes >= 4 && head[0] == 0x89 && head[1] == 'P' && head[2] == 'N' && head[3] == 'G') {
    if (bytes < 26) return cost;
    cost.width = readBe32(span, 16);
    cost.height = readBe32(span, 20);
    // Truecolour makes the picture straight; other colour types fill a plane first (and are
    // refused); 16-bit samples are refused before anything is allocated.
    const std::uint8_t depth = head[24];
    const std::uint8_t colourType = head[25];
    const bool readAsIs = depth == 8 && (colourType == 2 || colourType == 6);
    if (expand && !readAsIs) return expandedPngCost(cost, depth, colourType, fileBytes);
    if (depth == 16) return cost;
    cost.bytesPerPixel = colourType == 2 ? 3 : colourType == 6 ? 4 : colourType == 4 ? 2 : 1;
    // The filtered scanlines pulled in slices of whole scanlines (at most all of them), two
    // scanline buffers, the decoder; the picture data is gathered within the file's own bytes.
    const std::uint64_t width = std::min<std::uint32_t>(cost.width, kMaxImageSide);
    const std::uint64_t height = std::min<std::uint32_t>(cost.height, kMaxImageSide);
    const std::uint64_t stride = ceilDiv(width * cost.bytesPerPixel * depth, 8) + 1;
    const std::uint64_t pull = std::min(kPngPullBytes + stride, stride * height);
    cost.scratchBytes = pull + 2 * stride + kPngInflateBytes;
    // Refused unless its data could inflate to the scanlines (DEFLATE: at most 1032-fold).
    if (2 * kMaxInflateRatio * fileBytes < stride * height) cost = HeaderCost{};
    return cost;
  }
  if (bytes >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
    return jpegCost(head, bytes);
  }
  if (bytes >= 18) {
    const std::uint8_t imageType = head[2];
    const std::uint8_t depth = head[16];
    const bool trueColour = (imageType == 2 || imageType == 10) && (depth == 24 || depth == 32);
    if (expand && !trueColour) {
      const bool known = imageType == 1 || imageType == 2 || imageType == 3 || imageType == 9 ||
                         imageType == 10 || imageType == 11;
      if (!known) return cost;
      cost.width = readLe16(span, 12);
      cost.height = readLe16(span, 14);
      cost.bytesPerPixel = 4;
      return cost;
    }
    if (!trueColour) return cost;
    cost.width = readLe16(span, 12);
    cost.height = readLe16(span, 14);
    cost.bytesPerPixel = depth / 8;
    // An uncompressed picture must hold its pixels.
    if (imageType == 2 && 2 * fileBytes < pictureBytes(cost)) cost.bytesPerPixel = 0;
  }
  return cost;
}

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// One reader of the chain on bytes. When writable is not null (the bytes themselves, theirs to
// overwrite) the PNG reader gathers its picture data in place. It comes after every reader that
// looks past a signature, and the one after it (JPEG's) refuses the PNG signature, which it leaves
// as it is, so no reader sees other bytes than it would have.
ImagePtr readLink(const ChainLink& link, ByteSpan bytes, std::uint8_t* writable,
                  DecodeReport* report, bool expand) noexcept {
  if (writable != nullptr && link.format == ImageFormat::png) {
    return decodePngInPlace(writable, bytes.size(), report, expand);
  }
  return link.read(bytes, report, expand);
}

// decodeImage with a report: the same chain, TGA's reason kept aside until every signature has
// had its say. The warnings of the readers tried stay in the report, picture or not (TGA's
// reader, which calls no library, gives none).
ImagePtr decodeReporting(ByteSpan bytes, std::uint8_t* writable, DecodeReport& report,
                         bool expand) noexcept {
  report = DecodeReport{};
  DecodeReport tgaReport;
  for (const ChainLink& link : kReaderChain) {
    DecodeReport& target = link.format == ImageFormat::tga ? tgaReport : report;
    if (ImagePtr image = readLink(link, bytes, writable, &target, expand)) {
      report.format = link.format;
      if (&target != &report) std::memcpy(report.layout, target.layout, sizeof report.layout);
      std::memset(report.reason, 0, sizeof report.reason);
      report.outOfMemory = false;
      return image;
    }
  }
  if (report.format != ImageFormat::none) return nullptr;  // its reader said why
  if (bytes.empty()) {
    refuse(&report, "file is empty");
  } else if (const char* foreign = foreignFormatName(bytes)) {
    refuse(&report, "%s file is not converted: save it as BMP, TGA, PNG or JPEG", foreign);
  } else if (tgaReport.format == ImageFormat::tga) {
    report.format = tgaReport.format;
    std::memcpy(report.reason, tgaReport.reason, sizeof report.reason);
    report.outOfMemory = tgaReport.outOfMemory;
  } else {
    refuse(&report, "not a BMP, TGA, PNG or JPEG file");
  }
  return nullptr;
}

// The offset of the first JPEG marker segment that does not fit in the head, found by hopping
// over the segments' lengths in the file (at most kMaxMarkerHops of them); 0 when the walk leaves
// the markers first (a frame header within the head is found there).
constexpr int kMaxMarkerHops = 4096;
long markerBeyondHead(std::FILE* file, const std::uint8_t* head) noexcept {
  long at = 2;
  for (int hop = 0; hop < kMaxMarkerHops; ++hop) {
    std::uint8_t marker[4];
    if (at + 4 <= static_cast<long>(kEstimateHeadBytes)) {
      std::memcpy(marker, head + at, sizeof marker);
    } else if (std::fseek(file, at, SEEK_SET) != 0 ||
               std::fread(marker, 1, sizeof marker, file) != sizeof marker) {
      return 0;
    }
    if (marker[0] != 0xFF) return 0;
    if (marker[1] == 0xFF) {
      ++at;  // fill byte
      continue;
    }
    if (marker[1] >= 0xC0 && marker[1] <= 0xCF && marker[1] != 0xC4 && marker[1] != 0xC8 &&
        marker[1] != 0xCC) {
      return at + 10 + 3 * 4 <= static_cast<long>(kEstimateHeadBytes) ? 0 : at;
    }
    at += 2 + static_cast<long>(readBe16At(marker + 2));
  }
  return 0;
}

// decodeImage, the bytes being writable's (the caller's to give up) when it is not null.
ImagePtr decodeChain(ByteSpan bytes, std::uint8_t* writable, DecodeReport* report,
                     bool expand) noexcept {
  if (report != nullptr) return decodeReporting(bytes, writable, *report, expand);
  for (const ChainLink& link : kReaderChain) {
    if (ImagePtr image = readLink(link, bytes, writable, nullptr, expand)) return image;
  }
  return nullptr;
}

}  // namespace

ImagePtr decodeImage(ByteSpan bytes, DecodeReport* report, bool expand) noexcept {
  return decodeChain(bytes, nullptr, report, expand);
}

namespace {

// The input file opened for reading without a stream buffer: every read is one of the whole
// file, the head, or a marker's four bytes, so a buffer would only add a block and a copy.
std::FILE* openUnbuffered(const CountedString& path, std::int64_t& size, int* error) noexcept {
  std::FILE* file = openInputFile(path.text(), size, error);
  if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

// Says why the file named by path could not be opened (openInputFile's error number, or 0 when
// it is not a regular file).
void refuseUnopened(DecodeReport* report, int openError) noexcept {
  if (openError == 0) {
    refuse(report, "not a regular file");
  } else if (report != nullptr) {
    char text[DecodeReport::kReasonBytes];
    describeSystemError(openError, text, sizeof text);
    refuse(report, "cannot be read: %s", text);
  }
}

// The first bytes of an open file (up to kEstimateHeadBytes) and the estimate made from them.
struct FileHead {
  std::uint8_t bytes[kEstimateHeadBytes];  // left uninitialised: only what was read is read
  std::size_t count = 0;
  bool fromStart = true;  // false when a JPEG's head was read again from a later offset
  std::uint64_t estimate = 0;
};

// Reads the head of the open file of size bytes and estimates its load (see estimateLoadBytes).
void readHead(std::FILE* file, std::int64_t size, bool expand, FileHead& head) noexcept {
  head.count = 0;
  head.fromStart = true;
  // A file of 2 GiB or more is refused before anything is allocated.
  if (static_cast<std::uint64_t>(size) > kMaxInputFileBytes) {
    head.estimate = kProcessBaseBytes;
    return;
  }
  std::size_t got = std::fread(head.bytes, 1, sizeof head.bytes, file);
  const auto fileBytes = static_cast<std::uint64_t>(size);
  if (got == sizeof head.bytes && head.bytes[0] == 0xFF && head.bytes[1] == 0xD8 &&
      head.bytes[2] == 0xFF) {
    // Metadata may push a JPEG's frame header past the head: the head is read again from two
    // bytes before the first marker that is not within it, which the walk below reaches.
    if (const long frame = markerBeyondHead(file, head.bytes); frame > 2) {
      if (std::fseek(file, frame - 2, SEEK_SET) == 0) {
        got = std::fread(head.bytes, 1, sizeof head.bytes, file);
        head.bytes[0] = 0xFF;
        head.bytes[1] = 0xD8;
        head.fromStart = false;
      }
    }
  }
  head.count = got;
  const HeaderCost cost = headerCost(head.bytes, got, fileBytes, expand);
  head.estimate = kProcessBaseBytes + wholeLargePages(static_cast<std::size_t>(fileBytes)) +
                  cost.scratchBytes + pictureBytes(cost);
}

// Reads and decodes the open file of size bytes; head holds its first bytes already read (the
// whole file when their count is its size).
ImagePtr loadOpenFile(std::FILE* file, std::int64_t size, const FileHead& head,
                      DecodeReport* report, bool expand) noexcept {
  if (size < 0 || static_cast<std::uint64_t>(size) > kMaxInputFileBytes) {
    refuse(report, "file is 2 GiB or larger");
    return nullptr;
  }
  const auto byteCount = static_cast<std::size_t>(size);
  // Whole 2 MiB pages: the bytes past the file's end are never touched, and the read's last
  // page is a huge page too.
  HeapPtr<std::uint8_t[]> block = allocateArray<std::uint8_t>(wholeLargePages(byteCount));
  if (!block) {
    if (report != nullptr) {
      char reason[DecodeReport::kReasonBytes];
      std::snprintf(reason, sizeof reason, "not enough memory to read its %zu bytes", byteCount);
      refuseForMemory(report, reason);
    }
    return nullptr;
  }
  // The read fills fresh memory.
  prepareFreshBlock(block.get(), byteCount);
  bool whole = false;
  if (head.fromStart && head.count == byteCount) {
    std::memcpy(block.get(), head.bytes, byteCount);
    whole = true;
  } else if (std::fseek(file, 0, SEEK_SET) == 0) {
    whole = std::fread(block.get(), 1, byteCount, file) == byteCount;
  }
  if (!whole) {
    if (report != nullptr && std::ferror(file) != 0) {
      char text[DecodeReport::kReasonBytes];
      describeSystemError(errno, text, sizeof text);
      refuse(report, "cannot be read: %s", text);
    } else {
      refuse(report, "file shrank while it was read");
    }
    return nullptr;
  }
  // The block is not needed after the decode, so the PNG reader may reuse it.
  return decodeChain(ByteSpan(block.get(), byteCount), block.get(), report, expand);
}

}  // namespace

ImagePtr loadImageFileWithin(const CountedString& path, const LoadBound& bound, bool& refused,
                             DecodeReport* report, bool expand) noexcept {
  refused = false;
  if (report != nullptr) *report = DecodeReport{};
  std::int64_t size = 0;
  int openError = 0;
  std::unique_ptr<std::FILE, FileCloser> file(openUnbuffered(path, size, &openError));
  if (!file) {
    refuseUnopened(report, openError);
    return nullptr;
  }
  FileHead head;
  if (size >= 0) readHead(file.get(), size, expand, head);
  if (bound.refuses != nullptr && bound.refuses(head.estimate, bound.context)) {
    refused = true;
    return nullptr;
  }
  return loadOpenFile(file.get(), size, head, report, expand);
}

ImagePtr loadImageFile(const CountedString& path, DecodeReport* report, bool expand) noexcept {
  bool refused = false;
  return loadImageFileWithin(path, LoadBound{}, refused, report, expand);
}

std::uint64_t estimateLoadBytes(const CountedString& path, bool expand) noexcept {
  std::int64_t size = 0;
  std::unique_ptr<std::FILE, FileCloser> file(openUnbuffered(path, size, nullptr));
  if (!file || size < 0) return 0;
  FileHead head;
  readHead(file.get(), size, expand, head);
  return head.estimate;
}
