// DEFLATE bit writer and zlib oracle for the inflate tests.

#include "support/deflate_bits.h"

#include <zlib.h>

#include <stdexcept>

namespace {

constexpr unsigned kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr unsigned kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr unsigned kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr unsigned kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr unsigned kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

}  // namespace

HuffmanCode HuffmanCode::fromLengths(std::vector<std::uint8_t> lengths) {
  HuffmanCode huffman;
  std::uint32_t count[16] = {};
  for (const std::uint8_t length : lengths) ++count[length];
  count[0] = 0;
  std::uint32_t next[16] = {};
  std::uint32_t code = 0;
  for (unsigned bits = 1; bits < 16; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = code;
  }
  huffman.codes.assign(lengths.size(), 0);
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    if (lengths[s] != 0) huffman.codes[s] = next[lengths[s]]++;
  }
  huffman.lengths = std::move(lengths);
  return huffman;
}

DeflateBitWriter& DeflateBitWriter::bits(std::uint32_t value, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    if (usedBits_ == 0) out_.push_back(0);
    out_.back() = static_cast<std::uint8_t>(out_.back() | ((value >> i) & 1u) << usedBits_);
    usedBits_ = (usedBits_ + 1) % 8;
  }
  return *this;
}

DeflateBitWriter& DeflateBitWriter::code(std::uint32_t value, unsigned length) {
  for (unsigned i = length; i-- > 0;) bits(value >> i, 1);
  return *this;
}

DeflateBitWriter& DeflateBitWriter::symbol(const HuffmanCode& huffman, unsigned s) {
  if (s >= huffman.lengths.size() || huffman.lengths[s] == 0) {
    throw std::logic_error("symbol without a code");
  }
  return code(huffman.codes[s], huffman.lengths[s]);
}

DeflateBitWriter& DeflateBitWriter::align() {
  usedBits_ = 0;
  return *this;
}

DeflateBitWriter& DeflateBitWriter::bytes(const Bytes& data) {
  align();
  out_.insert(out_.end(), data.begin(), data.end());
  return *this;
}

DeflateBitWriter& DeflateBitWriter::blockHeader(bool final, unsigned btype) {
  return bits(final ? 1 : 0, 1).bits(btype, 2);
}

DeflateBitWriter& DeflateBitWriter::storedHeader(bool final, std::uint16_t len,
                                                 std::uint16_t nlen) {
  blockHeader(final, 0).align();
  return bytes({static_cast<std::uint8_t>(len), static_cast<std::uint8_t>(len >> 8),
                static_cast<std::uint8_t>(nlen), static_cast<std::uint8_t>(nlen >> 8)});
}

DeflateBitWriter& DeflateBitWriter::storedBlock(bool final, const Bytes& data) {
  const auto len = static_cast<std::uint16_t>(data.size());
  return storedHeader(final, len, static_cast<std::uint16_t>(~len)).bytes(data);
}

DeflateBitWriter& DeflateBitWriter::fixedLiteral(unsigned s) {
  if (s < 144) return code(0x30 + s, 8);
  if (s < 256) return code(0x190 + (s - 144), 9);
  if (s < 280) return code(s - 256, 7);
  return code(0xC0 + (s - 280), 8);
}

DeflateBitWriter& DeflateBitWriter::fixedMatch(unsigned length, unsigned distance) {
  const MatchCode l = lengthCode(length);
  const MatchCode d = distanceCode(distance);
  fixedLiteral(l.symbol).bits(l.extra, l.extraBits);
  return code(d.symbol, 5).bits(d.extra, d.extraBits);
}

DeflateBitWriter& DeflateBitWriter::dynamicHeader(
    unsigned literalCount, unsigned distanceCount,
    const std::array<std::uint8_t, 19>& codeLengthLengths,
    const std::vector<CodeLengthItem>& items) {
  unsigned sent = 19;
  while (sent > 4 && codeLengthLengths[kCodeLengthOrder[sent - 1]] == 0) --sent;
  bits(literalCount - 257, 5).bits(distanceCount - 1, 5).bits(sent - 4, 4);
  for (unsigned i = 0; i < sent; ++i) bits(codeLengthLengths[kCodeLengthOrder[i]], 3);
  const HuffmanCode code = HuffmanCode::fromLengths(
      std::vector<std::uint8_t>(codeLengthLengths.begin(), codeLengthLengths.end()));
  for (const CodeLengthItem& item : items) {
    symbol(code, item.symbol);
    if (item.symbol == 16) bits(item.extra, 2);
    if (item.symbol == 17) bits(item.extra, 3);
    if (item.symbol == 18) bits(item.extra, 7);
  }
  return *this;
}

DeflateBitWriter& DeflateBitWriter::plainDynamicHeader(
    const std::vector<std::uint8_t>& literalLengths,
    const std::vector<std::uint8_t>& distanceLengths) {
  std::vector<CodeLengthItem> items;
  for (const std::uint8_t length : literalLengths) items.push_back({length});
  for (const std::uint8_t length : distanceLengths) items.push_back({length});
  return dynamicHeader(static_cast<unsigned>(literalLengths.size()),
                       static_cast<unsigned>(distanceLengths.size()), uniformCodeLengthLengths(),
                       items);
}

MatchCode lengthCode(unsigned length) {
  if (length < 3 || length > 258) throw std::logic_error("length out of range");
  for (unsigned i = 29; i-- > 0;) {
    if (length >= kLengthBase[i]) return {257 + i, kLengthExtra[i], length - kLengthBase[i]};
  }
  throw std::logic_error("length out of range");
}

MatchCode distanceCode(unsigned distance) {
  if (distance < 1 || distance > 32768) throw std::logic_error("distance out of range");
  for (unsigned i = 30; i-- > 0;) {
    if (distance >= kDistanceBase[i]) return {i, kDistanceExtra[i], distance - kDistanceBase[i]};
  }
  throw std::logic_error("distance out of range");
}

std::array<std::uint8_t, 19> uniformCodeLengthLengths() {
  std::array<std::uint8_t, 19> lengths{};
  lengths.fill(5);
  return lengths;
}

std::uint32_t adler32Of(const Bytes& data) {
  const uLong start = adler32(0L, Z_NULL, 0);
  return static_cast<std::uint32_t>(adler32(start, data.data(), static_cast<uInt>(data.size())));
}

Bytes zlibStream(const Bytes& body, const Bytes& content) {
  Bytes stream = {0x78, 0x01};
  stream.insert(stream.end(), body.begin(), body.end());
  const std::uint32_t adler = adler32Of(content);
  for (int shift = 24; shift >= 0; shift -= 8) {
    stream.push_back(static_cast<std::uint8_t>(adler >> shift));
  }
  return stream;
}

Bytes compressWithZlib(const Bytes& data, int level, int windowBits, int strategy) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, strategy) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 64);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}
