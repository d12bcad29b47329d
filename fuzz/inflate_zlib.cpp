// Fuzz target comparing the zlib decoder with zlib itself (test-only). Whenever zlib decodes
// the input as a complete zlib stream within the output cap, ours must give the same bytes, end
// the stream at the same place with the same checksum, except where our decoder refuses on
// purpose what zlib takes:
//  - a stored block with LEN 0;
//  - a dynamic header whose code lengths, read as the one sequence zlib reads, have a repeat
//    code that runs from the literal/length lengths into the distance lengths, or a code 16 as
//    the first distance length.
// Those are found by stopping zlib at every block boundary (Z_BLOCK) and reading the next block
// header from the input at the bit where zlib stands. Where zlib fails, nothing is compared:
// ours is deliberately more lenient (incomplete codes, HLIT up to 288), and the png and inflate
// targets cover its robustness.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "png/decode_state.h"
#include "png/inflate.h"

namespace {

constexpr std::size_t kOutputCap = 1u << 18;

// Reads DEFLATE bits (least significant first) from a byte range; reads past the end give 0
// and set overrun.
class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::size_t size, std::size_t bitPosition)
      : data_(data), size_(size), position_(bitPosition) {}
  std::uint32_t bits(unsigned count) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i, ++position_) {
      const std::size_t byte = position_ / 8;
      if (byte >= size_) {
        overrun = true;
        continue;
      }
      value |= static_cast<std::uint32_t>((data_[byte] >> (position_ % 8)) & 1u) << i;
    }
    return value;
  }
  void align() { position_ = (position_ + 7) / 8 * 8; }
  bool overrun = false;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_;
};

// Decodes one symbol of a canonical code given by per-symbol lengths (up to 7 bits); -1 when no
// code matches.
int decodeCodeLengthSymbol(BitReader& reader, const std::uint8_t (&lengths)[19]) {
  int code = 0;
  int first = 0;
  for (unsigned length = 1; length <= 7; ++length) {
    code |= static_cast<int>(reader.bits(1));
    int count = 0;
    for (std::uint8_t l : lengths) count += l == length ? 1 : 0;
    if (code - count < first) {
      int wanted = code - first;  // position among the symbols of this length
      for (int symbol = 0; symbol < 19; ++symbol) {
        if (lengths[symbol] != length) continue;
        if (wanted-- == 0) return symbol;
      }
    }
    first += count;
    first <<= 1;
    code <<= 1;
  }
  return -1;
}

// True when the block header at bitPosition is one our decoder refuses on purpose.
bool isDeliberateRefusal(const std::uint8_t* data, std::size_t size, std::size_t bitPosition) {
  BitReader reader(data, size, bitPosition);
  reader.bits(1);  // BFINAL
  const std::uint32_t btype = reader.bits(2);
  if (btype == 0) {
    reader.align();
    const std::uint32_t len = reader.bits(16);
    return !reader.overrun && len == 0;
  }
  if (btype != 2) return false;
  const std::uint32_t literalCount = reader.bits(5) + 257;
  const std::uint32_t distanceCount = reader.bits(5) + 1;
  const std::uint32_t hclen = reader.bits(4) + 4;
  static constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                              11, 4,  12, 3, 13, 2, 14, 1, 15};
  std::uint8_t codeLengthLengths[19] = {};
  for (std::uint32_t i = 0; i < hclen; ++i) {
    codeLengthLengths[kOrder[i]] = static_cast<std::uint8_t>(reader.bits(3));
  }
  const std::uint32_t total = literalCount + distanceCount;
  std::uint32_t position = 0;
  while (position < total && !reader.overrun) {
    const int symbol = decodeCodeLengthSymbol(reader, codeLengthLengths);
    if (symbol < 0) return false;
    std::uint32_t repeat = 1;
    if (symbol == 16) {
      if (position == literalCount) return true;  // code 16 begins the distance lengths
      repeat = 3 + reader.bits(2);
    } else if (symbol == 17) {
      repeat = 3 + reader.bits(3);
    } else if (symbol == 18) {
      repeat = 11 + reader.bits(7);
    }
    if (position < literalCount && position + repeat > literalCount) return true;  // crossing
    position += repeat;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> expected(kOutputCap);
  z_stream zlib{};
  if (inflateInit(&zlib) != Z_OK) return 0;
  zlib.next_in = const_cast<Bytef*>(data);
  zlib.avail_in = static_cast<uInt>(size);
  zlib.next_out = expected.data();
  zlib.avail_out = static_cast<uInt>(expected.size());
  bool refused = false;
  int status = Z_OK;
  while (status == Z_OK) {
    status = ::inflate(&zlib, Z_BLOCK);
    if (status != Z_OK) break;
    // At a block boundary (bit 7 of data_type) not past the last block (bit 6): the next block
    // header starts data_type & 7 bits before next_in.
    if ((zlib.data_type & 128) != 0 && (zlib.data_type & 64) == 0) {
      const std::size_t bitPosition =
          (size - zlib.avail_in) * 8 - static_cast<std::size_t>(zlib.data_type & 7);
      refused = refused || isDeliberateRefusal(data, size, bitPosition);
    } else if (zlib.avail_in == 0 || zlib.avail_out == 0) {
      status = Z_BUF_ERROR;
    }
  }
  const std::size_t consumed = size - zlib.avail_in;
  const std::size_t produced = zlib.total_out;
  const std::uint32_t zlibAdler = static_cast<std::uint32_t>(zlib.adler);
  inflateEnd(&zlib);
  if (status != Z_STREAM_END || refused) return 0;
  expected.resize(produced);

  releasePngState();
  pngState.idatCursor = data;
  pngState.idatEnd = data + size;
  fuzzCheck(inflateBegin(), "our decoder accepts the start of a stream zlib decodes");
  std::vector<std::uint8_t> actual(produced + 1);
  const std::uint32_t got = inflateRead(actual.data(), static_cast<std::uint32_t>(actual.size()));
  fuzzCheck(got == produced, "our decoder gives as many bytes as zlib");
  actual.resize(got);
  fuzzCheck(actual == expected, "our decoder gives the bytes zlib gives");
  fuzzCheck(!inflateState.streamOpen, "the stream ended");
  fuzzCheck(inflateState.adler == zlibAdler, "the same Adler-32");
  fuzzCheck(pngState.idatCursor == data + consumed, "the stream ends where zlib's ends");
  releasePngState();
  return 0;
}
