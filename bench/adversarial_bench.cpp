// adversarial_bench: the converter's readers on hostile inputs of about 10 MB, each built in
// memory here, against the goal that no such input costs more than 2 seconds of CPU.
//
// Usage: adversarial_bench [--only SUBSTRING]
//
// Each input goes through decodeImage and, when it decodes, the padded BMP writer into
// /dev/null, exactly as the converter does. The time is the process CPU time
// (CLOCK_PROCESS_CPUTIME_ID, user and system, page faults of fresh picture blocks included), best
// of 3 runs; a run above 10 s is not repeated. One line per input: name, input bytes, verdict, CPU
// seconds (best, and the first run alone, which pays for fresh pages), the peak of resident memory
// over its runs (the process's high-water mark, reset before each input through
// /proc/self/clear_refs; "-" where the system does not offer that), and "ok" or "OVER 2 s". The
// exit status is always 0: the goal is read off the table.
//
// The inputs are made by hand: zlib streams bit by bit (fixed, dynamic and stored blocks), PNG
// chunks with their CRC-32, TGA and BMP headers field by field; JPEG files come from libjpeg's
// compressor, some with their frame header patched afterwards. Pixel bytes are noise from a
// fixed-seed xorshift generator, so every run sees the same files.

#include <cstddef>
#include <cstdio>
// jpeglib.h after the two above: it uses size_t and FILE without including their headers.
#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "app/bmp_writer.h"
#include "app/padding.h"
#include "base/byte_io.h"
#include "base/image.h"
#include "image/loader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kTargetBytes = 10'000'000;  // "about 10 MB"
constexpr double kGoalSeconds = 2.0;
constexpr double kNoRepeatSeconds = 10.0;
constexpr int kRuns = 3;
constexpr std::uint32_t kMaxSide = 16384;
constexpr std::size_t kIdatPieceBytes = 1 << 20;  // IDAT data per chunk where not said otherwise
constexpr std::size_t kMaxStoredBytes = 65535;    // LEN of one stored block

// --- bytes --------------------------------------------------------------------------------

class Noise {
 public:
  explicit Noise(std::uint64_t seed) : state_(seed) {}
  std::uint8_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<std::uint8_t>(state_ >> 24);
  }
  void fill(std::uint8_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out[i] = next();
  }

 private:
  std::uint64_t state_;
};

void putBe32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void putLe16(Bytes& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putLe32(Bytes& out, std::uint32_t value) {
  putLe16(out, value & 0xFFFF);
  putLe16(out, value >> 16);
}

// CRC-32 of PNG chunks (reflected polynomial 0xEDB88320), table made on first use.
std::uint32_t crc32Update(std::uint32_t crc, const std::uint8_t* data, std::size_t count) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> entries{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entries[n] = c;
    }
    return entries;
  }();
  for (std::size_t i = 0; i < count; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

// Adler-32 of the zlib trailer.
class Adler32 {
 public:
  void update(const std::uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      a_ = (a_ + data[i]) % kModulus;
      b_ = (b_ + a_) % kModulus;
    }
  }
  // count zero bytes: a stays, b grows by a each byte.
  void updateZeros(std::uint64_t count) {
    b_ = static_cast<std::uint32_t>((b_ + (count % kModulus) * a_) % kModulus);
  }
  [[nodiscard]] std::uint32_t value() const { return b_ << 16 | a_; }

 private:
  static constexpr std::uint32_t kModulus = 65521;
  std::uint32_t a_ = 1;
  std::uint32_t b_ = 0;
};

// --- deflate bits -------------------------------------------------------------------------

// Writes DEFLATE bits: fields least significant bit first, Huffman codes most significant bit
// first, as the format packs them.
class BitWriter {
 public:
  explicit BitWriter(Bytes& out) : out_(out) {}
  ~BitWriter() { alignToByte(); }
  BitWriter(const BitWriter&) = delete;
  BitWriter& operator=(const BitWriter&) = delete;

  void bits(std::uint32_t value, unsigned count) {
    buffer_ |= std::uint64_t{value} << filled_;
    filled_ += count;
    while (filled_ >= 8) {
      out_.push_back(static_cast<std::uint8_t>(buffer_));
      buffer_ >>= 8;
      filled_ -= 8;
    }
  }
  void code(std::uint32_t value, unsigned length) {
    std::uint32_t reversed = 0;
    for (unsigned i = 0; i < length; ++i) reversed |= ((value >> i) & 1u) << (length - 1 - i);
    bits(reversed, length);
  }
  void alignToByte() {
    if (filled_ > 0) bits(0, 8 - filled_);
  }
  Bytes& out() {
    alignToByte();
    return out_;
  }

 private:
  Bytes& out_;
  std::uint64_t buffer_ = 0;
  unsigned filled_ = 0;
};

// The fixed Huffman code of a literal/length symbol.
void fixedSymbol(BitWriter& bits, unsigned symbol) {
  if (symbol < 144) {
    bits.code(0x30 + symbol, 8);
  } else if (symbol < 256) {
    bits.code(0x190 + symbol - 144, 9);
  } else if (symbol < 280) {
    bits.code(symbol - 256, 7);
  } else {
    bits.code(0xC0 + symbol - 280, 8);
  }
}

void zlibHeader(Bytes& out) {
  out.push_back(0x78);  // CMF: deflate, 32 KiB window
  out.push_back(0x01);  // FLG: no dictionary, check bits make 0x7801 a multiple of 31
}

// Stored blocks holding data, at most maxPerBlock bytes each; the last one is final when asked.
void storedBlocks(BitWriter& bits, const std::uint8_t* data, std::size_t count, bool final,
                  std::size_t maxPerBlock = kMaxStoredBytes) {
  std::size_t done = 0;
  while (done < count) {
    const std::size_t length = std::min(maxPerBlock, count - done);
    const bool last = final && done + length == count;
    bits.bits(last ? 1 : 0, 1);  // BFINAL
    bits.bits(0, 2);             // BTYPE 00: stored
    bits.alignToByte();
    bits.bits(static_cast<std::uint32_t>(length), 16);            // LEN
    bits.bits(static_cast<std::uint32_t>(~length & 0xFFFF), 16);  // NLEN
    Bytes& out = bits.out();
    out.insert(out.end(), data + done, data + done + length);
    done += length;
  }
}

void zlibTrailer(BitWriter& bits, std::uint32_t adler) {
  Bytes& out = bits.out();
  putBe32(out, adler);
}

std::uint32_t adlerOf(const Bytes& data) {
  Adler32 adler;
  adler.update(data.data(), data.size());
  return adler.value();
}

// A complete zlib stream of stored blocks.
Bytes zlibStored(const Bytes& raw) {
  Bytes out;
  zlibHeader(out);
  {
    BitWriter bits(out);
    storedBlocks(bits, raw.data(), raw.size(), true);
    zlibTrailer(bits, adlerOf(raw));
  }
  return out;
}

// Dynamic block whose codes are as small as complete codes get, with all 19 code length code
// lengths sent: literal/length symbols 255 and 256 (end of block) of 1 bit, two distance codes of
// 1 bit. Code length code: 18 and 1, one bit each. The block holds only its end-of-block.
void tinyDynamicBlock(BitWriter& bits) {
  bits.bits(0, 1);   // BFINAL
  bits.bits(2, 2);   // BTYPE 10: dynamic
  bits.bits(0, 5);   // HLIT: 257 codes
  bits.bits(1, 5);   // HDIST: 2 codes
  bits.bits(15, 4);  // HCLEN: 19 code length code lengths
  // Order 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1 15: 18 -> 1 bit, 1 -> 1 bit, rest 0.
  constexpr std::array<unsigned, 19> kOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};
  for (unsigned symbol : kOrder) bits.bits(symbol == 18 || symbol == 1 ? 1 : 0, 3);
  // Canonical code: 1 -> "0", 18 -> "1".
  bits.code(1, 1);
  bits.bits(138 - 11, 7);  // 18: 138 zeros (symbols 0..137)
  bits.code(1, 1);
  bits.bits(117 - 11, 7);  // 18: 117 zeros (138..254)
  bits.code(0, 1);         // symbol 255: length 1
  bits.code(0, 1);         // symbol 256: length 1
  bits.code(0, 1);         // distance 0: length 1
  bits.code(0, 1);         // distance 1: length 1
  bits.code(1, 1);         // end of block: 256 has code "1"
}

// Dynamic block sending every code: 286 literal/length codes (0..225 of 8 bits, 226..285 of 9)
// and 30 distance codes (0..1 of 4 bits, 2..29 of 5), both complete; 19 code length code
// lengths. Code length code: 16 -> 1 bit, 4 5 8 9 -> 3 bits. The block holds only its end.
void fullDynamicBlock(BitWriter& bits) {
  bits.bits(0, 1);   // BFINAL
  bits.bits(2, 2);   // BTYPE 10: dynamic
  bits.bits(29, 5);  // HLIT: 286 codes
  bits.bits(29, 5);  // HDIST: 30 codes
  bits.bits(15, 4);  // HCLEN: 19
  constexpr std::array<unsigned, 19> kOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};
  for (unsigned symbol : kOrder) {
    unsigned length = 0;
    if (symbol == 16) length = 1;
    if (symbol == 4 || symbol == 5 || symbol == 8 || symbol == 9) length = 3;
    bits.bits(length, 3);
  }
  // Canonical code: 16 -> "0"; 4 -> "100", 5 -> "101", 8 -> "110", 9 -> "111".
  auto repeats = [&bits](unsigned count) {  // code 16 runs of 3..6 covering count repeats
    while (count > 0) {
      unsigned run = std::min(count, 6u);
      if (count - run > 0 && count - run < 3) run = count - 3;
      bits.code(0, 1);
      bits.bits(run - 3, 2);
      count -= run;
    }
  };
  bits.code(6, 3);  // symbol 0: 8
  repeats(225);     // 1..225: 8
  bits.code(7, 3);  // 226: 9
  repeats(59);      // 227..285: 9
  bits.code(4, 3);  // distance 0: 4
  bits.code(4, 3);  // distance 1: 4
  bits.code(5, 3);  // distance 2: 5
  repeats(27);      // 3..29: 5
  // End of block: symbol 256, the 31st of the 9-bit codes (226..285 get 0x1C4 + n).
  bits.code(0x1C4 + (256 - 226), 9);
}

// --- PNG ----------------------------------------------------------------------------------

constexpr std::array<std::uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

void pngChunk(Bytes& out, const char* type, const std::uint8_t* data, std::size_t count) {
  putBe32(out, static_cast<std::uint32_t>(count));
  const std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  if (count != 0) out.insert(out.end(), data, data + count);
  const std::uint32_t crc = crc32Update(0xFFFFFFFFu, out.data() + start, count + 4) ^ 0xFFFFFFFFu;
  putBe32(out, crc);
}

// Signature and IHDR of an 8-bit picture of colour type 2 (RGB) or 6 (RGBA).
Bytes pngStart(std::uint32_t width, std::uint32_t height, std::uint8_t colourType) {
  Bytes out(kPngSignature.begin(), kPngSignature.end());
  Bytes header;
  putBe32(header, width);
  putBe32(header, height);
  header.push_back(8);           // bit depth
  header.push_back(colourType);  // colour type
  header.push_back(0);           // compression
  header.push_back(0);           // filter method
  header.push_back(0);           // interlace: none
  pngChunk(out, "IHDR", header.data(), header.size());
  return out;
}

void pngEnd(Bytes& out) { pngChunk(out, "IEND", nullptr, 0); }

// A whole PNG file: the zlib stream cut into IDAT chunks of pieceBytes.
Bytes pngFile(std::uint32_t width, std::uint32_t height, std::uint8_t colourType,
              const Bytes& stream, std::size_t pieceBytes = kIdatPieceBytes) {
  Bytes out = pngStart(width, height, colourType);
  for (std::size_t done = 0; done < stream.size(); done += pieceBytes) {
    pngChunk(out, "IDAT", stream.data() + done, std::min(pieceBytes, stream.size() - done));
  }
  pngEnd(out);
  return out;
}

// Scanlines of noise, each with filter type 0.
Bytes rawScanlines(std::uint32_t width, std::uint32_t height, unsigned channels,
                   std::uint64_t seed) {
  Noise noise(seed);
  const std::size_t rowBytes = std::size_t{width} * channels + 1;
  Bytes raw(rowBytes * height);
  for (std::size_t row = 0; row < height; ++row) {
    raw[row * rowBytes] = 0;  // filter type: none
    noise.fill(&raw[row * rowBytes + 1], rowBytes - 1);
  }
  return raw;
}

// 16x16 RGB picture preceded by blocks that produce nothing, then the picture in one final
// stored block.
Bytes pngEmptyFixedBlocks() {
  const Bytes raw = rawScanlines(16, 16, 3, 1);
  Bytes stream;
  zlibHeader(stream);
  {
    BitWriter bits(stream);
    const std::size_t blocks = (kTargetBytes - 1000) * 8 / 10;
    for (std::size_t i = 0; i < blocks; ++i) {
      bits.bits(0, 1);  // BFINAL
      bits.bits(1, 2);  // BTYPE 01: fixed Huffman
      fixedSymbol(bits, 256);
    }
    storedBlocks(bits, raw.data(), raw.size(), true);
    zlibTrailer(bits, adlerOf(raw));
  }
  return pngFile(16, 16, 2, stream);
}

// A picture all of whose bytes come in stored blocks of 1 byte (6 bytes of stream each).
Bytes pngOneByteStoredBlocks() {
  constexpr std::uint32_t kWidth = 1000;
  const std::uint32_t height = static_cast<std::uint32_t>(kTargetBytes / 6 / (kWidth * 3 + 1));
  const Bytes raw = rawScanlines(kWidth, height, 3, 2);
  Bytes stream;
  zlibHeader(stream);
  {
    BitWriter bits(stream);
    storedBlocks(bits, raw.data(), raw.size(), true, 1);
    zlibTrailer(bits, adlerOf(raw));
  }
  return pngFile(kWidth, height, 2, stream);
}

// 16x16 picture after a run of dynamic blocks that produce nothing.
template <class WriteBlock>
Bytes pngDynamicBlocks(WriteBlock writeBlock, std::size_t blockBits) {
  const Bytes raw = rawScanlines(16, 16, 3, 3);
  Bytes stream;
  zlibHeader(stream);
  {
    BitWriter bits(stream);
    const std::size_t blocks = (kTargetBytes - 1000) * 8 / blockBits;
    for (std::size_t i = 0; i < blocks; ++i) writeBlock(bits);
    storedBlocks(bits, raw.data(), raw.size(), true);
    zlibTrailer(bits, adlerOf(raw));
  }
  return pngFile(16, 16, 2, stream);
}

// A 512-wide picture whose zlib stream (stored blocks) is cut into 1-byte IDAT chunks of 13 bytes.
Bytes pngOneByteIdats() {
  constexpr std::uint32_t kWidth = 512;
  const std::uint32_t height = static_cast<std::uint32_t>(kTargetBytes / 13 / (kWidth * 3 + 1));
  const Bytes stream = zlibStored(rawScanlines(kWidth, height, 3, 4));
  return pngFile(kWidth, height, 2, stream, 1);
}

// A 16x16 picture whose stream is in 1-byte IDATs, each followed by empty IDAT chunks.
Bytes pngEmptyIdats() {
  const Bytes stream = zlibStored(rawScanlines(16, 16, 3, 5));
  Bytes out = pngStart(16, 16, 2);
  const std::size_t emptyPerByte = (kTargetBytes / 12) / stream.size();
  for (std::uint8_t byte : stream) {
    for (std::size_t i = 0; i < emptyPerByte; ++i) pngChunk(out, "IDAT", nullptr, 0);
    pngChunk(out, "IDAT", &byte, 1);
  }
  pngEnd(out);
  return out;
}

Bytes pngNoise(std::uint32_t width, std::uint32_t height, std::uint8_t colourType) {
  const unsigned channels = colourType == 6 ? 4 : 3;
  return pngFile(width, height, colourType,
                 zlibStored(rawScanlines(width, height, channels, width ^ height)));
}

// Header of 16384x16384 RGB, then 10 MB of stored noise: the stream ends long before the picture.
Bytes pngHugeHeaderShortData() {
  Noise noise(6);
  Bytes data(kTargetBytes);
  noise.fill(data.data(), data.size());
  for (std::size_t row = 0; row < data.size(); row += std::size_t{kMaxSide} * 3 + 1) data[row] = 0;
  Bytes stream;
  zlibHeader(stream);
  {
    BitWriter bits(stream);
    storedBlocks(bits, data.data(), data.size(), false);
  }
  return pngFile(kMaxSide, kMaxSide, 2, stream);
}

// side x side RGB of zero bytes, as a fixed-Huffman stream of 258-byte matches at distance 1
// (13 bits each): a few MB that inflate to the whole picture.
Bytes pngZeroBomb(std::uint32_t side) {
  const std::uint64_t rawBytes = std::uint64_t{side} * (std::uint64_t{side} * 3 + 1);
  Bytes stream;
  zlibHeader(stream);
  {
    BitWriter bits(stream);
    bits.bits(1, 1);  // BFINAL
    bits.bits(1, 2);  // BTYPE 01
    fixedSymbol(bits, 0);
    std::uint64_t left = rawBytes - 1;
    for (; left >= 258; left -= 258) {
      fixedSymbol(bits, 285);  // length 258
      bits.code(0, 5);         // distance code 0: distance 1
    }
    for (; left > 0; --left) fixedSymbol(bits, 0);
    fixedSymbol(bits, 256);
    Adler32 adler;
    adler.updateZeros(rawBytes);
    zlibTrailer(bits, adler.value());
  }
  return pngFile(side, side, 2, stream);
}

// --- TGA and BMP --------------------------------------------------------------------------

Bytes tgaHeader(std::uint32_t width, std::uint32_t height, std::uint8_t imageType) {
  Bytes out;
  out.push_back(0);                              // ID length
  out.push_back(0);                              // colour map type: none
  out.push_back(imageType);                      // 2 raw, 10 run-length
  for (int i = 0; i < 5; ++i) out.push_back(0);  // colour map: first entry, length, entry size
  putLe16(out, 0);                               // x origin
  putLe16(out, 0);                               // y origin
  putLe16(out, width);                           // width
  putLe16(out, height);                          // height
  out.push_back(24);                             // bits per pixel
  out.push_back(0);                              // descriptor: bottom row first, no alpha bits
  return out;
}

// Run-length file where every packet is a raw packet of 1 pixel (4 bytes per pixel).
Bytes tgaOnePixelPackets() {
  constexpr std::uint32_t kWidth = 1024;
  const std::uint32_t height = static_cast<std::uint32_t>(kTargetBytes / 4 / kWidth);
  Bytes out = tgaHeader(kWidth, height, 10);
  Noise noise(7);
  for (std::size_t pixel = 0; pixel < std::size_t{kWidth} * height; ++pixel) {
    out.push_back(0x00);  // packet header: raw, 1 pixel
    for (int i = 0; i < 3; ++i) out.push_back(noise.next());
  }
  return out;
}

// 16384x16384 run-length file at 32 bits of `packets` 128-pixel run packets.
Bytes tgaShortRuns(std::size_t packets) {
  Bytes out = tgaHeader(kMaxSide, kMaxSide, 10);
  out[16] = 32;  // bits per pixel
  Noise noise(13);
  for (std::size_t i = 0; i < packets; ++i) {
    out.push_back(0xFF);  // packet header: run of 128
    for (int k = 0; k < 4; ++k) out.push_back(noise.next());
  }
  return out;
}

// 16384x16384 run-length file of 128-pixel run packets, 10 MB of them (more than the picture).
Bytes tgaHugeRuns() {
  Bytes out = tgaHeader(kMaxSide, kMaxSide, 10);
  Noise noise(8);
  while (out.size() + 4 <= kTargetBytes) {
    out.push_back(0xFF);  // packet header: run of 128
    for (int i = 0; i < 3; ++i) out.push_back(noise.next());
  }
  return out;
}

Bytes bmp24(std::uint32_t width, std::uint32_t height, std::size_t pixelBytesPresent) {
  const std::uint32_t stride = (width * 3 + 3) & ~3u;
  const std::uint64_t imageBytes = std::uint64_t{stride} * height;
  Bytes out;
  out.push_back('B');
  out.push_back('M');
  putLe32(out, static_cast<std::uint32_t>(54 + pixelBytesPresent));  // file size
  putLe32(out, 0);                                                   // reserved
  putLe32(out, 54);                                                  // pixel data offset
  putLe32(out, 40);                                                  // info header size
  putLe32(out, width);                                               // width
  putLe32(out, height);                                  // height: positive, bottom row first
  putLe16(out, 1);                                       // planes
  putLe16(out, 24);                                      // bits per pixel
  putLe32(out, 0);                                       // compression: BI_RGB
  putLe32(out, static_cast<std::uint32_t>(imageBytes));  // image size
  putLe32(out, 2835);                                    // x pixels per metre
  putLe32(out, 2835);                                    // y pixels per metre
  putLe32(out, 0);                                       // colours used
  putLe32(out, 0);                                       // important colours
  const std::size_t start = out.size();
  out.resize(start + pixelBytesPresent);
  Noise noise(9);
  noise.fill(out.data() + start, pixelBytesPresent);
  return out;
}

// --- JPEG ---------------------------------------------------------------------------------

struct JpegErrors {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

[[noreturn]] void jpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jump, 1);
}

struct JpegJob {
  jpeg_compress_struct cinfo;
  JpegErrors errors;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const std::uint8_t* pixels = nullptr;  // R,G,B rows, top first
  std::vector<jpeg_scan_info>* scans = nullptr;
  int quality = 90;
};

// The compressor's run, alone with its jump target; the job lives in the caller.
bool runCompressor(JpegJob& job, std::uint32_t width, std::uint32_t height) {
  if (setjmp(job.errors.jump) != 0) return false;
  jpeg_compress_struct* cinfo = &job.cinfo;
  jpeg_mem_dest(cinfo, &job.buffer, &job.size);
  cinfo->image_width = width;
  cinfo->image_height = height;
  cinfo->input_components = 3;
  cinfo->in_color_space = JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, job.quality, TRUE);
  if (job.scans != nullptr) {
    for (int c = 0; c < 3; ++c) {  // 4:4:4
      cinfo->comp_info[c].h_samp_factor = 1;
      cinfo->comp_info[c].v_samp_factor = 1;
    }
    cinfo->scan_info = job.scans->data();
    cinfo->num_scans = static_cast<int>(job.scans->size());
  }
  jpeg_start_compress(cinfo, TRUE);
  const std::size_t rowBytes = std::size_t{width} * 3;
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(job.pixels + cinfo->next_scanline * rowBytes);
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  return true;
}

Bytes compressJpeg(const Bytes& pixels, std::uint32_t width, std::uint32_t height, int quality,
                   std::vector<jpeg_scan_info>* scans) {
  JpegJob job{};
  job.pixels = pixels.data();
  job.scans = scans;
  job.quality = quality;
  job.cinfo.err = jpeg_std_error(&job.errors.pub);
  job.errors.pub.error_exit = jpegErrorExit;
  jpeg_create_compress(&job.cinfo);
  Bytes out;
  if (runCompressor(job, width, height)) out.assign(job.buffer, job.buffer + job.size);
  jpeg_destroy_compress(&job.cinfo);
  std::free(job.buffer);
  return out;
}

// The longest scan script the compressor accepts for 3 components: every coefficient of every
// component in its own band, first scan at the largest point transform (Al 10 for 8-bit
// samples), then one refinement scan per bit: 3 * 64 * 11 = 2112 scans.
std::vector<jpeg_scan_info> longestScanScript() {
  constexpr int kMaxAl = 10;
  std::vector<jpeg_scan_info> scans;
  auto scan = [&scans](int component, int ss, int se, int ah, int al) {
    jpeg_scan_info info{};
    info.comps_in_scan = 1;
    info.component_index[0] = component;
    info.Ss = ss;
    info.Se = se;
    info.Ah = ah;
    info.Al = al;
    scans.push_back(info);
  };
  for (int c = 0; c < 3; ++c) scan(c, 0, 0, 0, kMaxAl);
  for (int c = 0; c < 3; ++c) {
    for (int k = 1; k < 64; ++k) scan(c, k, k, 0, kMaxAl);
  }
  for (int al = kMaxAl - 1; al >= 0; --al) {
    for (int c = 0; c < 3; ++c) {
      scan(c, 0, 0, al + 1, al);
      for (int k = 1; k < 64; ++k) scan(c, k, k, al + 1, al);
    }
  }
  return scans;
}

Bytes noisePixels(std::uint32_t width, std::uint32_t height, std::uint64_t seed) {
  Bytes pixels(std::size_t{width} * height * 3);
  Noise noise(seed);
  noise.fill(pixels.data(), pixels.size());
  return pixels;
}

// Offset of the first marker FF code, or 0.
std::size_t findMarker(const Bytes& file, std::uint8_t code) {
  for (std::size_t i = 2; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == code) return i;
  }
  return 0;
}

// Writes the frame size into the SOF segment at offset sof.
void patchFrameSize(Bytes& file, std::size_t sof, std::uint32_t width, std::uint32_t height) {
  file[sof + 5] = static_cast<std::uint8_t>(height >> 8);  // number of lines
  file[sof + 6] = static_cast<std::uint8_t>(height);
  file[sof + 7] = static_cast<std::uint8_t>(width >> 8);  // samples per line
  file[sof + 8] = static_cast<std::uint8_t>(width);
}

Bytes jpegProgressiveLongest(std::uint32_t side) {
  std::vector<jpeg_scan_info> scans = longestScanScript();
  return compressJpeg(noisePixels(side, side, 10), side, side, 100, &scans);
}

// A 16x16 file with the longest scan script whose frame header claims side x side.
Bytes jpegProgressiveLongestClaimingHuge(std::uint32_t side) {
  std::vector<jpeg_scan_info> scans = longestScanScript();
  Bytes file = compressJpeg(noisePixels(16, 16, 11), 16, 16, 100, &scans);
  const std::size_t sof = findMarker(file, 0xC2);
  if (sof == 0) return {};
  patchFrameSize(file, sof, side, side);
  return file;
}

// The file above with its last scan (a refinement of one coefficient's lowest bit) sent again
// `repeats` more times: the compressor will not write this, the library's decoder takes it with
// a warning.
Bytes jpegProgressiveRepeatedScans(std::uint32_t side, std::size_t repeats) {
  Bytes file = jpegProgressiveLongestClaimingHuge(side);
  if (file.size() < 4) return {};
  std::size_t lastSos = 0;
  for (std::size_t i = 2; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xDA) lastSos = i;
  }
  if (lastSos == 0) return {};
  const Bytes scan(file.begin() + static_cast<std::ptrdiff_t>(lastSos),
                   file.end() - 2);  // up to EOI
  file.resize(file.size() - 2);
  for (std::size_t i = 0; i < repeats; ++i) file.insert(file.end(), scan.begin(), scan.end());
  file.push_back(0xFF);
  file.push_back(0xD9);  // EOI
  return file;
}

// A 16x16 baseline file whose frame header claims 16384x16384, cut a few bytes into its scan.
Bytes jpegBaselineClaimingHugeCut() {
  Bytes file = compressJpeg(noisePixels(16, 16, 12), 16, 16, 90, nullptr);
  const std::size_t sof = findMarker(file, 0xC0);
  const std::size_t sos = findMarker(file, 0xDA);
  if (sof == 0 || sos == 0) return {};
  patchFrameSize(file, sof, kMaxSide, kMaxSide);
  const std::size_t scanData = sos + 2 + (std::size_t{file[sos + 2]} << 8 | file[sos + 3]);
  file.resize(std::min(file.size(), scanData + 8));
  return file;
}

// --- timing -------------------------------------------------------------------------------

// Starts a new high-water mark of resident memory; false when the system does not offer it.
bool resetPeakResident() {
  std::FILE* file = std::fopen("/proc/self/clear_refs", "w");
  if (file == nullptr) return false;
  const bool written = std::fputs("5", file) >= 0;  // 5: reset the peak resident set size
  return std::fclose(file) == 0 && written;
}

// The high-water mark of resident memory in MiB, or -1 when it cannot be read.
double peakResidentMiB() {
  std::FILE* file = std::fopen("/proc/self/status", "r");
  if (file == nullptr) return -1;
  char line[256];
  double mib = -1;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) mib = std::strtod(line + 6, nullptr) / 1024;
  }
  std::fclose(file);
  return mib;
}

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Outcome {
  std::string verdict;
  double seconds = 0;
  double firstSeconds = 0;
  double peakMiB = -1;
  int runs = 0;
};

Outcome measure(const Bytes& input) {
  Outcome outcome;
  outcome.seconds = 1e30;
  const bool peakReset = resetPeakResident();
  for (int run = 0; run < kRuns; ++run) {
    const double start = cpuSeconds();
    ImagePtr image = decodeImage(ByteSpan(input.data(), input.size()));
    std::string verdict = "refused";
    if (image) {
      verdict = "decoded " + std::to_string(image->width) + "x" + std::to_string(image->height);
      BmpRowStage stage;
      std::FILE* sink = std::fopen("/dev/null", "wb");
      const bool written = sink != nullptr && writePaddedBmpStream(sink, *image, stage);
      if (sink != nullptr) std::fclose(sink);
      verdict += written ? ", padded " + std::to_string(paddedSide(image->width)) + "x" +
                               std::to_string(paddedSide(image->height))
                         : ", writing failed";
    }
    const double seconds = cpuSeconds() - start;
    outcome.verdict = verdict;
    if (run == 0) outcome.firstSeconds = seconds;
    outcome.seconds = std::min(outcome.seconds, seconds);
    outcome.runs = run + 1;
    if (seconds > kNoRepeatSeconds) break;
  }
  if (peakReset) outcome.peakMiB = peakResidentMiB();
  return outcome;
}

struct Case {
  const char* name;
  Bytes (*build)();
};

const Case kCases[] = {
    {"png 16x16 after 8M empty fixed blocks", pngEmptyFixedBlocks},
    {"png 1000x555 in 1-byte stored blocks", pngOneByteStoredBlocks},
    {"png 16x16 after 840k tiny dynamic blocks",
     [] { return pngDynamicBlocks(tinyDynamicBlock, 95); }},
    {"png 16x16 after 310k full dynamic blocks",
     [] { return pngDynamicBlocks(fullDynamicBlock, 257); }},
    {"png 512x500 in 1-byte IDATs", pngOneByteIdats},
    {"png 16x16 in 1-byte IDATs + 830k empty IDATs", pngEmptyIdats},
    {"png 16384x1 RGB noise", [] { return pngNoise(kMaxSide, 1, 2); }},
    {"png 1x16384 RGBA noise", [] { return pngNoise(1, kMaxSide, 6); }},
    {"png 16384x203 RGB noise", [] { return pngNoise(kMaxSide, 203, 2); }},
    {"png 152x16384 RGBA noise", [] { return pngNoise(152, kMaxSide, 6); }},
    {"png claims 16384x16384, 10 MB stored data", pngHugeHeaderShortData},
    {"png 16384x16384 zeros, fixed-Huffman matches", [] { return pngZeroBomb(kMaxSide); }},
    {"png 8193x8193 zeros (pads to 16384x16384)", [] { return pngZeroBomb(8193); }},
    {"tga rle 1024x2441, 1-pixel raw packets", tgaOnePixelPackets},
    {"tga rle claims 16384x16384, 128-pixel runs", tgaHugeRuns},
    {"tga rle 32-bit claims 16384x16384, 140 runs", [] { return tgaShortRuns(140); }},
    {"bmp 24-bit 2000x1666", [] { return bmp24(2000, 1666, std::size_t{6000} * 1666); }},
    {"bmp 24-bit claims 16384x16384, 10 MB data",
     [] { return bmp24(kMaxSide, kMaxSide, kTargetBytes); }},
    {"jpeg progressive 1600x1600, 2112 scans", [] { return jpegProgressiveLongest(1600); }},
    {"jpeg progressive 2112 scans, claims 2048x2048",
     [] { return jpegProgressiveLongestClaimingHuge(2048); }},
    {"jpeg progressive 2112 scans, claims 4096x4096",
     [] { return jpegProgressiveLongestClaimingHuge(4096); }},
    {"jpeg progressive 2112 scans, claims 16384x16384",
     [] { return jpegProgressiveLongestClaimingHuge(kMaxSide); }},
    {"jpeg prog. claims 2048x2048, +20000 scans",
     [] { return jpegProgressiveRepeatedScans(2048, 20000); }},
    {"jpeg baseline claims 16384x16384, cut short", jpegBaselineClaimingHugeCut},
};

}  // namespace

int main(int argc, char** argv) {
  const char* only = nullptr;
  if (argc == 3 && std::strcmp(argv[1], "--only") == 0) only = argv[2];

  std::printf("adversarial_bench: CPU seconds of decodeImage + the padded write, best of %d runs\n",
              kRuns);
  std::printf("%-48s %10s  %-42s %8s %8s %9s  %s\n", "input", "bytes", "verdict", "CPU s",
              "1st run", "peak MiB", "goal 2 s");
  for (const Case& entry : kCases) {
    if (only != nullptr && std::strstr(entry.name, only) == nullptr) continue;
    const Bytes input = entry.build();
    if (input.empty()) {
      std::printf("%-48s %10s  %-42s\n", entry.name, "-", "could not be built");
      std::fflush(stdout);
      continue;
    }
    const Outcome outcome = measure(input);
    char peak[32] = "-";
    if (outcome.peakMiB >= 0) std::snprintf(peak, sizeof peak, "%.0f", outcome.peakMiB);
    std::printf("%-48s %10zu  %-42s %8.3f %8.3f %9s  %s%s\n", entry.name, input.size(),
                outcome.verdict.c_str(), outcome.seconds, outcome.firstSeconds, peak,
                outcome.seconds > kGoalSeconds ? "OVER 2 s" : "ok",
                outcome.runs < kRuns ? " (1 run)" : "");
    std::fflush(stdout);
  }
  return 0;
}
