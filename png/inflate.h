#pragma once
// zlib stream decoder (RFC 1950 / RFC 1951) pulling from pngState.idatCursor .. idatEnd.
// Outside png/ only tests, fuzz targets and benchmarks include this header.

#include <array>
#include <cstdint>

#include "base/cpu_features.h"
#include "base/heap.h"

inline constexpr std::uint32_t kWindowSize = 32768;  // bytes of history, the DEFLATE maximum
inline constexpr std::uint32_t kOutputLimit =
    2 * kWindowSize;                                 // window bytes in use before a slide
inline constexpr std::uint32_t kCopyOvershoot = 64;  // bytes a match copy may write past its end
inline constexpr std::uint32_t kWindowBufferSize = kOutputLimit + kCopyOvershoot;
inline constexpr std::uint32_t kMaxCodeLength = 15;           // literal/length and distance codes
inline constexpr std::uint32_t kMaxCodeLengthCodeLength = 7;  // the code-length code
inline constexpr std::uint32_t kLiteralSymbolCount = 288;     // literal/length symbols 0..287
inline constexpr std::uint32_t kDistanceSymbolCount = 32;     // distance codes 0..31
inline constexpr std::uint32_t kCodeLengthSymbolCount = 19;   // code-length symbols 0..18
inline constexpr std::uint32_t kLiteralLookupBits = 11;       // lookup index bits, literal/length
inline constexpr std::uint32_t kDistanceLookupBits = 10;      // lookup index bits, distance
inline constexpr std::uint32_t kMaxLookupBits = kLiteralLookupBits;
// Entries of the second-level tables of codes longer than the lookup bits, at most: a table of
// 2^(15 - lookup bits) entries for each different start of such codes, and there are no more
// different starts than symbols. The literal/length code needs the most.
inline constexpr std::uint32_t kMaxSubtableEntries = kLiteralSymbolCount
                                                     << (kMaxCodeLength - kLiteralLookupBits);
static_assert(kMaxSubtableEntries >= kDistanceSymbolCount
                                         << (kMaxCodeLength - kDistanceLookupBits));

// A canonical Huffman decoding table. Codes up to lookupBits long are decoded by one lookup
// indexed with the next lookupBits input bits; a longer code by a second lookup, in the table its
// first entry points to, indexed with the bits after those. The array has its largest size, so
// building a table never allocates.
//
// A lookup entry holds in bits 0..5 the bits its symbol takes (the code, and for a length or
// distance the extra bits after it), a kind flag in bits 8..11, the code length alone in bits
// 12..15 (lengths and distances) and the value in bits 16..31: the literal byte (or the
// code-length symbol), or the base of a length or distance. 0 means no code, or a symbol that
// fails when decoded (286, 287, distances 30, 31). The entry of the first bits of longer codes
// holds instead the index bits of their second-level table in bits 0..5 and where in lookup it
// starts in bits 16..31.
struct HuffmanTable {
  std::uint32_t lookupBits = 1;  // index bits of lookup: always its kind's maximum
  // The first 2^lookupBits entries, indexed by the next input bits (first bit in bit 0); the
  // second-level tables after them. Not cleared when made: building the table writes every entry
  // a decode can reach.
  std::array<std::uint32_t, (1u << kMaxLookupBits) + kMaxSubtableEntries> lookup;
};

// The one zlib stream in progress. The input range lives in pngState (idatCursor, idatEnd).
// Every field defaults to its idle value, so inflateBegin starts from a default-constructed
// record and no field can keep a value from the previous stream.
struct InflateState {
  // kWindowBufferSize bytes: output is decoded here, history first. When writePos reaches
  // kOutputLimit the last kWindowSize bytes slide down to the start.
  HeapPtr<std::uint8_t[]> window;
  std::uint32_t writePos =
      0;  // where in window the next output byte goes; bytes before it are history
  std::uint32_t copyDistance = 0;     // distance of the match in progress
  std::uint32_t copyRemaining = 0;    // bytes of the match in progress still to produce (0 = none)
  bool storedBlock = false;           // the block in progress is a stored block
  std::uint16_t storedRemaining = 0;  // bytes of the stored block in progress still to copy
  std::uint32_t adler = 1;            // Adler-32 of the output so far: s2 << 16 | s1
  bool finalBlock = false;            // BFINAL of the block in progress
  bool streamOpen = false;            // set by inflateBegin; cleared when the stream ends or fails
  bool streamEnded = false;           // the final block ended and the trailer matched
  bool bitMode = false;               // input read as bits; set exactly when bitIndex >= 0
  std::int32_t bitIndex =
      -1;  // between calls: bits consumed of the byte at the cursor, 0..7; -1 in byte mode
  const HuffmanTable* literalCode = nullptr;   // literal/length code of the current block
  const HuffmanTable* distanceCode = nullptr;  // distance code of the current block
};

// The decoder of this thread.
extern thread_local InflateState inflateState;

// Checks the zlib header, prepares a window and reads the first block header; false when
// the header or the first block header is bad or memory runs out.
[[nodiscard]] bool inflateBegin() noexcept;

// Writes the next len decompressed bytes to dst and returns how many it wrote: len on success,
// fewer when the final block ends with a correct checksum first, 0 when the stream is bad or has
// already ended.
[[nodiscard]] std::uint32_t inflateRead(std::uint8_t* dst, std::uint32_t len) noexcept;

// inflateRead decoding straight into dst, which has kWindowSize bytes of room before it: the
// read first copies the stream's history there (the caller's bytes there are overwritten), so no
// output goes through the window. Fewer bytes are copied when the stream has produced fewer.
[[nodiscard]] std::uint32_t inflateReadDirect(std::uint8_t* dst, std::uint32_t len) noexcept;

// Releases the window of the stream (part of releasePngState); later reads return 0.
void inflateReleaseWindow() noexcept;
