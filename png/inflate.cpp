// Pull decoder for the zlib stream of a PNG picture: the two-byte zlib header (RFC 1950), the
// DEFLATE blocks (RFC 1951: stored, fixed and dynamic Huffman), a sliding window and the
// Adler-32 trailer, checked when the final block ends. Each inflateRead call produces exactly
// the bytes asked for; stored blocks and matches cut off at the end of a call go on in the next.
//
// Input is the byte range pngState.idatCursor .. idatEnd. Within a call, bit mode reads through
// a 64-bit buffer that is filled a word at a time while at least 8 input bytes remain and a byte
// at a time after that, so nothing past idatEnd is ever read. Between calls the read position
// is the pair (cursor, bitIndex): bits are taken from the least significant end of each byte,
// and bytes loaded but not used are given back. Byte-aligned fields (stored LEN, the trailer)
// start at the first byte of which no bit was used.
//
// Output is decoded into the window after the history it may copy from, then copied to the
// caller, so matches never wrap. The Adler-32 is updated over each run of output at once.
//
// Strict where the data is damaged: input needed beyond idatEnd, a bit sequence that matches no
// code (code-length sequences included), a distance reaching before the first output byte and an
// over-subscribed code-length set each fail the stream; incomplete code sets are accepted.
// A preset dictionary (FDICT) is refused: PNG forbids it. Empty stored blocks (LEN 0, written at
// each zlib sync or full flush) produce nothing, and the next block header follows. The
// literal/length and distance code lengths of a dynamic block are read as one sequence, as
// RFC 1951 has it: a repeat code may run from one into the other, and code 16 may begin the
// distance lengths, repeating the last literal/length length.
//
// Timing: the end of a stored block (next header or trailer check) is handled in the call that
// copies its last byte, and so are the empty stored blocks that follow it; the end-of-block
// symbol of a Huffman block is decoded only by a call that asks for at least one more byte. So
// the trailer is checked only when the output asked for ends exactly with a stored block that
// ends the stream (possibly followed by empty stored blocks, the last of them final). Once the
// stream has ended or failed, every read returns 0.

#include "png/inflate.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include "base/byte_io.h"
#include "png/decode_state.h"

#if POW2BMP_X86_SIMD
#include <immintrin.h>
#endif

thread_local InflateState inflateState;

namespace {

constexpr std::uint32_t kAdlerModulus = 65521;
constexpr std::size_t kAdlerBlock = 5552;  // most bytes summed before s2 could pass 2^32
constexpr std::uint32_t kEndOfBlock = 256;
constexpr std::uint32_t kLastLengthSymbol = 285;
constexpr std::uint32_t kLastDistanceCode = 29;
constexpr std::uint32_t kCodeLengthLookupBits = kMaxCodeLengthCodeLength;
// A first read at least this long is decoded straight into the caller's buffer; a shorter one
// goes through the window.
constexpr std::uint32_t kDirectMinimum = 2 * kCopyOvershoot;
// Bytes decoded straight into the caller's buffer between two Adler-32 updates, so the sum
// reads them while they are still in the cache.
constexpr std::size_t kAdlerSlice = 64 * 1024;

// Input bytes that must remain after a dynamic block header for its literal codes to be paired
// (see pairLiterals).
constexpr std::ptrdiff_t kPairLiteralsMinInput = 8 * 1024;

// Order in which the code-length code lengths of a dynamic header are sent.
constexpr std::uint8_t kCodeLengthOrder[kCodeLengthSymbolCount] = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Base lengths and extra bits of length symbols 257..285.
constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                           15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Base distances and extra bits of distance codes 0..29.
constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// --- Lookup entries -----------------------------------------------------------------------------

// Bits 0..5: the input bits the entry stands for, its code and the extra bits after it; a
// 64-bit shift instruction takes them as its count without a mask. Bits 12..15: the code length
// alone, which the extra bits of a length or distance follow; in a literal entry, the length of
// its first literal's code. A literal entry of the literal/length code may stand for two literals
// whose codes fit in the lookup bits together (kEntryTwoLiterals): bits 0..5 are then both codes,
// bits 16..23 the first literal and bits 24..31 the second. Any other literal entry has zero in
// bits 24..31.
constexpr std::uint32_t kEntryBitsMask = 0x3F;
constexpr std::uint32_t kEntryTwoLiteralsShift = 7;
constexpr std::uint32_t kEntryTwoLiterals = 1u << kEntryTwoLiteralsShift;
constexpr std::uint32_t kEntryCodeLengthShift = 12;
constexpr std::uint32_t kEntryLiteral = 1u << 8;  // a literal byte or a code-length symbol
constexpr std::uint32_t kEntryMatch = 1u << 9;    // a length or distance: base and extra bits
constexpr std::uint32_t kEntryEndOfBlock = 1u << 10;
// The first bits of codes longer than the lookup bits: bits 0..5 hold the index bits of their
// second-level table, bits 16..31 where it starts in the lookup.
constexpr std::uint32_t kEntryLong = 1u << 11;

enum class TableKind { kLiteralLength, kDistance, kCodeLength };

// The lookup entry of `symbol` with a code of `length` bits; 0 for symbols that fail when decoded.
constexpr std::uint32_t entryFor(TableKind kind, std::uint32_t symbol,
                                 std::uint32_t length) noexcept {
  switch (kind) {
    case TableKind::kLiteralLength:
      if (symbol < kEndOfBlock) {
        return length | length << kEntryCodeLengthShift | kEntryLiteral | symbol << 16;
      }
      if (symbol == kEndOfBlock) return length | kEntryEndOfBlock;
      if (symbol > kLastLengthSymbol) return 0;  // 286, 287
      return (length + kLengthExtra[symbol - 257]) | length << kEntryCodeLengthShift | kEntryMatch |
             std::uint32_t{kLengthBase[symbol - 257]} << 16;
    case TableKind::kDistance:
      if (symbol > kLastDistanceCode) return 0;  // 30, 31
      return (length + kDistanceExtra[symbol]) | length << kEntryCodeLengthShift | kEntryMatch |
             std::uint32_t{kDistanceBase[symbol]} << 16;
    case TableKind::kCodeLength:
      return length | kEntryLiteral | symbol << 16;
  }
  return 0;
}

constexpr std::uint32_t lookupBitsOf(TableKind kind) noexcept {
  switch (kind) {
    case TableKind::kLiteralLength:
      return kLiteralLookupBits;
    case TableKind::kDistance:
      return kDistanceLookupBits;
    case TableKind::kCodeLength:
      return kCodeLengthLookupBits;
  }
  return 1;
}

// The low `length` bits of code in reverse order: a code sent most significant bit first, as it
// sits in the bit buffer.
constexpr std::array<std::uint8_t, 256> kReversedBytes = [] {
  std::array<std::uint8_t, 256> reversed{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    std::uint32_t value = 0;
    for (std::uint32_t bit = 0; bit < 8; ++bit) value |= ((byte >> bit) & 1) << (7 - bit);
    reversed[byte] = static_cast<std::uint8_t>(value);
  }
  return reversed;
}();

// (length 1..16, code below 2^length)
constexpr std::uint32_t reverseBits(std::uint32_t code, std::uint32_t length) noexcept {
  const std::uint32_t reversed16 =
      std::uint32_t{kReversedBytes[code & 0xFF]} << 8 | kReversedBytes[(code >> 8) & 0xFF];
  return reversed16 >> (16 - length);
}

// Builds a canonical Huffman table from one code length per symbol (0 = symbol unused).
// Symbols are ordered by a counting sort on their lengths, which keeps equal lengths in symbol
// order. False, with the table left partly built, when a length exceeds maxLength or the
// lengths are over-subscribed (more codes than the lengths allow). Incomplete sets are accepted;
// their unused bit sequences match no symbol. Codes longer than the lookup bits get a
// kEntryLong entry at the lookup index of their first bits, pointing to a second-level table
// after the lookup, one for each different first bits, indexed by the bits after them up to the
// longest code.
constexpr bool buildHuffmanTable(HuffmanTable& table, TableKind kind, std::uint32_t maxLength,
                                 std::uint32_t symbolCount, const std::uint8_t* lengths) noexcept {
  // Every length fits in four bits exactly when all of them together do.
  std::uint32_t allLengthBits = 0;
  for (std::uint32_t symbol = 0; symbol < symbolCount; ++symbol) allLengthBits |= lengths[symbol];
  if (allLengthBits > kMaxCodeLength) return false;

  // The symbols are counted and sorted in kLanes lanes of consecutive symbols, one symbol of each
  // lane per step, each lane with counters of its own: neighbouring symbols mostly share a length,
  // and with one set of counters each step would wait for the counter the step before stored.
  constexpr std::uint32_t kLanes = 4;
  const std::uint32_t laneSize = (symbolCount + kLanes - 1) / kLanes;
  std::array<std::array<std::uint32_t, kMaxCodeLength + 1>, kLanes> laneCount{};
  for (std::uint32_t step = 0; step < laneSize; ++step) {
    for (std::uint32_t lane = 0; lane < kLanes; ++lane) {
      const std::uint32_t symbol = lane * laneSize + step;
      if (symbol < symbolCount) ++laneCount[lane][lengths[symbol]];
    }
  }
  std::array<std::uint32_t, kMaxCodeLength + 1> lengthCount{};
  for (std::uint32_t length = 0; length <= kMaxCodeLength; ++length) {
    for (std::uint32_t lane = 0; lane < kLanes; ++lane) {
      lengthCount[length] += laneCount[lane][length];
    }
    if (length > maxLength && lengthCount[length] != 0) return false;
  }
  std::int32_t codesLeft = 1;
  for (std::uint32_t length = 1; length <= maxLength; ++length) {
    codesLeft = codesLeft * 2 - static_cast<std::int32_t>(lengthCount[length]);
    if (codesLeft < 0) return false;  // over-subscribed
  }

  // Where each lane's next symbol of each length goes: after all shorter codes, and after the
  // symbols of that length in the lanes before it. Symbols of length 0 come first and are never
  // entered.
  std::array<std::uint32_t, kLiteralSymbolCount> sortedSymbols{};
  std::array<std::array<std::uint32_t, kMaxCodeLength + 1>, kLanes> nextPosition{};
  std::uint32_t lengthStart = 0;
  for (std::uint32_t length = 0; length <= maxLength; ++length) {
    std::uint32_t position = lengthStart;
    for (std::uint32_t lane = 0; lane < kLanes; ++lane) {
      nextPosition[lane][length] = position;
      position += laneCount[lane][length];
    }
    lengthStart = position;
  }
  for (std::uint32_t step = 0; step < laneSize; ++step) {
    for (std::uint32_t lane = 0; lane < kLanes; ++lane) {
      const std::uint32_t symbol = lane * laneSize + step;
      if (symbol < symbolCount) sortedSymbols[nextPosition[lane][lengths[symbol]]++] = symbol;
    }
  }

  // Always the kind's full width, so the decoding loops mask with a constant.
  const std::uint32_t lookupBits = lookupBitsOf(kind);
  const std::uint32_t lookupSize = 1u << lookupBits;
  table.lookupBits = lookupBits;

  // The lookup grows with the code length. Before the codes of length L are entered, its first
  // 2^(L-1) entries are copied after themselves, so every entry of a shorter code now stands at
  // each index whose low bits are its code; then each code of length L is entered at its
  // bit-reversed value. Indices that no code matches stay 0 throughout.
  table.lookup[0] = 0;
  std::uint32_t filled = 1;  // entries of the lookup in use: 2^L after length L
  const auto doubleLookup = [&table, &filled] {
    std::copy_n(table.lookup.begin(), filled, table.lookup.begin() + filled);
    filled *= 2;
  };
  std::uint32_t longest = 0;
  for (std::uint32_t length = 1; length <= maxLength; ++length) {
    if (lengthCount[length] != 0) longest = length;
  }
  // Codes longer than lookupBits: every second-level table has the index bits of the longest.
  // Canonical codes with the same first bits follow one another, so each table is filled whole
  // before the next starts.
  const std::uint32_t subtableBits = longest > lookupBits ? longest - lookupBits : 0;
  std::uint32_t subtableStart = 0;
  std::uint32_t subtableEnd = lookupSize;
  std::uint32_t subtablePrefix = ~0u;
  std::uint32_t code = 0;
  std::uint32_t position = lengthCount[0];
  for (std::uint32_t length = 1; length <= longest; ++length) {
    if (length > 1) code = (code + lengthCount[length - 1]) << 1;
    const std::uint32_t count = lengthCount[length];
    if (length <= lookupBits) {
      doubleLookup();
      for (std::uint32_t offset = 0; offset < count; ++offset) {
        table.lookup[reverseBits(code + offset, length)] =
            entryFor(kind, sortedSymbols[position + offset], length);
      }
    } else {
      const std::uint32_t suffixLength = length - lookupBits;
      for (std::uint32_t offset = 0; offset < count; ++offset) {
        const std::uint32_t prefix = (code + offset) >> suffixLength;
        if (prefix != subtablePrefix) {
          // Past the bound only if the lengths break the canonical order, which they cannot.
          if (subtableEnd + (1u << subtableBits) > table.lookup.size()) return false;
          subtablePrefix = prefix;
          subtableStart = subtableEnd;
          subtableEnd += 1u << subtableBits;
          std::fill_n(table.lookup.begin() + subtableStart, 1u << subtableBits, 0u);
          table.lookup[reverseBits(prefix, lookupBits)] =
              kEntryLong | subtableBits | subtableStart << 16;
        }
        // The entry stands at every index whose low bits are the rest of the code.
        const std::uint32_t entry = entryFor(kind, sortedSymbols[position + offset], length);
        const std::uint32_t rest =
            reverseBits((code + offset) & ((1u << suffixLength) - 1), suffixLength);
        for (std::uint32_t index = rest; index < (1u << subtableBits);
             index += 1u << suffixLength) {
          table.lookup[subtableStart + index] = entry;
        }
      }
    }
    position += count;
  }
  while (filled < lookupSize) doubleLookup();
  return true;
}

// Makes each literal entry of a literal/length lookup whose bits after its code hold the whole
// code of a second literal stand for both (kEntryTwoLiterals). The entry at the index of the bits
// after the first code is that of the second literal whenever its code fits in them; it may
// already stand for two, of which only the first is taken. (The fixed code's literal codes take
// 8 and 9 bits, too long for two in a lookup.)
//
// Without a branch per entry, whose outcome follows the code lengths and is not to be predicted:
// every entry is looked at as if it were a literal (bits 12..15 of any other entry are below
// the lookup bits or zero, so the index of the second stays in the lookup) and keeps its value
// unless both are literals that fit.
void pairLiterals(HuffmanTable& table) noexcept {
  constexpr std::uint32_t lookupSize = 1u << kLiteralLookupBits;
  std::uint32_t* const lookup = table.lookup.data();
  for (std::uint32_t index = 0; index < lookupSize; ++index) {
    const std::uint32_t entry = lookup[index];
    const std::uint32_t firstLength = (entry >> kEntryCodeLengthShift) & 0xF;
    const std::uint32_t second = lookup[index >> firstLength];
    const std::uint32_t secondLength = (second >> kEntryCodeLengthShift) & 0xF;
    const std::uint32_t paired =
        (firstLength + secondLength) | firstLength << kEntryCodeLengthShift | kEntryLiteral |
        kEntryTwoLiterals | (entry & 0xFF0000u) | (second & 0xFF0000u) << 8;
    // All ones when the two pair, by arithmetic (a branch or a select is compiled to a branch).
    const std::uint32_t pairs =
        0u - (((entry & second & kEntryLiteral) >> 8) &
              (((kLiteralLookupBits - firstLength - secondLength) >> 31) ^ 1u));
    lookup[index] = entry ^ ((entry ^ paired) & pairs);
  }
}

#if POW2BMP_X86_SIMD
// pairLiterals for eight entries at a time, the second entries gathered. An entry's second may
// lie among the eight stored by the same step, read before or after its pairing: either way it
// has the same literal flag, first code length and first literal, all that is taken from it.
__attribute__((target("avx2"))) void pairLiteralsAvx2(HuffmanTable& table) noexcept {
  constexpr std::uint32_t lookupSize = 1u << kLiteralLookupBits;
  std::uint32_t* const lookup = table.lookup.data();
  const auto* const gatherBase = reinterpret_cast<const int*>(lookup);
  const __m256i literalFlag = _mm256_set1_epi32(static_cast<int>(kEntryLiteral));
  const __m256i pairFlags = _mm256_set1_epi32(static_cast<int>(kEntryLiteral | kEntryTwoLiterals));
  const __m256i lengthMask = _mm256_set1_epi32(0xF);
  const __m256i literalByte = _mm256_set1_epi32(0xFF0000);
  const __m256i pairLimit = _mm256_set1_epi32(static_cast<int>(kLiteralLookupBits + 1));
  const __m256i step = _mm256_set1_epi32(8);
  __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (std::uint32_t at = 0; at < lookupSize; at += 8) {
    auto* const place = reinterpret_cast<__m256i*>(lookup + at);
    const __m256i entry = _mm256_loadu_si256(place);
    const __m256i firstLength =
        _mm256_and_si256(_mm256_srli_epi32(entry, kEntryCodeLengthShift), lengthMask);
    const __m256i second =
        _mm256_i32gather_epi32(gatherBase, _mm256_srlv_epi32(index, firstLength), 4);
    const __m256i secondLength =
        _mm256_and_si256(_mm256_srli_epi32(second, kEntryCodeLengthShift), lengthMask);
    const __m256i bothLengths = _mm256_add_epi32(firstLength, secondLength);
    const __m256i paired = _mm256_or_si256(
        _mm256_or_si256(bothLengths, _mm256_slli_epi32(firstLength, kEntryCodeLengthShift)),
        _mm256_or_si256(_mm256_or_si256(pairFlags, _mm256_and_si256(entry, literalByte)),
                        _mm256_slli_epi32(_mm256_and_si256(second, literalByte), 8)));
    const __m256i bothLiterals = _mm256_cmpeq_epi32(
        _mm256_and_si256(_mm256_and_si256(entry, second), literalFlag), literalFlag);
    const __m256i fits = _mm256_cmpgt_epi32(pairLimit, bothLengths);
    _mm256_storeu_si256(place,
                        _mm256_blendv_epi8(entry, paired, _mm256_and_si256(bothLiterals, fits)));
    index = _mm256_add_epi32(index, step);
  }
}
#endif

constexpr HuffmanTable buildFixedLiteralTable() noexcept {
  std::array<std::uint8_t, kLiteralSymbolCount> lengths{};
  for (std::uint32_t symbol = 0; symbol < kLiteralSymbolCount; ++symbol) {
    lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
  }
  HuffmanTable table{};  // every entry set, as a constant needs
  const bool built = buildHuffmanTable(table, TableKind::kLiteralLength, kMaxCodeLength,
                                       kLiteralSymbolCount, lengths.data());
  return built ? table : HuffmanTable{};
}

constexpr HuffmanTable buildFixedDistanceTable() noexcept {
  std::array<std::uint8_t, kDistanceSymbolCount> lengths{};
  lengths.fill(5);
  HuffmanTable table{};  // every entry set, as a constant needs
  const bool built = buildHuffmanTable(table, TableKind::kDistance, kMaxCodeLength,
                                       kDistanceSymbolCount, lengths.data());
  return built ? table : HuffmanTable{};
}

// The fixed codes of BTYPE 1, built once at compile time and shared by every fixed block.
constexpr HuffmanTable kFixedLiteralTable = buildFixedLiteralTable();
constexpr HuffmanTable kFixedDistanceTable = buildFixedDistanceTable();
static_assert(kFixedLiteralTable.lookupBits == kLiteralLookupBits);
static_assert(kFixedLiteralTable.lookup[0] == (7 | kEntryEndOfBlock));            // 0000000
static_assert(kFixedLiteralTable.lookup[0x0C] == (8 | 8 << 12 | kEntryLiteral));  // 00110000: 0
static_assert(kFixedLiteralTable.lookup[0x1FF] == (9 | 9 << 12 | kEntryLiteral | 255u << 16));
static_assert(kFixedDistanceTable.lookupBits == kDistanceLookupBits);
static_assert(kFixedDistanceTable.lookup[0x1F] == 0);  // 11111: distance code 31

// The codes of the last dynamic block header of this thread. Each table is built whole from its
// code lengths before it is used, so a new stream leaves them as they are: clearing them would
// cost more than the decoding of a small picture. Nor are they cleared when made: a build writes
// every entry a decode can reach, so of their 78 KiB only the pages of the entries in use are
// ever touched (12 KiB and the second-level tables in use). They live on the heap from the
// thread's first dynamic block on: as thread-local storage they would be made for every thread
// when it starts, the main thread of a process that decodes no PNG at all included.
struct DynamicTables {
  HuffmanTable literalTable;     // literal/length code; max length 15
  HuffmanTable distanceTable;    // distance code; max length 15
  HuffmanTable codeLengthTable;  // code-length code of the header; max length 7
};
struct DynamicTablesDeleter {
  void operator()(DynamicTables* tables) const noexcept {
    tables->~DynamicTables();
    heapRelease(tables);
  }
};
thread_local std::unique_ptr<DynamicTables, DynamicTablesDeleter> dynamicTableBlock;

// This thread's tables, made on first use; null when the block cannot be had.
DynamicTables* dynamicTables() noexcept {
  if (!dynamicTableBlock) {
    if (void* block = heapAllocate(sizeof(DynamicTables))) {
      dynamicTableBlock.reset(new (block) DynamicTables);
    }
  }
  return dynamicTableBlock.get();
}

// --- Input -------------------------------------------------------------------------------------

// The input of one call. Unused bits sit in `bits`, the next one in bit 0; bits above `count`
// are zero or copies of the input bytes from `next` on. In byte mode count is 0.
struct BitReader {
  std::uint64_t bits = 0;
  std::uint32_t count = 0;             // unused bits in `bits`
  const std::uint8_t* next = nullptr;  // first input byte not loaded into `bits`
  const std::uint8_t* end = nullptr;
};

// Takes up the read position left by the previous call.
BitReader openInput() noexcept {
  BitReader input;
  input.next = pngState.idatCursor;
  input.end = pngState.idatEnd;
  if (inflateState.bitIndex > 0) {  // a partly used byte at the cursor
    const auto used = static_cast<std::uint32_t>(inflateState.bitIndex);
    input.bits = static_cast<std::uint64_t>(*input.next++ >> used);
    input.count = 8 - used;
  }
  return input;
}

// Stores the read position for the next call, giving back the whole bytes loaded but unused.
void closeInput(const BitReader& input) noexcept {
  const std::uint8_t* cursor = input.next - (input.count >> 3);
  const std::uint32_t partial = input.count & 7;
  if (!inflateState.bitMode) {
    inflateState.bitIndex = -1;
  } else if (partial != 0) {
    --cursor;
    inflateState.bitIndex = static_cast<std::int32_t>(8 - partial);
  } else {
    inflateState.bitIndex = 0;
  }
  pngState.idatCursor = cursor;
}

// Loads the next input word under the bits held; the caller has checked that at least 8 input
// bytes are left. Afterwards 56 to 63 bits are held.
[[gnu::always_inline]] inline void refillWord(BitReader& input) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, input.next, 8);
  if constexpr (std::endian::native == std::endian::big) {
    std::uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i) swapped = swapped << 8 | ((word >> (8 * i)) & 0xFF);
    word = swapped;
  }
  // Only bits 0..5 of count are read here: the fast loop lets the bits above them go stale.
  input.bits |= word << (input.count & 63);
  input.next += 7 - ((input.count >> 3) & 7);
  input.count |= 56;
}

// Loads input bytes until at least 56 bits are held or the input ends.
inline void refill(BitReader& input) noexcept {
  if (input.end - input.next >= 8) {
    refillWord(input);
  } else {
    while (input.count <= 56 && input.next < input.end) {
      input.bits |= static_cast<std::uint64_t>(*input.next++) << input.count;
      input.count += 8;
    }
  }
}

[[gnu::always_inline]] inline void consume(BitReader& input, std::uint32_t count) noexcept {
  input.bits >>= count;
  input.count -= count;
}

// The code length of the first (or only) literal of a literal entry.
constexpr std::uint32_t firstLiteralCodeLength(std::uint32_t entry) noexcept {
  return (entry >> kEntryCodeLengthShift) & 0xF;
}

// Consumes the code of the first (or only) literal of a literal entry.
[[gnu::always_inline]] inline void consumeLiteral(BitReader& input, std::uint32_t entry) noexcept {
  const std::uint32_t length = firstLiteralCodeLength(entry);
  input.bits >>= length;
  input.count -= length;
}

// Consumes the codes of every literal of a literal entry, for the fast loop: bits 0..5 of the
// entry are their length, which a 64-bit shift instruction takes as its count without a mask.
// The fast loop keeps only bits 0..5 of count right (the bits above them stale; no count goes
// below zero there), saving the mask.
[[gnu::always_inline]] inline void consumeLiteralLoose(BitReader& input,
                                                       std::uint32_t entry) noexcept {
  input.bits >>= entry & 63;
  input.count -= entry;
}

// The next `count` bits (0..16), the first one read becoming bit 0 of value. False when a bit
// would have to come from beyond the end of the input.
bool readBits(BitReader& input, std::uint32_t count, std::uint32_t& value) noexcept {
  if (input.count < count) {
    refill(input);
    if (input.count < count) return false;
  }
  value = static_cast<std::uint32_t>(input.bits & ((std::uint64_t{1} << count) - 1));
  consume(input, count);
  return true;
}

// Skips the rest of a partly used byte and gives back the unused whole bytes, before byte-aligned
// fields (stored LEN, the trailer).
void leaveBitMode(BitReader& input) noexcept {
  input.next -= input.count >> 3;
  input.bits = 0;
  input.count = 0;
  inflateState.bitMode = false;
}

// The entry of a code longer than the lookup bits, from the second-level table that its lookup
// entry `entry` (kEntryLong) points to, indexed by the bits of `bits` after the first lookupBits.
[[gnu::always_inline]] inline std::uint32_t longCodeEntry(const std::uint32_t* lookup,
                                                          std::uint32_t entry, std::uint64_t bits,
                                                          std::uint32_t lookupBits) noexcept {
  const std::uint32_t indexMask = (1u << (entry & kEntryBitsMask)) - 1;
  return lookup[(entry >> 16) + (static_cast<std::uint32_t>(bits >> lookupBits) & indexMask)];
}

// The entry of the distance code at the front of the input, through the lookup (or, for a code
// longer than the lookup bits, its second-level table); the bits are not consumed.
[[gnu::always_inline]] inline std::uint32_t lookupDistance(const std::uint32_t* lookup,
                                                           std::uint64_t mask,
                                                           const BitReader& in) noexcept {
  const std::uint32_t entry = lookup[in.bits & mask];
  if ((entry & kEntryLong) == 0) return entry;
  return longCodeEntry(lookup, entry, in.bits, kDistanceLookupBits);
}

// --- Block headers ------------------------------------------------------------------------------

// Reads the sequence of `count` code lengths with the code-length code `table`. False on a symbol
// that matches nothing, missing input, code 16 at the first position, or a repeat running past
// `count`.
bool readCodeLengths(const HuffmanTable& table, BitReader& input, std::uint8_t* lengths,
                     std::uint32_t count) noexcept {
  constexpr std::uint64_t lookupMask = (std::uint64_t{1} << kCodeLengthLookupBits) - 1;
  constexpr std::uint32_t kMostExtraBits = 7;
  BitReader in = input;  // a local copy, so the loop keeps it in registers
  std::uint32_t position = 0;
  bool read = true;
  while (position < count) {
    if (in.count < kMaxCodeLengthCodeLength + kMostExtraBits) refill(in);
    const std::uint32_t entry = table.lookup[in.bits & lookupMask];
    const std::uint32_t codeLength = entry & kEntryBitsMask;
    if ((entry & kEntryLiteral) == 0 || codeLength > in.count) {
      read = false;
      break;
    }
    consume(in, codeLength);
    const std::uint32_t symbol = entry >> 16;
    if (symbol < 16) {
      lengths[position++] = static_cast<std::uint8_t>(symbol);
      continue;
    }
    // 16: the previous length 3..6 times; 17: 3..10 zeros; 18: 11..138 zeros.
    const std::uint32_t extraBits = symbol == 16 ? 2 : symbol == 17 ? 3 : kMostExtraBits;
    if (extraBits > in.count || (symbol == 16 && position == 0)) {
      read = false;
      break;
    }
    const std::uint32_t repeat =
        (symbol == 18 ? 11 : 3) + static_cast<std::uint32_t>(in.bits & ((1u << extraBits) - 1));
    consume(in, extraBits);
    if (repeat > count - position) {
      read = false;
      break;
    }
    std::memset(lengths + position, symbol == 16 ? lengths[position - 1] : 0, repeat);
    position += repeat;
  }
  input = in;
  return read;
}

// BTYPE 2: the code-length code, then the literal/length and distance code lengths.
bool readDynamicHeader(BitReader& input) noexcept {
  InflateState& state = inflateState;
  std::uint32_t hlit = 0;
  std::uint32_t hdist = 0;
  std::uint32_t hclen = 0;
  if (!readBits(input, 5, hlit) || !readBits(input, 5, hdist) || !readBits(input, 4, hclen)) {
    return false;
  }

  DynamicTables* const tables = dynamicTables();
  if (tables == nullptr) return false;
  std::array<std::uint8_t, kCodeLengthSymbolCount> codeLengthLengths{};
  for (std::uint32_t i = 0; i < hclen + 4; ++i) {
    std::uint32_t length = 0;
    if (!readBits(input, 3, length)) return false;
    codeLengthLengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(length);
  }
  if (!buildHuffmanTable(tables->codeLengthTable, TableKind::kCodeLength, kMaxCodeLengthCodeLength,
                         kCodeLengthSymbolCount, codeLengthLengths.data())) {
    return false;
  }

  const std::uint32_t literalCount = hlit + 257;  // up to 288; 286 and 287 fail when decoded
  const std::uint32_t distanceCount = hdist + 1;  // up to 32; 30 and 31 fail when decoded
  // The literal/length lengths and then the distance lengths, read as one sequence.
  std::array<std::uint8_t, kLiteralSymbolCount + kDistanceSymbolCount> lengths{};
  if (!readCodeLengths(tables->codeLengthTable, input, lengths.data(),
                       literalCount + distanceCount)) {
    return false;
  }
  if (!buildHuffmanTable(tables->literalTable, TableKind::kLiteralLength, kMaxCodeLength,
                         literalCount, lengths.data()) ||
      !buildHuffmanTable(tables->distanceTable, TableKind::kDistance, kMaxCodeLength, distanceCount,
                         lengths.data() + literalCount)) {
    return false;
  }
  // Pairing costs about as much as decoding a few kilobytes, so it is left out near the end of
  // the input (all through a small stream), where the block cannot be long.
  if (input.end - input.next >= kPairLiteralsMinInput) {
#if POW2BMP_X86_SIMD
    if (useAvx2()) {
      pairLiteralsAvx2(tables->literalTable);
    } else {
      pairLiterals(tables->literalTable);
    }
#else
    pairLiterals(tables->literalTable);
#endif
  }
  state.literalCode = &tables->literalTable;
  state.distanceCode = &tables->distanceTable;
  state.storedBlock = false;
  state.storedRemaining = 0;
  return true;
}

// Reads the header of the next block and prepares it. False on BTYPE 3, a stored block whose
// NLEN is not the complement of LEN, a bad dynamic header, or missing input.
bool readBlockHeader(BitReader& input) noexcept {
  InflateState& state = inflateState;
  state.bitMode = true;
  std::uint32_t bfinal = 0;
  std::uint32_t btype = 0;
  if (!readBits(input, 1, bfinal) || !readBits(input, 2, btype)) return false;
  state.finalBlock = bfinal != 0;
  switch (btype) {
    case 0: {  // stored
      leaveBitMode(input);
      if (input.end - input.next < 4) {
        input.next = input.end;
        return false;
      }
      const ByteSpan field(input.next, 4);
      input.next += 4;
      const std::uint16_t len = readLe16(field, 0);   // LEN
      const std::uint16_t nlen = readLe16(field, 2);  // NLEN
      if (nlen != static_cast<std::uint16_t>(~len)) return false;
      state.storedBlock = true;
      state.storedRemaining = len;  // may be 0: the block ends at once
      return true;
    }
    case 1:  // fixed Huffman codes
      state.literalCode = &kFixedLiteralTable;
      state.distanceCode = &kFixedDistanceTable;
      state.storedBlock = false;
      state.storedRemaining = 0;
      return true;
    case 2:
      return readDynamicHeader(input);
    default:  // BTYPE 3 is reserved
      return false;
  }
}

// Reads the four-byte Adler-32 trailer, most significant byte first, and compares it.
bool checkTrailer(BitReader& input) noexcept {
  leaveBitMode(input);
  if (input.end - input.next < 4) {
    input.next = input.end;
    return false;
  }
  const std::uint32_t trailer = readBe32(ByteSpan(input.next, 4), 0);
  input.next += 4;
  return trailer == inflateState.adler;
}

// --- Output -------------------------------------------------------------------------------------

// Adler-32 of `adler` continued over count bytes, with the modulo taken once per kAdlerBlock.
std::uint32_t updateAdlerPortable(std::uint32_t adler, const std::uint8_t* bytes,
                                  std::size_t count) noexcept {
  std::uint32_t s1 = adler & 0xFFFF;
  std::uint32_t s2 = adler >> 16;
  while (count != 0) {
    std::size_t block = count < kAdlerBlock ? count : kAdlerBlock;
    count -= block;
    // 16 bytes at a time: s2 gains 16 * s1 plus each byte weighted by the sums it enters.
    while (block >= 16) {
      std::uint32_t sum = 0;
      std::uint32_t weighted = 0;
      for (std::uint32_t i = 0; i < 16; ++i) {
        sum += bytes[i];
        weighted += (16 - i) * bytes[i];
      }
      s2 += 16 * s1 + weighted;
      s1 += sum;
      bytes += 16;
      block -= 16;
    }
    while (block-- != 0) {
      s1 += *bytes++;
      s2 += s1;
    }
    s1 %= kAdlerModulus;
    s2 %= kAdlerModulus;
  }
  return s2 << 16 | s1;
}

#if POW2BMP_X86_SIMD
// The vector forms take whole chunks of 32 bytes (two SSE2 registers) or 64 (two AVX2), at most
// kAdlerBlock bytes between two reductions, and leave the tail to the portable form. Per chunk of N
// bytes b[i], s2 gains N * s1 + sum (N - i) * b[i] and s1 gains sum b[i]: lane sums of the bytes
// (psadbw), of the running s1 before each chunk, and of the weighted bytes (pmaddwd) are added up
// at the end of each block. Every lane sum is part of a total that stays below 2^32 within a block.

inline std::uint32_t sumLanes(__m128i v) noexcept {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
}

// The lane sums of `chunks` whole chunks from bytes on.
struct AdlerLaneSums {
  std::uint32_t bytes = 0;     // sum of the bytes
  std::uint32_t prior = 0;     // sum, over the chunks, of the byte sums of the chunks before it
  std::uint32_t weighted = 0;  // sum of (chunk bytes - i) * b[i] within each chunk
};

// Two 16-byte halves per 32-byte chunk, so both vector forms sum chunks of the same size.
struct AdlerSse2 {
  static constexpr std::size_t kChunkBytes = 32;
  static constexpr std::size_t kAlignment = 1;  // any start
  static AdlerLaneSums sums(const std::uint8_t* bytes, std::size_t chunks) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i weights[4] = {_mm_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25),
                                _mm_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17),
                                _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9),
                                _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1)};
    __m128i byteSums = zero, priorSums = zero, weighted = zero;
    for (; chunks != 0; --chunks, bytes += kChunkBytes) {
      priorSums = _mm_add_epi32(priorSums, byteSums);
      for (int half = 0; half < 2; ++half) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * half));
        byteSums = _mm_add_epi32(byteSums, _mm_sad_epu8(v, zero));
        weighted =
            _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), weights[2 * half]));
        weighted = _mm_add_epi32(weighted,
                                 _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), weights[2 * half + 1]));
      }
    }
    return {sumLanes(byteSums), sumLanes(priorSums), sumLanes(weighted)};
  }
};

__attribute__((target("avx2"))) inline std::uint32_t foldLanes(__m256i v) noexcept {
  return sumLanes(_mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

// Chunks of 64 bytes, best from a 32-byte aligned start (a load across two cache lines costs
// twice): the bytes at each position of the chunk are summed over the chunks as 16-bit lanes (at
// most 255 times 86 chunks, the most a block holds) and weighted only once, at the end.
struct AdlerAvx2 {
  static constexpr std::size_t kChunkBytes = 64;
  static constexpr std::size_t kAlignment = 32;
  __attribute__((target("avx2"))) static AdlerLaneSums sums(const std::uint8_t* bytes,
                                                            std::size_t chunks) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    __m256i byteSums = zero;
    __m256i priorSums = zero;
    // Position sums: bytes 0..7 and 16..23 of the first 32, 8..15 and 24..31, then the same of
    // the second 32 (the unpacking works within each 16-byte half).
    __m256i positionSums[4] = {zero, zero, zero, zero};
    do {
      const auto* const vectors = reinterpret_cast<const __m256i*>(bytes);
      const __m256i first = _mm256_loadu_si256(vectors);
      const __m256i second = _mm256_loadu_si256(vectors + 1);
      priorSums = _mm256_add_epi32(priorSums, byteSums);
      byteSums = _mm256_add_epi32(
          byteSums, _mm256_add_epi32(_mm256_sad_epu8(first, zero), _mm256_sad_epu8(second, zero)));
      positionSums[0] = _mm256_add_epi16(positionSums[0], _mm256_unpacklo_epi8(first, zero));
      positionSums[1] = _mm256_add_epi16(positionSums[1], _mm256_unpackhi_epi8(first, zero));
      positionSums[2] = _mm256_add_epi16(positionSums[2], _mm256_unpacklo_epi8(second, zero));
      positionSums[3] = _mm256_add_epi16(positionSums[3], _mm256_unpackhi_epi8(second, zero));
      bytes += kChunkBytes;
    } while (--chunks != 0);
    // Each position j of the chunk weighs 64 - j.
    const __m256i weights[4] = {
        _mm256_setr_epi16(64, 63, 62, 61, 60, 59, 58, 57, 48, 47, 46, 45, 44, 43, 42, 41),
        _mm256_setr_epi16(56, 55, 54, 53, 52, 51, 50, 49, 40, 39, 38, 37, 36, 35, 34, 33),
        _mm256_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25, 16, 15, 14, 13, 12, 11, 10, 9),
        _mm256_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17, 8, 7, 6, 5, 4, 3, 2, 1)};
    __m256i weighted = zero;
    for (int i = 0; i < 4; ++i) {
      weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(positionSums[i], weights[i]));
    }
    return {foldLanes(byteSums), foldLanes(priorSums), foldLanes(weighted)};
  }
};

// Blocks of at most kAdlerBlock bytes in whole chunks through the vector form, reduced after
// each block; the tail through the portable form.
template <class Vector>
std::uint32_t updateAdlerVector(std::uint32_t adler, const std::uint8_t* bytes,
                                std::size_t count) noexcept {
  constexpr std::size_t kChunk = Vector::kChunkBytes;
  std::uint32_t s1 = adler & 0xFFFF;
  std::uint32_t s2 = adler >> 16;
  if constexpr (Vector::kAlignment > 1) {
    // The bytes before the first aligned one through the portable form, when enough follow.
    const std::size_t head = -reinterpret_cast<std::uintptr_t>(bytes) & (Vector::kAlignment - 1);
    if (head != 0 && count >= 4 * kChunk) {
      const std::uint32_t sums = updateAdlerPortable(s2 << 16 | s1, bytes, head);
      s1 = sums & 0xFFFF;
      s2 = sums >> 16;
      bytes += head;
      count -= head;
    }
  }
  while (count >= kChunk) {
    const std::size_t chunks = (count < kAdlerBlock ? count : kAdlerBlock) / kChunk;
    const AdlerLaneSums lanes = Vector::sums(bytes, chunks);
    count -= chunks * kChunk;
    bytes += chunks * kChunk;
    s2 += static_cast<std::uint32_t>(kChunk * chunks) * s1 +
          static_cast<std::uint32_t>(kChunk) * lanes.prior + lanes.weighted;
    s1 += lanes.bytes;
    s1 %= kAdlerModulus;
    s2 %= kAdlerModulus;
  }
  return updateAdlerPortable(s2 << 16 | s1, bytes, count);
}

#endif

using AdlerFunction = std::uint32_t (*)(std::uint32_t, const std::uint8_t*, std::size_t) noexcept;

AdlerFunction chooseAdler() noexcept {
  if (codePath() == CodePath::kPortable) return &updateAdlerPortable;
#if POW2BMP_X86_SIMD
  if (useAvx2()) return &updateAdlerVector<AdlerAvx2>;
  return &updateAdlerVector<AdlerSse2>;
#else
  return &updateAdlerPortable;
#endif
}

std::uint32_t updateAdler(std::uint32_t adler, const std::uint8_t* bytes,
                          std::size_t count) noexcept {
  return chooseAdler()(adler, bytes, count);
}

// Copies kStep bytes at a time from source to out until out reaches stop (it may pass it by up to
// kStep - 1 bytes); source lies at least kStep bytes before out, so each step reads only bytes
// written before it.
template <std::size_t kStep>
[[gnu::always_inline]] inline void copyInSteps(std::uint8_t* out, const std::uint8_t* source,
                                               const std::uint8_t* stop) noexcept {
  do {
    std::memcpy(out, source, kStep);
    out += kStep;
    source += kStep;
  } while (out < stop);
}

// Writes count bytes at out copied from distance bytes back (distance 1..out - window; the
// source may overlap the bytes written). May also write up to kCopyOvershoot - 1 bytes past the
// end.
[[gnu::always_inline]] inline void copyMatch(std::uint8_t* out, std::uint32_t distance,
                                             std::uint32_t count) noexcept {
  const std::uint8_t* source = out - distance;
  std::uint8_t* const stop = out + count;
  if (distance >= 32) {
    // The first 64 bytes without a test: nearly all matches are shorter, and the loop's exit is
    // then not to be predicted. One 32-byte load and store each where the instructions allow.
    std::memcpy(out, source, 32);
    std::memcpy(out + 32, source + 32, 32);
    if (out + 64 < stop) copyInSteps<32>(out + 64, source + 64, stop);
  } else if (distance >= 16) {
    std::memcpy(out, source, 16);
    std::memcpy(out + 16, source + 16, 16);
    std::memcpy(out + 32, source + 32, 16);
    std::memcpy(out + 48, source + 48, 16);
    if (out + 64 < stop) copyInSteps<16>(out + 64, source + 64, stop);
  } else if (distance >= 8) {
    std::memcpy(out, source, 8);
    std::memcpy(out + 8, source + 8, 8);
    std::memcpy(out + 16, source + 16, 8);
    std::memcpy(out + 24, source + 24, 8);
    if (out + 32 < stop) copyInSteps<8>(out + 32, source + 32, stop);
  } else if (distance == 1) {
    // Runs are long (whole rows of one colour): 32 bytes a store, the first 64 without a test.
    std::uint8_t run[32];
    std::memset(run, *source, sizeof run);
    std::memcpy(out, run, 32);
    std::memcpy(out + 32, run, 32);
    for (out += 64; out < stop; out += 32) std::memcpy(out, run, 32);
  } else if constexpr (std::endian::native == std::endian::little) {
    // Distances 2..7: the first 8 bytes one by one; they hold the repeating pattern from its
    // start, so that word is stored again every `step` bytes (the largest multiple of the
    // distance up to 8), without reading back what was just written.
    for (int i = 0; i < 8; ++i) out[i] = source[i];
    std::uint64_t pattern = 0;
    std::memcpy(&pattern, out, 8);
    constexpr std::uint8_t kPatternStep[8] = {0, 0, 8, 6, 8, 5, 6, 7};  // distance * (8 / distance)
    const std::uint32_t step = kPatternStep[distance];
    out += step;
    while (out < stop) {
      std::memcpy(out, &pattern, 8);
      out += step;
    }
  } else {
    // Distances 2..7: the first 8 bytes one by one, then whole words from the nearest multiple
    // of the distance that is at least 8 back (at most 14), where the bytes repeat as well.
    for (int i = 0; i < 8; ++i) out[i] = source[i];
    const std::uint32_t period = distance * ((8 + distance - 1) / distance);
    out += 8;
    while (out < stop) {
      std::memcpy(out, out - period, 8);
      out += 8;
    }
  }
}

// copyMatch for a match that ends near outEnd, where nothing may be written past outEnd: byte by
// byte when fewer than kCopyOvershoot bytes would be left after it.
[[gnu::always_inline]] inline void copyMatchWithin(std::uint8_t* out, std::uint32_t distance,
                                                   std::uint32_t count,
                                                   const std::uint8_t* outEnd) noexcept {
  if (outEnd - (out + count) >= static_cast<std::ptrdiff_t>(kCopyOvershoot)) {
    copyMatch(out, distance, count);
    return;
  }
  const std::uint8_t* source = out - distance;
  for (std::uint32_t i = 0; i < count; ++i) out[i] = source[i];
}

// Bits a length or distance takes: the code of its lookup entry and the extra bits after it.
constexpr std::uint32_t matchFieldBits(std::uint32_t entry) noexcept {
  return entry & kEntryBitsMask;
}

// A length or distance: the base of its lookup entry plus the extra bits that follow the code,
// least significant first. Consumes the code and the extra bits, which must be in `input`.
[[gnu::always_inline]] inline std::uint32_t readMatchField(BitReader& input,
                                                           std::uint32_t entry) noexcept {
  const std::uint64_t held = input.bits;
  const std::uint32_t fieldBits = entry & kEntryBitsMask;
  const std::uint32_t codeLength = (entry >> kEntryCodeLengthShift) & 0xF;
  consume(input, fieldBits);
  const auto extra =
      static_cast<std::uint32_t>((held & ((std::uint64_t{1} << fieldBits) - 1)) >> codeLength);
  return (entry >> 16) + extra;
}

// The match distance of a distance entry, its extra bits consumed; 0 (a failure) when the entry
// is no distance (no code, or 30, 31: entry 0, whose base is 0), its bits are not all held, or
// the distance reaches before the first of the `written` bytes of output.
[[gnu::always_inline]] inline std::uint32_t readDistance(BitReader& input, std::uint32_t entry,
                                                         bool held,
                                                         std::ptrdiff_t written) noexcept {
  if (!held) return 0;
  const std::uint32_t distance = readMatchField(input, entry);
  return std::uint64_t{distance} - 1 >= static_cast<std::uint64_t>(written) ? 0 : distance;
}

enum class Stop { kOutputFull, kNearInputEnd, kBlockEnded, kFailed };

// The symbol that is neither a literal nor a length: the end of the block, its code consumed,
// when it is 256 and its code is wholly held; otherwise (no code, 286, 287) a failure.
[[gnu::always_inline]] inline Stop endBlock(BitReader& input, std::uint32_t entry,
                                            std::uint32_t codeLength, bool codeHeld) noexcept {
  if ((entry & kEntryEndOfBlock) == 0 || !codeHeld) return Stop::kFailed;
  consume(input, codeLength);
  return Stop::kBlockEnded;
}

// Decodes symbols of the current Huffman block into out .. outEnd, moving out along. Unchecked,
// it leaves with kNearInputEnd while fewer than 8 input bytes are left to load, since each
// symbol with its match uses at most 48 of the 56 bits a full refill gives. Checked, it tests
// every field against the bits left.
template <bool kChecked>
Stop decodeHuffman(BitReader& input, const std::uint8_t* window, std::uint8_t*& out,
                   std::uint8_t* outEnd) noexcept {
  InflateState& state = inflateState;
  const HuffmanTable& literals = *state.literalCode;
  const HuffmanTable& distances = *state.distanceCode;
  constexpr std::uint64_t literalMask = (std::uint64_t{1} << kLiteralLookupBits) - 1;
  constexpr std::uint64_t distanceMask = (std::uint64_t{1} << kDistanceLookupBits) - 1;
  BitReader in = input;  // local copies, so the loop keeps them in registers
  std::uint8_t* o = out;
  Stop stop = Stop::kOutputFull;
  while (o < outEnd) {
    if constexpr (!kChecked) {
      if (in.end - in.next < 8) {
        stop = Stop::kNearInputEnd;
        break;
      }
    }
    refill(in);
    std::uint32_t entry = literals.lookup[in.bits & literalMask];
    if constexpr (!kChecked) {
      // Up to three literals per refill: 3 * 15 bits fit in the 56 it gives.
      if ((entry & kEntryLiteral) != 0) {
        consumeLiteral(in, entry);
        *o++ = static_cast<std::uint8_t>(entry >> 16);
        if (o == outEnd) break;
        entry = literals.lookup[in.bits & literalMask];
        if ((entry & kEntryLiteral) != 0) {
          consumeLiteral(in, entry);
          *o++ = static_cast<std::uint8_t>(entry >> 16);
          if (o == outEnd) break;
          entry = literals.lookup[in.bits & literalMask];
          if ((entry & kEntryLiteral) != 0) {
            consumeLiteral(in, entry);
            *o++ = static_cast<std::uint8_t>(entry >> 16);
            continue;
          }
        }
        // A match needs up to 48 bits: refill first (entry stays valid, nothing was consumed).
        if (in.end - in.next < 8) {
          stop = Stop::kNearInputEnd;
          break;
        }
        refill(in);
      }
    }
    if ((entry & kEntryLong) != 0) {
      entry = longCodeEntry(literals.lookup.data(), entry, in.bits, kLiteralLookupBits);
    }
    const std::uint32_t codeLength = entry & kEntryBitsMask;
    if ((entry & kEntryLiteral) != 0) {
      // One literal at a time here, the first of a pair.
      if (kChecked && firstLiteralCodeLength(entry) > in.count) {
        stop = Stop::kFailed;
        break;
      }
      consumeLiteral(in, entry);
      *o++ = static_cast<std::uint8_t>(entry >> 16);
      continue;
    }
    if ((entry & kEntryMatch) != 0) {
      if (kChecked && matchFieldBits(entry) > in.count) {
        stop = Stop::kFailed;
        break;
      }
      const std::uint32_t length = readMatchField(in, entry);

      const std::uint32_t distanceEntry = lookupDistance(distances.lookup.data(), distanceMask, in);
      const std::uint32_t distance = readDistance(
          in, distanceEntry, !kChecked || matchFieldBits(distanceEntry) <= in.count, o - window);
      if (distance == 0) {
        stop = Stop::kFailed;
        break;
      }

      const auto room = static_cast<std::uint32_t>(outEnd - o);
      const std::uint32_t now = length < room ? length : room;
      copyMatchWithin(o, distance, now, outEnd);
      o += now;
      if (now < length) {  // the rest goes on in the next call
        state.copyRemaining = length - now;
        state.copyDistance = distance;
      }
      continue;
    }
    stop = endBlock(in, entry, codeLength, !kChecked || codeLength <= in.count);
    break;
  }
  input = in;
  out = o;
  return stop;
}

// Output room and input bytes the fast loop needs before each step: two pairs of literals and the
// longest match after them with the overshoot of its copy (so nothing is written past outEnd),
// and input for the word refill that may precede the step and the two it may make itself (each
// moves on at most 7 bytes and reads 8).
constexpr std::ptrdiff_t kFastOutputRoom = 4 + 258 + kCopyOvershoot;

// Writes the one or two literals of a literal entry at out and moves out past them. Always
// stores two bytes: after a single literal the second is a zero that the next output overwrites.
[[gnu::always_inline]] inline void putLiterals(std::uint8_t*& out, std::uint32_t entry) noexcept {
  const auto pair = static_cast<std::uint16_t>(entry >> 16);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &pair, 2);
  } else {
    out[0] = static_cast<std::uint8_t>(pair);
    out[1] = static_cast<std::uint8_t>(pair >> 8);
  }
  out += 1 + ((entry >> kEntryTwoLiteralsShift) & 1);
}
constexpr std::ptrdiff_t kFastInputBytes = 24;

// The bulk of a Huffman block: the same decoding as decodeHuffman, while at least
// kFastOutputRoom bytes of output and kFastInputBytes of input are left, so that neither end is
// tested within a symbol and a match is always copied whole (its word copies stay before
// outEnd). The literal/length entry of the next symbol is looked
// up before the match in hand is copied. Leaves with kNearInputEnd when either end comes near;
// decodeHuffman takes over from there with the bits held.
[[gnu::always_inline]] inline Stop decodeHuffmanFastBody(BitReader& input,
                                                         const std::uint8_t* window,
                                                         std::uint8_t*& out,
                                                         std::uint8_t* outEnd) noexcept {
  const InflateState& state = inflateState;
  const HuffmanTable& literals = *state.literalCode;
  const HuffmanTable& distances = *state.distanceCode;
  const std::uint32_t* const literalLookup = literals.lookup.data();
  const std::uint32_t* const distanceLookup = distances.lookup.data();
  constexpr std::uint64_t literalMask = (std::uint64_t{1} << kLiteralLookupBits) - 1;
  constexpr std::uint64_t distanceMask = (std::uint64_t{1} << kDistanceLookupBits) - 1;
  BitReader in = input;
  std::uint8_t* o = out;
  Stop stop = Stop::kNearInputEnd;
  if (outEnd - o < kFastOutputRoom || in.end - in.next < kFastInputBytes) return stop;
  // The last positions from which a step may start.
  const std::uint8_t* const outputLast = outEnd - kFastOutputRoom;
  const std::uint8_t* const inputLast = in.end - kFastInputBytes;
  refillWord(in);
  std::uint32_t entry = literalLookup[in.bits & literalMask];
  for (;;) {
    // Here 56 or more bits are held and entry is the lookup of the next ones.
    if ((entry & kEntryLiteral) != 0) {
      // Up to three literal entries of one or two literals each: 3 * 11 bits fit in the 56 held.
      consumeLiteralLoose(in, entry);
      putLiterals(o, entry);
      entry = literalLookup[in.bits & literalMask];
      if ((entry & kEntryLiteral) != 0) {
        consumeLiteralLoose(in, entry);
        putLiterals(o, entry);
        entry = literalLookup[in.bits & literalMask];
        if ((entry & kEntryLiteral) != 0) {
          consumeLiteralLoose(in, entry);
          putLiterals(o, entry);
          if (o > outputLast || in.next > inputLast) break;
          // The next lookup before the refill, off its path: at most 33 bits were taken since
          // the last one, so the 11 looked up are still held or copies of the input after them.
          entry = literalLookup[in.bits & literalMask];
          refillWord(in);
          continue;
        }
      }
      // Nothing of entry consumed yet: a match needs up to 48 bits, so refill first.
      refillWord(in);
    }
    if ((entry & kEntryMatch) == 0) {  // the rare symbols: first the longer codes
      if ((entry & kEntryLong) != 0) {
        entry = longCodeEntry(literalLookup, entry, in.bits, kLiteralLookupBits);
      }
      if ((entry & kEntryMatch) == 0) {
        const std::uint32_t codeLength = entry & kEntryBitsMask;
        if ((entry & kEntryLiteral) == 0) {
          stop = endBlock(in, entry, codeLength, true);
          break;
        }
        // a literal with a code longer than the lookup bits
        consume(in, codeLength);
        *o++ = static_cast<std::uint8_t>(entry >> 16);
        if (o > outputLast || in.next > inputLast) break;
        entry = literalLookup[in.bits & literalMask];
        refillWord(in);
        continue;
      }
    }
    const std::uint32_t length = readMatchField(in, entry);
    const std::uint32_t distance =
        readDistance(in, lookupDistance(distanceLookup, distanceMask, in), true, o - window);
    if (distance == 0) {
      stop = Stop::kFailed;
      break;
    }
    // As after three literals: at most 48 bits were taken since the last refill.
    entry = literalLookup[in.bits & literalMask];
    refillWord(in);
    copyMatch(o, distance, length);
    o += length;
    if (o > outputLast || in.next > inputLast) break;
  }
  in.count &= 63;
  input = in;
  out = o;
  return stop;
}

Stop decodeHuffmanFastPortable(BitReader& input, const std::uint8_t* window, std::uint8_t*& out,
                               std::uint8_t* outEnd) noexcept {
  return decodeHuffmanFastBody(input, window, out, outEnd);
}

#if POW2BMP_X86_SIMD
// The same loop compiled for BMI2 (shifts and masks by a variable count in one instruction).
__attribute__((target("bmi,bmi2"))) Stop decodeHuffmanFastBmi2(BitReader& input,
                                                               const std::uint8_t* window,
                                                               std::uint8_t*& out,
                                                               std::uint8_t* outEnd) noexcept {
  return decodeHuffmanFastBody(input, window, out, outEnd);
}

// And with AVX2 as well: a match copy moves 32 bytes with one load and one store.
__attribute__((target("avx2,bmi,bmi2"))) Stop decodeHuffmanFastAvx2(BitReader& input,
                                                                    const std::uint8_t* window,
                                                                    std::uint8_t*& out,
                                                                    std::uint8_t* outEnd) noexcept {
  return decodeHuffmanFastBody(input, window, out, outEnd);
}
#endif

Stop decodeHuffmanFast(BitReader& input, const std::uint8_t* window, std::uint8_t*& out,
                       std::uint8_t* outEnd) noexcept {
#if POW2BMP_X86_SIMD
  if (useAvx2() && useBmi2()) return decodeHuffmanFastAvx2(input, window, out, outEnd);
  if (useBmi2()) return decodeHuffmanFastBmi2(input, window, out, outEnd);
#endif
  return decodeHuffmanFastPortable(input, window, out, outEnd);
}

enum class Produced { kOutputFull, kFinalBlockEnded, kFailed };

// Fills out .. outEnd from the blocks of the stream, moving out along: matches and stored blocks
// in progress first, then symbols, reading the next block header after each block that is not
// the final one. Writes nothing past outEnd.
Produced produce(BitReader& input, const std::uint8_t* window, std::uint8_t*& out,
                 std::uint8_t* outEnd) noexcept {
  InflateState& state = inflateState;
  for (;;) {
    if (state.copyRemaining != 0) {  // match in progress
      const auto room = static_cast<std::uint32_t>(outEnd - out);
      const std::uint32_t now = state.copyRemaining < room ? state.copyRemaining : room;
      copyMatchWithin(out, state.copyDistance, now, outEnd);
      out += now;
      state.copyRemaining -= now;
      if (out == outEnd) return Produced::kOutputFull;
    }

    if (state.storedBlock) {  // stored block in progress
      if (state.storedRemaining != 0) {
        const auto room = static_cast<std::size_t>(outEnd - out);
        std::size_t now = state.storedRemaining < room ? state.storedRemaining : room;
        const auto available = static_cast<std::size_t>(input.end - input.next);
        const bool inputEnds = available < now;
        if (inputEnds) now = available;
        std::memcpy(out, input.next, now);
        out += now;
        input.next += now;
        if (inputEnds) return Produced::kFailed;
        state.storedRemaining = static_cast<std::uint16_t>(state.storedRemaining - now);
        if (state.storedRemaining != 0) return Produced::kOutputFull;
      }
      // block complete (an empty one at once): its end is handled in this call
      if (state.finalBlock) return Produced::kFinalBlockEnded;
      if (!readBlockHeader(input)) return Produced::kFailed;
      continue;
    }

    if (out == outEnd) return Produced::kOutputFull;
    Stop stop = decodeHuffmanFast(input, window, out, outEnd);
    if (stop == Stop::kNearInputEnd) stop = decodeHuffman<false>(input, window, out, outEnd);
    if (stop == Stop::kNearInputEnd) stop = decodeHuffman<true>(input, window, out, outEnd);
    if (stop == Stop::kOutputFull) return Produced::kOutputFull;
    if (stop == Stop::kFailed) return Produced::kFailed;
    if (state.finalBlock) return Produced::kFinalBlockEnded;
    if (!readBlockHeader(input)) return Produced::kFailed;
  }
}

// True when the stream can give no more output: the block in progress is the final one, a
// Huffman block whose next symbol is its end (its code wholly in the input), and no match is in
// progress. A later read then only decodes that end and checks the trailer, and never reads the
// history. The bits are looked at, not consumed.
bool onlyEndFollows(BitReader& input) noexcept {
  const InflateState& state = inflateState;
  if (!state.finalBlock || state.storedBlock || state.copyRemaining != 0) return false;
  refill(input);
  constexpr std::uint64_t literalMask = (std::uint64_t{1} << kLiteralLookupBits) - 1;
  const HuffmanTable& literals = *state.literalCode;
  std::uint32_t entry = literals.lookup[input.bits & literalMask];
  if ((entry & kEntryLong) != 0) {  // the end of a block often has one of the longest codes
    entry = longCodeEntry(literals.lookup.data(), entry, input.bits, kLiteralLookupBits);
  }
  return (entry & kEntryEndOfBlock) != 0 && (entry & kEntryBitsMask) <= input.count;
}

// Ends the stream after a failure: this call and every later one return 0.
std::uint32_t failStream(const BitReader& input) noexcept {
  closeInput(input);
  inflateState.streamOpen = false;
  return 0;
}

// Ends the stream where a read stopped before its output was full: after a failure, or after
// the final block when the trailer is wrong, 0 (the stream failed); otherwise `done`, the bytes
// the read delivered.
std::uint32_t endStream(Produced produced, BitReader& input, std::uint32_t done) noexcept {
  if (produced == Produced::kFailed || !checkTrailer(input)) return failStream(input);
  closeInput(input);
  inflateState.streamOpen = false;
  inflateState.streamEnded = true;
  return done;
}

// Decodes the next len bytes straight into dst, whose `history` bytes before it are the last
// ones the stream produced (all of them when fewer than kWindowSize), and keeps the last
// kWindowSize bytes in the window as the history of the next read, unless nothing but the end of
// the stream follows (as after the last row of a picture pulled in one read): the window then
// holds none, and the next read decodes into it (or straight into its dst) as at the start.
// Returns the bytes written, fewer than len when the stream ended or failed first.
std::uint32_t readDirect(BitReader& input, std::uint8_t* dst, std::uint32_t len,
                         std::uint32_t history) noexcept {
  InflateState& state = inflateState;
  const std::uint8_t* const first = dst - history;
  std::uint8_t* out = dst;
  std::uint8_t* const directEnd = dst + len;
  Produced produced = Produced::kOutputFull;
  while (out < directEnd) {
    std::uint8_t* const sliceStart = out;
    const auto left = static_cast<std::size_t>(directEnd - out);
    produced = produce(input, first, out, out + (left < kAdlerSlice ? left : kAdlerSlice));
    state.adler = updateAdler(state.adler, sliceStart, static_cast<std::size_t>(out - sliceStart));
    if (produced != Produced::kOutputFull) break;
  }
  const auto done = static_cast<std::uint32_t>(out - dst);
  if (produced != Produced::kOutputFull) return endStream(produced, input, done);
  state.writePos = 0;
  if (!onlyEndFollows(input)) {
    const std::uint32_t kept = history + done < kWindowSize ? history + done : kWindowSize;
    std::memcpy(state.window.get(), out - kept, kept);
    state.writePos = kept;
  }
  closeInput(input);
  return done;
}

// The history bytes the window holds: those before writePos, at most kWindowSize.
std::uint32_t historyHeld() noexcept {
  const std::uint32_t writePos = inflateState.writePos;
  return writePos < kWindowSize ? writePos : kWindowSize;
}

}  // namespace

bool inflateBegin() noexcept {
  InflateState& state = inflateState;
  state = InflateState{};  // every field idle, the previous window freed
  state.window = allocateArray<std::uint8_t>(kWindowBufferSize);
  if (!state.window) return false;

  BitReader input = openInput();
  bool headerValid = input.end - input.next >= 2;
  if (headerValid) {
    const std::uint8_t cmf = input.next[0];
    const std::uint8_t flg = input.next[1];
    input.next += 2;
    headerValid = (cmf & 0x0F) == 8 &&              // CM: deflate
                  (cmf >> 4) <= 7 &&                // CINFO: window up to 32768 bytes
                  (flg & 0x20) == 0 &&              // FDICT: no preset dictionary
                  (cmf * 256u + flg) % 31u == 0 &&  // FCHECK
                  readBlockHeader(input);
  } else {
    input.next = input.end;
  }
  closeInput(input);
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
  BitReader input = openInput();
  if (state.writePos == 0 && len >= kDirectMinimum) return readDirect(input, dst, len, 0);
  std::uint32_t done = 0;
  while (done < len) {
    if (state.writePos == kOutputLimit) {  // keep the last kWindowSize bytes as history
      std::memmove(state.window.get(), state.window.get() + kOutputLimit - kWindowSize,
                   kWindowSize);
      state.writePos = kWindowSize;
    }
    std::uint8_t* const window = state.window.get();
    std::uint8_t* const start = window + state.writePos;
    const std::uint32_t room = kOutputLimit - state.writePos;
    std::uint8_t* out = start;
    const Produced produced =
        produce(input, window, out, start + (len - done < room ? len - done : room));

    const auto count = static_cast<std::uint32_t>(out - start);
    state.adler = updateAdler(state.adler, start, count);
    std::memcpy(dst + done, start, count);
    done += count;
    state.writePos += count;
    if (produced != Produced::kOutputFull) return endStream(produced, input, done);
  }
  closeInput(input);
  return len;
}

std::uint32_t inflateReadDirect(std::uint8_t* dst, std::uint32_t len) noexcept {
  InflateState& state = inflateState;
  if (len == 0 || !state.streamOpen) return 0;
  const std::uint32_t history = historyHeld();
  std::memcpy(dst - history, state.window.get() + state.writePos - history, history);
  BitReader input = openInput();
  return readDirect(input, dst, len, history);
}

void inflateReleaseWindow() noexcept {
  inflateState.window.reset();
  inflateState.streamOpen = false;
}
