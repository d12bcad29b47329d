// Pull decoder for the zlib stream of a PNG picture: the two-byte zlib header (RFC 1950), the
// DEFLATE blocks (RFC 1951: stored, fixed and dynamic Huffman), a 32768-byte ring window and the
// Adler-32 trailer, checked when the final block ends. Each inflateRead call produces exactly
// the bytes asked for; stored blocks and matches cut off at the end of a call go on in the next.
//
// Input is the byte range pngState.idatCursor .. idatEnd. In bit mode the read position is the
// pair (cursor, bitIndex): bits are taken from the least significant end of each byte, and the
// cursor stays on a byte until a bit of the next one is needed, so bitIndex may be 8.
//
// Strict where the data is damaged: input needed beyond idatEnd, a bit sequence that matches no
// code (code-length sequences included), a distance reaching before the first output byte and an
// over-subscribed code-length set each fail the stream; incomplete code sets are accepted.
// Narrower than RFC 1951 by design: a stored block of length 0 is refused, a preset dictionary
// (FDICT) is refused, and the literal/length and distance code lengths of a dynamic block are two
// separate sequences, so no repeat code runs from one into the other and code 16 cannot begin
// the distance lengths.
//
// Timing: the end of a stored block (next header or trailer check) is handled in the call that
// copies its last byte; the end-of-block symbol of a Huffman block is decoded only by a call that
// asks for at least one more byte. Once the stream has ended or failed, every read returns 0.

#include "png/inflate.h"

#include <cstring>

#include "png/decode_state.h"

InflateState inflateState;

namespace {

constexpr std::uint32_t kAdlerModulus = 65521;
constexpr std::uint32_t kEndOfBlock = 256;
constexpr std::uint32_t kFirstLengthSymbol = 257;
constexpr std::uint32_t kLastLengthSymbol = 285;
constexpr std::uint32_t kLastDistanceCode = 29;

// Order in which the code-length code lengths of a dynamic header are sent.
constexpr std::uint8_t kCodeLengthOrder[kCodeLengthSymbolCount] = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Base lengths and extra bits of length symbols 257..285.
constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                           15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Base distances and extra bits of distance codes 0..29.
constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Builds a canonical Huffman table from one code length per symbol (0 = symbol unused).
// Symbols are ordered by a counting sort on their lengths, which keeps equal lengths in symbol
// order. False, with the table in an unspecified state, when a length exceeds maxLength or the
// lengths are over-subscribed (more codes than the lengths allow). Incomplete sets are accepted;
// their unused bit sequences match no symbol.
constexpr bool buildHuffmanTable(HuffmanTable& table, std::uint32_t maxLength,
                                 std::uint32_t symbolCount, const std::uint8_t* lengths) noexcept {
  std::array<std::uint32_t, kMaxCodeLength + 1> lengthCount{};
  for (std::uint32_t symbol = 0; symbol < symbolCount; ++symbol) {
    if (lengths[symbol] > maxLength) return false;
    ++lengthCount[lengths[symbol]];
  }
  std::int32_t codesLeft = 1;
  for (std::uint32_t length = 1; length <= maxLength; ++length) {
    codesLeft = codesLeft * 2 - static_cast<std::int32_t>(lengthCount[length]);
    if (codesLeft < 0) return false;  // over-subscribed
  }

  std::array<std::uint32_t, kMaxCodeLength + 1> nextPosition{};
  for (std::uint32_t length = 1; length <= maxLength; ++length) {
    nextPosition[length] = nextPosition[length - 1] + lengthCount[length - 1];
  }
  for (std::uint32_t symbol = 0; symbol < symbolCount; ++symbol) {
    table.sortedSymbols[nextPosition[lengths[symbol]]++] = symbol;
  }

  table.maxLength = maxLength;
  table.symbolCount = symbolCount;
  std::uint32_t code = 0;
  std::uint32_t position = lengthCount[0];
  for (std::uint32_t length = 1; length <= maxLength; ++length) {
    if (length > 1) code = (code + lengthCount[length - 1]) << 1;
    const std::uint32_t count = lengthCount[length];
    table.firstCode[length - 1] = code;
    table.firstIndex[length - 1] = count != 0 ? position : 0;
    table.lastCode[length - 1] = count != 0 ? static_cast<std::int32_t>(code + count - 1) : -1;
    position += count;
  }
  return true;
}

constexpr HuffmanTable buildFixedLiteralTable() noexcept {
  std::array<std::uint8_t, kLiteralSymbolCount> lengths{};
  for (std::uint32_t symbol = 0; symbol < kLiteralSymbolCount; ++symbol) {
    lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
  }
  HuffmanTable table;
  const bool built = buildHuffmanTable(table, kMaxCodeLength, kLiteralSymbolCount, lengths.data());
  return built ? table : HuffmanTable{};
}

constexpr HuffmanTable buildFixedDistanceTable() noexcept {
  std::array<std::uint8_t, kDistanceSymbolCount> lengths{};
  lengths.fill(5);
  HuffmanTable table;
  const bool built =
      buildHuffmanTable(table, kMaxCodeLength, kDistanceSymbolCount, lengths.data());
  return built ? table : HuffmanTable{};
}

// The fixed codes of BTYPE 1, built once at compile time and shared by every fixed block.
constexpr HuffmanTable kFixedLiteralTable = buildFixedLiteralTable();
constexpr HuffmanTable kFixedDistanceTable = buildFixedDistanceTable();
static_assert(kFixedLiteralTable.symbolCount == kLiteralSymbolCount);
static_assert(kFixedLiteralTable.lastCode[6] == 23);    // 256..279: 0000000..0010111
static_assert(kFixedLiteralTable.lastCode[8] == 511);   // 144..255: 110010000..111111111
static_assert(kFixedDistanceTable.lastCode[4] == 31);

// --- Input -------------------------------------------------------------------------------------

// One byte in byte mode; false at the end of the input.
bool readByte(std::uint8_t& value) noexcept {
  if (pngState.idatCursor >= pngState.idatEnd) return false;
  value = *pngState.idatCursor++;
  return true;
}

// The next `count` bits (0..16), the first one read becoming bit 0 of value. False when a bit
// would have to come from beyond the end of the input.
bool readBits(std::uint32_t count, std::uint32_t& value) noexcept {
  InflateState& state = inflateState;
  value = 0;
  std::uint32_t filled = 0;
  while (filled < count) {
    if (state.bitIndex == 8) {  // the byte at the cursor is used up: move to the next one
      if (pngState.idatEnd - pngState.idatCursor < 2) return false;
      ++pngState.idatCursor;
      state.bitIndex = 0;
    } else if (pngState.idatCursor >= pngState.idatEnd) {
      return false;
    }
    const auto consumed = static_cast<std::uint32_t>(state.bitIndex);
    const std::uint32_t available = 8 - consumed;
    const std::uint32_t taken = available < count - filled ? available : count - filled;
    const std::uint32_t bits = (*pngState.idatCursor >> consumed) & ((1u << taken) - 1);
    value |= bits << filled;
    filled += taken;
    state.bitIndex += static_cast<std::int32_t>(taken);
  }
  return true;
}

void enterBitMode() noexcept {
  if (!inflateState.bitMode) {
    inflateState.bitMode = true;
    inflateState.bitIndex = 0;
  }
}

// Skips the rest of a partly used byte before byte-aligned fields (stored LEN, the trailer).
void leaveBitMode() noexcept {
  if (inflateState.bitIndex >= 0 && pngState.idatCursor < pngState.idatEnd) ++pngState.idatCursor;
  inflateState.bitMode = false;
  inflateState.bitIndex = -1;
}

// Decodes one symbol, reading code bits most significant first against the per-length code
// ranges. -1 when the bits match no code of the table or the input ends.
std::int32_t decodeSymbol(const HuffmanTable& table) noexcept {
  std::int32_t code = 0;
  for (std::uint32_t length = 1; length <= table.maxLength; ++length) {
    std::uint32_t bit = 0;
    if (!readBits(1, bit)) return -1;
    code = code * 2 + static_cast<std::int32_t>(bit);
    if (code <= table.lastCode[length - 1]) {
      const std::uint32_t offset = static_cast<std::uint32_t>(code) - table.firstCode[length - 1];
      return static_cast<std::int32_t>(table.sortedSymbols[table.firstIndex[length - 1] + offset]);
    }
  }
  return -1;
}

// --- Block headers ------------------------------------------------------------------------------

// Reads one sequence of `count` code lengths with codeLengthTable. False on a symbol that matches
// nothing, missing input, code 16 at the first position, or a repeat running past `count`.
bool readCodeLengths(std::uint8_t* lengths, std::uint32_t count) noexcept {
  std::uint32_t position = 0;
  while (position < count) {
    const std::int32_t symbol = decodeSymbol(inflateState.codeLengthTable);
    if (symbol < 0) return false;
    if (symbol < 16) {
      lengths[position++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    std::uint8_t value = 0;
    std::uint32_t extra = 0;
    std::uint32_t repeat = 0;
    if (symbol == 16) {  // repeat the previous length 3..6 times
      if (position == 0) return false;
      value = lengths[position - 1];
      if (!readBits(2, extra)) return false;
      repeat = 3 + extra;
    } else if (symbol == 17) {  // 3..10 zeros
      if (!readBits(3, extra)) return false;
      repeat = 3 + extra;
    } else {  // 18: 11..138 zeros
      if (!readBits(7, extra)) return false;
      repeat = 11 + extra;
    }
    if (repeat > count - position) return false;
    std::memset(lengths + position, value, repeat);
    position += repeat;
  }
  return true;
}

// BTYPE 2: the code-length code, then the literal/length and distance code lengths.
bool readDynamicHeader() noexcept {
  InflateState& state = inflateState;
  std::uint32_t hlit = 0;
  std::uint32_t hdist = 0;
  std::uint32_t hclen = 0;
  if (!readBits(5, hlit) || !readBits(5, hdist) || !readBits(4, hclen)) return false;

  std::array<std::uint8_t, kCodeLengthSymbolCount> codeLengthLengths{};
  for (std::uint32_t i = 0; i < hclen + 4; ++i) {
    std::uint32_t length = 0;
    if (!readBits(3, length)) return false;
    codeLengthLengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(length);
  }
  if (!buildHuffmanTable(state.codeLengthTable, kMaxCodeLengthCodeLength, kCodeLengthSymbolCount,
                         codeLengthLengths.data())) {
    return false;
  }

  const std::uint32_t literalCount = hlit + 257;  // up to 288; 286 and 287 fail when decoded
  const std::uint32_t distanceCount = hdist + 1;  // up to 32; 30 and 31 fail when decoded
  std::array<std::uint8_t, kLiteralSymbolCount> literalLengths{};
  std::array<std::uint8_t, kDistanceSymbolCount> distanceLengths{};
  if (!readCodeLengths(literalLengths.data(), literalCount) ||
      !readCodeLengths(distanceLengths.data(), distanceCount)) {
    return false;
  }
  if (!buildHuffmanTable(state.literalTable, kMaxCodeLength, literalCount,
                         literalLengths.data()) ||
      !buildHuffmanTable(state.distanceTable, kMaxCodeLength, distanceCount,
                         distanceLengths.data())) {
    return false;
  }
  state.literalCode = &state.literalTable;
  state.distanceCode = &state.distanceTable;
  state.storedRemaining = 0;
  return true;
}

// Reads the header of the next block and prepares it. False on BTYPE 3, a stored block whose
// NLEN is not the complement of LEN or whose LEN is 0, a bad dynamic header, or missing input.
bool readBlockHeader() noexcept {
  InflateState& state = inflateState;
  enterBitMode();
  std::uint32_t bfinal = 0;
  std::uint32_t btype = 0;
  if (!readBits(1, bfinal) || !readBits(2, btype)) return false;
  state.finalBlock = bfinal != 0;
  switch (btype) {
    case 0: {  // stored
      leaveBitMode();
      std::uint8_t field[4] = {};
      for (std::uint8_t& byte : field) {
        if (!readByte(byte)) return false;
      }
      const auto len = static_cast<std::uint16_t>(field[0] | field[1] << 8);   // LEN
      const auto nlen = static_cast<std::uint16_t>(field[2] | field[3] << 8);  // NLEN
      if (nlen != static_cast<std::uint16_t>(~len) || len == 0) return false;
      state.storedRemaining = len;
      return true;
    }
    case 1:  // fixed Huffman codes
      state.literalCode = &kFixedLiteralTable;
      state.distanceCode = &kFixedDistanceTable;
      state.storedRemaining = 0;
      return true;
    case 2:
      return readDynamicHeader();
    default:  // BTYPE 3 is reserved
      return false;
  }
}

// Reads the four-byte Adler-32 trailer, most significant byte first, and compares it.
bool checkTrailer() noexcept {
  leaveBitMode();
  std::uint32_t trailer = 0;
  for (int i = 0; i < 4; ++i) {
    std::uint8_t byte = 0;
    if (!readByte(byte)) return false;
    trailer = trailer << 8 | byte;
  }
  return trailer == inflateState.adler;
}

// --- Output -------------------------------------------------------------------------------------

// Sends one output byte to dst[i], the window and the checksum.
void putByte(std::uint8_t* dst, std::uint32_t& i, std::uint8_t byte) noexcept {
  InflateState& state = inflateState;
  state.window[state.writePos] = byte;
  state.writePos = (state.writePos + 1) & kWindowMask;
  if (state.historyLength < kWindowSize) ++state.historyLength;
  std::uint32_t s1 = (state.adler & 0xFFFF) + byte;
  if (s1 >= kAdlerModulus) s1 -= kAdlerModulus;
  std::uint32_t s2 = (state.adler >> 16) + s1;
  if (s2 >= kAdlerModulus) s2 -= kAdlerModulus;
  state.adler = s2 << 16 | s1;
  dst[i++] = byte;
}

// Ends the stream after a failure: this call and every later one return 0.
std::uint32_t failStream() noexcept {
  inflateState.streamOpen = false;
  return 0;
}

}  // namespace

bool inflateBegin() noexcept {
  InflateState& state = inflateState;
  state.streamOpen = false;
  state.finalBlock = false;
  state.bitMode = false;
  state.bitIndex = -1;
  state.writePos = 0;
  state.copyPos = 0;
  state.copyRemaining = 0;
  state.storedRemaining = 0;
  state.historyLength = 0;
  state.adler = 1;
  state.literalCode = nullptr;
  state.distanceCode = nullptr;
  state.window = allocateArray<std::uint8_t>(kWindowSize);
  if (!state.window) return false;
  std::memset(state.window.get(), 0, kWindowSize);

  std::uint8_t cmf = 0;
  std::uint8_t flg = 0;
  const bool headerValid = readByte(cmf) && readByte(flg) &&
                           (cmf & 0x0F) == 8 &&              // CM: deflate
                           (cmf >> 4) <= 7 &&                // CINFO: window up to 32768 bytes
                           (flg & 0x20) == 0 &&              // FDICT: no preset dictionary
                           (cmf * 256u + flg) % 31u == 0 &&  // FCHECK
                           readBlockHeader();
  if (!headerValid) {
    state.window.reset();
    return false;
  }
  state.streamOpen = true;
  return true;
}

std::uint32_t inflateRead(std::uint8_t* dst, std::uint32_t len) noexcept {
  InflateState& state = inflateState;
  if (len == 0 || !state.streamOpen) return 0;
  std::uint32_t i = 0;
  while (i < len) {
    if (state.storedRemaining != 0) {  // stored block in progress
      while (i < len && state.storedRemaining != 0) {
        std::uint8_t byte = 0;
        if (!readByte(byte)) return failStream();
        --state.storedRemaining;
        putByte(dst, i, byte);
      }
      if (state.storedRemaining == 0) {  // block complete: its end is handled in this call
        if (state.finalBlock) {
          if (!checkTrailer()) return failStream();
          state.streamOpen = false;
          return i;
        }
        if (!readBlockHeader()) return failStream();
      }
      continue;
    }

    if (state.copyRemaining != 0) {  // match in progress
      while (state.copyRemaining != 0 && i < len) {
        const std::uint8_t byte = state.window[state.copyPos];
        state.copyPos = (state.copyPos + 1) & kWindowMask;
        --state.copyRemaining;
        putByte(dst, i, byte);
      }
      continue;
    }

    const std::int32_t decoded = decodeSymbol(*state.literalCode);
    if (decoded < 0) return failStream();
    const auto symbol = static_cast<std::uint32_t>(decoded);
    if (symbol < kEndOfBlock) {
      putByte(dst, i, static_cast<std::uint8_t>(symbol));
    } else if (symbol == kEndOfBlock) {
      if (state.finalBlock) {
        if (!checkTrailer()) return failStream();
        state.streamOpen = false;
        return i;
      }
      if (!readBlockHeader()) return failStream();
    } else if (symbol > kLastLengthSymbol) {  // 286, 287
      return failStream();
    } else {  // a match
      const std::uint32_t lengthIndex = symbol - kFirstLengthSymbol;
      std::uint32_t extra = 0;
      if (!readBits(kLengthExtra[lengthIndex], extra)) return failStream();
      const std::uint32_t length = kLengthBase[lengthIndex] + extra;

      const std::int32_t distanceCode = decodeSymbol(*state.distanceCode);
      if (distanceCode < 0 || distanceCode > static_cast<std::int32_t>(kLastDistanceCode)) {
        return failStream();  // no code, or distance codes 30, 31
      }
      const auto code = static_cast<std::uint32_t>(distanceCode);
      if (!readBits(kDistanceExtra[code], extra)) return failStream();
      const std::uint32_t distance = kDistanceBase[code] + extra;
      if (distance > state.historyLength) return failStream();  // before the first output byte

      const std::uint32_t source = (state.writePos - distance) & kWindowMask;
      const std::uint8_t byte = state.window[source];
      state.copyPos = (source + 1) & kWindowMask;
      state.copyRemaining = length - 1;
      putByte(dst, i, byte);
    }
  }
  return len;
}

void inflateReleaseWindow() noexcept {
  inflateState.window.reset();
  inflateState.streamOpen = false;
}
