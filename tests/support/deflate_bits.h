#pragma once
// Hand-built zlib streams for the inflate tests: a DEFLATE bit writer with helpers for stored,
// fixed and dynamic blocks, plus zlib itself as the compressing oracle.

#include <array>
#include <cstdint>
#include <vector>

#include "support/test_files.h"

// A canonical Huffman code (RFC 1951 3.2.2) given by one length per symbol; codes[s] is the code
// of symbol s (meaningless when lengths[s] is 0).
struct HuffmanCode {
  std::vector<std::uint8_t> lengths;
  std::vector<std::uint32_t> codes;

  [[nodiscard]] static HuffmanCode fromLengths(std::vector<std::uint8_t> lengths);
};

// One entry of a code-length sequence of a dynamic header: a symbol 0..18 and, for the repeat
// codes 16, 17 and 18, the value of its extra bits.
struct CodeLengthItem {
  unsigned symbol;
  unsigned extra = 0;
};

// Writes a DEFLATE bit stream: fields least significant bit first, Huffman codes most
// significant bit first, each byte filled from its least significant bit.
class DeflateBitWriter {
 public:
  // The low `count` bits of value, bit 0 first (header fields, extra bits).
  DeflateBitWriter& bits(std::uint32_t value, unsigned count);
  // A Huffman code of `length` bits, most significant bit first.
  DeflateBitWriter& code(std::uint32_t value, unsigned length);
  // Symbol s of a code.
  DeflateBitWriter& symbol(const HuffmanCode& huffman, unsigned s);
  // Zero bits up to the next byte boundary.
  DeflateBitWriter& align();
  // Whole bytes after aligning.
  DeflateBitWriter& bytes(const Bytes& data);

  // A stored block: header bits, alignment, LEN, NLEN and the data (any LEN, 0 included).
  DeflateBitWriter& storedBlock(bool final, const Bytes& data);
  // A stored block header with explicit LEN and NLEN and no data.
  DeflateBitWriter& storedHeader(bool final, std::uint16_t len, std::uint16_t nlen);
  // The three header bits of a block.
  DeflateBitWriter& blockHeader(bool final, unsigned btype);
  // Symbol 0..287 of the fixed literal/length code.
  DeflateBitWriter& fixedLiteral(unsigned symbol);
  // A match in a fixed block: length 3..258, distance 1..32768.
  DeflateBitWriter& fixedMatch(unsigned length, unsigned distance);
  // The rest of a dynamic header after its block header bits: HLIT, HDIST, HCLEN, the
  // code-length code lengths (HCLEN trimmed to the last non-zero one, at least 4) and the items
  // written with that code.
  DeflateBitWriter& dynamicHeader(unsigned literalCount, unsigned distanceCount,
                                  const std::array<std::uint8_t, 19>& codeLengthLengths,
                                  const std::vector<CodeLengthItem>& items);
  // A dynamic header whose code-length code gives every symbol length 5 and whose sequences
  // list each length on its own (no repeat codes).
  DeflateBitWriter& plainDynamicHeader(const std::vector<std::uint8_t>& literalLengths,
                                       const std::vector<std::uint8_t>& distanceLengths);

  // The stream so far, its last byte padded with zero bits.
  [[nodiscard]] Bytes finish() const { return out_; }
  [[nodiscard]] std::size_t bitCount() const {
    return out_.size() * 8 - (usedBits_ ? 8 - usedBits_ : 0);
  }

 private:
  Bytes out_;
  unsigned usedBits_ = 0;  // bits used of the last byte, 0 when it is full or there is none
};

// The length/extra-bits coding of DEFLATE matches.
struct MatchCode {
  unsigned symbol;  // 257..285 for a length, 0..29 for a distance
  unsigned extraBits;
  unsigned extra;
};
[[nodiscard]] MatchCode lengthCode(unsigned length);
[[nodiscard]] MatchCode distanceCode(unsigned distance);

// The code-length code lengths giving every one of the 19 symbols 5 bits.
[[nodiscard]] std::array<std::uint8_t, 19> uniformCodeLengthLengths();

[[nodiscard]] std::uint32_t adler32Of(const Bytes& data);

// A zlib stream with header 78 01, the DEFLATE body and the big-endian Adler-32 of `content`.
[[nodiscard]] Bytes zlibStream(const Bytes& body, const Bytes& content);

// zlib's own compressor with the given level (0..9), window bits (9..15) and strategy
// (Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED), in one Z_FINISH call.
[[nodiscard]] Bytes compressWithZlib(const Bytes& data, int level, int windowBits, int strategy);
