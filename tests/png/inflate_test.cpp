#include "png/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <tuple>

#include "base/heap.h"
#include "png/decode_state.h"
#include "support/deflate_bits.h"

namespace {

constexpr std::uint8_t kUntouched = 0xEE;

// Points the decoder at one stream for the life of the object; releases the window afterwards.
class InflateSession {
 public:
  explicit InflateSession(Bytes stream) : input_(std::move(stream)) {
    pngState.idatCursor = input_.data();
    pngState.idatEnd = input_.data() + input_.size();
  }
  ~InflateSession() {
    inflateReleaseWindow();
    pngState.idatCursor = nullptr;
    pngState.idatEnd = nullptr;
  }
  InflateSession(const InflateSession&) = delete;
  InflateSession& operator=(const InflateSession&) = delete;

  [[nodiscard]] bool begin() { return inflateBegin(); }

  // Points the decoder at the start of the input again.
  void rewind() { pngState.idatCursor = input_.data(); }

  // One inflateRead of len bytes into a fresh buffer (kept in lastBuffer); the bytes it reports
  // are appended to output.
  std::uint32_t read(std::uint32_t len) {
    lastBuffer.assign(len, kUntouched);
    const std::uint32_t count = inflateRead(lastBuffer.data(), len);
    output.insert(output.end(), lastBuffer.begin(),
                  lastBuffer.begin() + static_cast<std::ptrdiff_t>(std::min(count, len)));
    return count;
  }

  [[nodiscard]] bool lastBufferUntouched() const {
    return std::all_of(lastBuffer.begin(), lastBuffer.end(),
                       [](std::uint8_t b) { return b == kUntouched; });
  }

  Bytes output;
  Bytes lastBuffer;

 private:
  Bytes input_;
};

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The two-byte zlib header and one final stored block holding "abc", with its trailer.
const Bytes kAbcStream = {0x78, 0x01, 0x01, 0x03, 0x00, 0xFC, 0xFF,
                          0x61, 0x62, 0x63, 0x02, 0x4D, 0x01, 0x27};
const Bytes kAbcSwappedTrailer = {0x78, 0x01, 0x01, 0x03, 0x00, 0xFC, 0xFF,
                                  0x61, 0x62, 0x63, 0x27, 0x01, 0x4D, 0x02};

// A final fixed-code block of literals followed by the end-of-block symbol.
Bytes fixedLiteralsBody(const Bytes& content) {
  DeflateBitWriter writer;
  writer.blockHeader(true, 1);
  for (const std::uint8_t b : content) writer.fixedLiteral(b);
  return writer.fixedLiteral(256).finish();
}

// Literal/length lengths with the given symbols set and all others 0.
std::vector<std::uint8_t> lengthsWith(
    std::size_t count, std::initializer_list<std::pair<unsigned, std::uint8_t>> set) {
  std::vector<std::uint8_t> lengths(count, 0);
  for (const auto& [symbol, length] : set) lengths[symbol] = length;
  return lengths;
}

// --- The worked stored stream ------------------------------------------------------------------

TEST(Inflate, WorkedStoredStreamDecodesInOneRead) {
  InflateSession session(kAbcStream);
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(3), 3u);
  EXPECT_EQ(session.output, text("abc"));
}

TEST(Inflate, WorkedStoredStreamDecodesInReadsOfTwoThenOne) {
  InflateSession session(kAbcStream);
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(2), 2u);
  EXPECT_EQ(session.read(1), 1u);
  EXPECT_EQ(session.output, text("abc"));
}

TEST(Inflate, StoredFinalBlockChecksTrailerInTheCallThatCopiesItsLastByte) {
  {
    InflateSession session(kAbcSwappedTrailer);
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(3), 0u);
  }
  {
    InflateSession session(kAbcSwappedTrailer);
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(2), 2u);
    EXPECT_EQ(session.read(1), 0u);
  }
}

TEST(Inflate, ReadBeyondStreamReturnsCountProducedWhenTrailerMatches) {
  InflateSession session(kAbcStream);
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(10), 3u);
  EXPECT_EQ(session.output, text("abc"));
}

TEST(Inflate, ZeroLengthReadReturnsZeroAndChangesNothing) {
  InflateSession session(kAbcStream);
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(0), 0u);
  EXPECT_EQ(session.read(2), 2u);
  EXPECT_EQ(session.read(0), 0u);
  EXPECT_EQ(session.read(1), 1u);
  EXPECT_EQ(session.output, text("abc"));
}

// --- Stream header -----------------------------------------------------------------------------

Bytes withHeader(std::uint8_t cmf, std::uint8_t flg) {
  Bytes stream = kAbcStream;
  stream[0] = cmf;
  stream[1] = flg;
  return stream;
}

class InflateAcceptsHeader
    : public ::testing::TestWithParam<std::pair<std::uint8_t, std::uint8_t>> {};

TEST_P(InflateAcceptsHeader, AndDecodesTheBlock) {
  InflateSession session(withHeader(GetParam().first, GetParam().second));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(3), 3u);
  EXPECT_EQ(session.output, text("abc"));
}

INSTANTIATE_TEST_SUITE_P(Inflate, InflateAcceptsHeader,
                         ::testing::Values(std::pair<std::uint8_t, std::uint8_t>{0x78, 0x9C},
                                           std::pair<std::uint8_t, std::uint8_t>{0x78, 0x01},
                                           std::pair<std::uint8_t, std::uint8_t>{0x78, 0xDA},
                                           std::pair<std::uint8_t, std::uint8_t>{0x08, 0x1D}));

class InflateRefusesHeader
    : public ::testing::TestWithParam<std::pair<std::uint8_t, std::uint8_t>> {};

TEST_P(InflateRefusesHeader, AtBegin) {
  InflateSession session(withHeader(GetParam().first, GetParam().second));
  EXPECT_FALSE(session.begin());
  EXPECT_EQ(session.read(3), 0u);
  EXPECT_TRUE(session.lastBufferUntouched());
}

INSTANTIATE_TEST_SUITE_P(
    Inflate, InflateRefusesHeader,
    ::testing::Values(std::pair<std::uint8_t, std::uint8_t>{0x88, 0x1C},    // CINFO 8
                      std::pair<std::uint8_t, std::uint8_t>{0xF8, 0x00},    // CINFO 15
                      std::pair<std::uint8_t, std::uint8_t>{0x78, 0xBB},    // FDICT
                      std::pair<std::uint8_t, std::uint8_t>{0x78, 0x00},    // FCHECK
                      std::pair<std::uint8_t, std::uint8_t>{0x79, 0x18},    // CM 9
                      std::pair<std::uint8_t, std::uint8_t>{0x77, 0x1E}));  // CM 7

TEST(Inflate, RefusesEmptyAndTooShortInput) {
  for (const Bytes& stream : {Bytes{}, Bytes{0x78}, Bytes{0x78, 0x01}}) {
    InflateSession session(stream);
    EXPECT_FALSE(session.begin()) << stream.size() << " bytes";
    EXPECT_EQ(session.read(1), 0u);
  }
}

TEST(Inflate, BeginFailsWhenWindowCannotBeAllocated) {
  InflateSession session(kAbcStream);
  failAllocationsAfter(0);
  const bool begun = session.begin();
  failAllocationsAfter(-1);
  EXPECT_FALSE(begun);
  EXPECT_EQ(session.read(3), 0u);
}

TEST(Inflate, BeginAllocatesAgainAfterEveryStream) {
  for (int i = 0; i < 3; ++i) {
    InflateSession session(kAbcStream);
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(1), 1u);
    session.rewind();
    ASSERT_TRUE(session.begin());  // a second begin replaces the window and starts over
    EXPECT_EQ(session.read(3), 3u);
    EXPECT_EQ(session.output, text("aabc"));
  }
}

// A stream left anywhere (inside a match, a stored block, a Huffman block, between bits) leaves
// nothing behind for the next begin: the next stream decodes in full, its checksum included.
TEST(Inflate, BeginStartsCleanAfterAStreamLeftAnywhere) {
  Bytes content;
  for (int i = 0; i < 3000; ++i) content.push_back(static_cast<std::uint8_t>((i * i) % 7 + 'a'));
  const Bytes next = text("the next stream, decoded after the first was left in the middle");
  const Bytes nextStream = compressWithZlib(next, 6, 15, Z_DEFAULT_STRATEGY);
  for (int level : {0, 1, 9}) {
    const Bytes stream = compressWithZlib(content, level, 15, Z_DEFAULT_STRATEGY);
    for (std::uint32_t stopAt : {1u, 2u, 7u, 100u, 1001u, 2999u}) {
      {
        InflateSession left(stream);
        ASSERT_TRUE(left.begin());
        ASSERT_EQ(left.read(stopAt), stopAt);
        pngState.idatCursor = nextStream.data();  // no release: begin must reset everything
        pngState.idatEnd = nextStream.data() + nextStream.size();
        ASSERT_TRUE(inflateBegin());
        Bytes out(next.size() + 1, kUntouched);
        EXPECT_EQ(inflateRead(out.data(), static_cast<std::uint32_t>(out.size())), next.size())
            << "level " << level << " left after " << stopAt;
        out.resize(next.size());
        EXPECT_EQ(out, next) << "level " << level << " left after " << stopAt;
      }
    }
  }
}

// --- Reads outside a stream ---------------------------------------------------------------------

TEST(Inflate, ReadAfterStoredStreamEndedReturnsZeroAndWritesNothing) {
  InflateSession session(kAbcStream);
  ASSERT_TRUE(session.begin());
  ASSERT_EQ(session.read(3), 3u);
  EXPECT_EQ(session.read(1), 0u);
  EXPECT_TRUE(session.lastBufferUntouched());
  EXPECT_EQ(session.read(50), 0u);
  EXPECT_TRUE(session.lastBufferUntouched());
}

TEST(Inflate, StreamEndingBeforeCallerHasAllBytesIsReadAgainAsZero) {
  const Bytes content = text("a short stream that ends before the caller has all its bytes");
  for (int level : {0, 6}) {  // stored and Huffman final blocks
    InflateSession session(compressWithZlib(content, level, 15, Z_DEFAULT_STRATEGY));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(100), content.size()) << "level " << level;
    EXPECT_EQ(session.output, content);
    EXPECT_EQ(session.read(100), 0u);
    EXPECT_TRUE(session.lastBufferUntouched());
    EXPECT_EQ(session.read(1), 0u);
  }
}

TEST(Inflate, ReadAfterFailedBeginOrReleasedWindowReturnsZero) {
  {
    InflateSession good(kAbcStream);
    ASSERT_TRUE(good.begin());  // leaves tables and state from a stream behind
  }
  InflateSession session(withHeader(0x78, 0xBB));
  EXPECT_FALSE(session.begin());
  EXPECT_EQ(session.read(3), 0u);

  InflateSession released(kAbcStream);
  ASSERT_TRUE(released.begin());
  inflateReleaseWindow();
  EXPECT_EQ(released.read(3), 0u);
  EXPECT_TRUE(released.lastBufferUntouched());
}

TEST(Inflate, ReadAfterFailureReturnsZero) {
  InflateSession session(kAbcSwappedTrailer);
  ASSERT_TRUE(session.begin());
  ASSERT_EQ(session.read(3), 0u);
  EXPECT_EQ(session.read(3), 0u);
  EXPECT_TRUE(session.lastBufferUntouched());
}

// --- End of a Huffman final block ---------------------------------------------------------------

enum class Trailer { kCorrect, kWrong, kMissing };

Bytes fixedAbcStream(Trailer trailer) {
  Bytes stream = zlibStream(fixedLiteralsBody(text("abc")), text("abc"));
  if (trailer == Trailer::kWrong) stream.back() ^= 1;
  if (trailer == Trailer::kMissing) stream.resize(stream.size() - 4);
  return stream;
}

TEST(Inflate, ReadingExactLengthOfHuffmanFinalBlockNeverReadsTrailer) {
  for (Trailer trailer : {Trailer::kCorrect, Trailer::kWrong, Trailer::kMissing}) {
    InflateSession session(fixedAbcStream(trailer));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(3), 3u);
    EXPECT_EQ(session.output, text("abc"));
  }
}

TEST(Inflate, OneMoreByteReachesEndOfBlockAndReturnsZeroWithAnyTrailer) {
  for (Trailer trailer : {Trailer::kCorrect, Trailer::kWrong, Trailer::kMissing}) {
    InflateSession session(fixedAbcStream(trailer));
    ASSERT_TRUE(session.begin());
    ASSERT_EQ(session.read(3), 3u);
    EXPECT_EQ(session.read(1), 0u);
    EXPECT_EQ(session.read(1), 0u);
  }
}

TEST(Inflate, MultiByteReadReachingEndOfBlockReturnsCountOnlyWhenTrailerMatches) {
  const std::pair<Trailer, std::uint32_t> cases[] = {
      {Trailer::kCorrect, 2u}, {Trailer::kWrong, 0u}, {Trailer::kMissing, 0u}};
  for (const auto& [trailer, expected] : cases) {
    InflateSession session(fixedAbcStream(trailer));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(1), 1u);
    EXPECT_EQ(session.read(5), expected);
    EXPECT_EQ(session.read(5), 0u);
  }
}

TEST(Inflate, HuffmanBlockPassesToNextBlockOnlyWhenEndOfBlockIsDecoded) {
  // Non-final fixed block "ab", then a stored block whose NLEN is wrong.
  DeflateBitWriter writer;
  writer.blockHeader(false, 1).fixedLiteral('a').fixedLiteral('b').fixedLiteral(256);
  writer.storedHeader(true, 1, 1).bytes({0x00});
  InflateSession session(zlibStream(writer.finish(), text("ab")));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(2), 2u);
  EXPECT_EQ(session.read(1), 0u);
}

// --- Stored blocks ------------------------------------------------------------------------------

// An empty stored block ends at once and the next block header follows; a final one ends the
// stream. Reads of one more byte than the content return its size only when the trailer matches.
TEST(Inflate, EmptyStoredBlocksProduceNothing) {
  DeflateBitWriter afterStored;  // handled in the call copying the "c"
  afterStored.storedBlock(false, text("abc")).storedBlock(false, {}).storedBlock(true, {});
  DeflateBitWriter afterHuffman;
  afterHuffman.blockHeader(false, 1).fixedLiteral('a').fixedLiteral('b').fixedLiteral(256);
  afterHuffman.storedBlock(false, {}).blockHeader(true, 1).fixedLiteral('c').fixedLiteral(256);
  DeflateBitWriter first;
  first.storedBlock(false, {}).storedBlock(false, {}).storedBlock(true, text("abc"));
  DeflateBitWriter finalAfterHuffman;
  finalAfterHuffman.blockHeader(false, 1).fixedLiteral('a').fixedLiteral('b').fixedLiteral('c');
  finalAfterHuffman.fixedLiteral(256).storedBlock(true, {});
  for (const DeflateBitWriter* writer : {&afterStored, &afterHuffman, &first, &finalAfterHuffman}) {
    for (const Bytes& trailerOf : {text("abc"), text("abd")}) {
      InflateSession session(zlibStream(writer->finish(), trailerOf));
      ASSERT_TRUE(session.begin());
      if (trailerOf == text("abc")) {
        EXPECT_EQ(session.read(4), 3u);
        EXPECT_EQ(session.output, text("abc"));
      } else {
        EXPECT_EQ(session.read(4), 0u);
      }
    }
  }
  {  // the stored block ending the output asked for is followed by an empty final one
    InflateSession session(zlibStream(afterStored.finish(), text("abd")));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(3), 0u);
  }
  {  // a stream of one empty final stored block
    InflateSession session(zlibStream(DeflateBitWriter().storedBlock(true, {}).finish(), {}));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(1), 0u);
    EXPECT_FALSE(inflateState.streamOpen);
  }
}

TEST(Inflate, RefusesStoredBlockWhoseNlenIsNotTheComplementOfLen) {
  InflateSession first(zlibStream(DeflateBitWriter().storedHeader(true, 3, 0xFFFD).finish(), {}));
  EXPECT_FALSE(first.begin());

  DeflateBitWriter writer;
  writer.storedBlock(false, text("abc")).storedHeader(true, 3, 0x0003).bytes(text("def"));
  InflateSession later(zlibStream(writer.finish(), text("abcdef")));
  ASSERT_TRUE(later.begin());
  EXPECT_EQ(later.read(3), 0u);
}

TEST(Inflate, RefusesReservedBlockType) {
  InflateSession first(zlibStream(DeflateBitWriter().blockHeader(true, 3).finish(), {}));
  EXPECT_FALSE(first.begin());

  DeflateBitWriter writer;
  writer.blockHeader(false, 1).fixedLiteral('a').fixedLiteral(256).blockHeader(true, 3);
  InflateSession later(zlibStream(writer.finish(), text("a")));
  ASSERT_TRUE(later.begin());
  EXPECT_EQ(later.read(1), 1u);
  EXPECT_EQ(later.read(1), 0u);
}

TEST(Inflate, StoredBlocksFollowOneAnotherAcrossCalls) {
  DeflateBitWriter writer;
  writer.storedBlock(false, text("abc"))
      .storedBlock(false, text("d"))
      .storedBlock(true, text("ef"));
  InflateSession session(zlibStream(writer.finish(), text("abcdef")));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(4), 4u);
  EXPECT_EQ(session.read(2), 2u);
  EXPECT_EQ(session.output, text("abcdef"));
}

// Leaving bit mode: after Huffman data, a stored block's LEN and the trailer start at the first
// byte of which no bit was used, for every bit position at which the Huffman data can end.
TEST(Inflate, StoredBlockAndTrailerAfterHuffmanDataStartAtTheNextWholeByte) {
  for (unsigned padding = 0; padding < 8; ++padding) {
    SCOPED_TRACE(padding);
    // Each 9-bit literal moves the end of the fixed block one bit further in its byte.
    const Bytes literals(padding, 200);
    DeflateBitWriter fixedHead;
    fixedHead.blockHeader(false, 1);
    for (const std::uint8_t b : literals) fixedHead.fixedLiteral(b);
    fixedHead.fixedLiteral(256);

    DeflateBitWriter middle = fixedHead;  // fixed, stored, fixed: bit mode is entered again
    middle.storedBlock(false, text("xyz")).blockHeader(true, 1).fixedLiteral('w').fixedLiteral(256);
    DeflateBitWriter last = fixedHead;  // fixed, then a final stored block and the trailer
    last.storedBlock(true, text("xyz"));
    DeflateBitWriter trailer;  // a final fixed block and the trailer
    trailer.blockHeader(true, 1);
    for (const std::uint8_t b : literals) trailer.fixedLiteral(b);
    trailer.fixedLiteral('w').fixedLiteral(256);

    const std::pair<DeflateBitWriter*, Bytes> cases[] = {{&middle, concat(literals, text("xyzw"))},
                                                         {&last, concat(literals, text("xyz"))},
                                                         {&trailer, concat(literals, text("w"))}};
    for (const auto& [writer, content] : cases) {
      InflateSession session(zlibStream(writer->finish(), content));
      ASSERT_TRUE(session.begin());
      const auto length = static_cast<std::uint32_t>(content.size());
      EXPECT_EQ(session.read(length + 1), length);
      EXPECT_EQ(session.output, content);
    }
  }
}

// --- Input ending early -------------------------------------------------------------------------

TEST(Inflate, InputEndingInsideStoredBlockFailsAtTheMissingByte) {
  DeflateBitWriter writer;
  writer.storedHeader(true, 10, static_cast<std::uint16_t>(~10u)).bytes(text("01234"));
  InflateSession session(concat({0x78, 0x01}, writer.finish()));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(5), 5u);
  EXPECT_EQ(session.read(1), 0u);
}

TEST(Inflate, InputEndingInsideHuffmanBlockFails) {
  const Bytes content = text("literals that run off the end of the input");
  Bytes stream = concat({0x78, 0x01}, fixedLiteralsBody(content));
  stream.resize(stream.size() - 10);  // no trailer, and the last literals cut off
  InflateSession session(stream);
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(static_cast<std::uint32_t>(content.size())), 0u);
}

TEST(Inflate, EveryTruncationOfAStreamFails) {
  std::mt19937 rng(7);
  Bytes content;
  const std::string words[] = {"scanline ", "filter ", "pixel ", "row ", "deflate ", "\n"};
  while (content.size() < 3000) {
    const std::string& word = words[rng() % 6];
    content.insert(content.end(), word.begin(), word.end());
  }
  const auto length = static_cast<std::uint32_t>(content.size());
  for (int level : {0, 1, 9}) {
    const Bytes stream = compressWithZlib(content, level, 15, Z_DEFAULT_STRATEGY);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
      InflateSession session(
          Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)));
      if (!session.begin()) {
        EXPECT_LT(cut, stream.size());
        continue;
      }
      const std::uint32_t count = session.read(length + 1);
      if (cut == stream.size()) {
        EXPECT_EQ(count, length);
        EXPECT_EQ(session.output, content);
      } else {
        EXPECT_EQ(count, 0u) << "level " << level << " cut at " << cut;
      }
    }
  }
}

TEST(Inflate, FlippedBitsNeverPassAsDifferentData) {
  const Bytes content = text(
      "The quick brown fox jumps over the lazy dog. The quick brown fox jumps again, and again, "
      "and again over the lazy dog, who does not mind at all.");
  const auto length = static_cast<std::uint32_t>(content.size());
  const Bytes stream = compressWithZlib(content, 9, 15, Z_DEFAULT_STRATEGY);
  for (std::size_t bit = 0; bit < stream.size() * 8; ++bit) {
    Bytes damaged = stream;
    damaged[bit / 8] = static_cast<std::uint8_t>(damaged[bit / 8] ^ (1u << (bit % 8)));
    InflateSession session(damaged);
    if (!session.begin()) continue;
    const std::uint32_t count = session.read(length + 1);
    if (count == length + 1) continue;  // longer data: the trailer was not reached
    if (count != 0) {  // the stream ended with a matching trailer: it must be the original
      EXPECT_EQ(count, length) << "bit " << bit;
      EXPECT_EQ(session.output, content) << "bit " << bit;
    }
    EXPECT_EQ(session.read(1), 0u);  // ended or failed
  }
}

// --- Matches ------------------------------------------------------------------------------------

TEST(Inflate, MatchAtVeryStartOfStreamFails) {
  DeflateBitWriter writer;
  writer.blockHeader(true, 1).fixedMatch(3, 1).fixedLiteral(256);
  InflateSession session(zlibStream(writer.finish(), Bytes(3, 0)));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(3), 0u);
}

TEST(Inflate, DistanceMayReachTheFirstByteButNotBeforeIt) {
  for (unsigned distance : {2u, 3u}) {
    DeflateBitWriter writer;
    writer.blockHeader(true, 1).fixedLiteral('a').fixedLiteral('b').fixedMatch(3, distance);
    writer.fixedLiteral(256);
    const Bytes content = text("ababa");
    InflateSession session(zlibStream(writer.finish(), content));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(2), 2u);
    if (distance == 2) {
      EXPECT_EQ(session.read(4), 3u);
      EXPECT_EQ(session.output, content);
    } else {
      EXPECT_EQ(session.read(3), 0u);
    }
  }
}

Bytes randomBytes(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes bytes(count);
  for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

// Matches of every length from 3 to 258 at each distance up to 70 (each way of copying, and
// the lengths around the bytes each copies without a test), one literal between two matches so
// that each starts at another point of the repeating pattern, read in one call (straight into the
// caller's buffer) and in pieces of 1 and 97 bytes (through the window), against the bytes copied
// one at a time.
TEST(Inflate, ShortDistanceMatchesOfEveryLengthRepeatTheBytesBehind) {
  for (unsigned distance = 1; distance <= 70; ++distance) {
    DeflateBitWriter writer;
    writer.blockHeader(true, 1);
    Bytes content;
    for (unsigned i = 0; i < distance; ++i) {
      content.push_back(static_cast<std::uint8_t>('a' + i));
      writer.fixedLiteral(content.back());
    }
    for (unsigned length = 3; length <= 258; ++length) {
      for (unsigned i = 0; i < length; ++i) content.push_back(content[content.size() - distance]);
      content.push_back(static_cast<std::uint8_t>('A' + length % 26));
      writer.fixedMatch(length, distance).fixedLiteral(content.back());
    }
    const Bytes stream = zlibStream(writer.fixedLiteral(256).finish(), content);
    const auto size = static_cast<std::uint32_t>(content.size());
    InflateSession whole(stream);
    ASSERT_TRUE(whole.begin());
    EXPECT_EQ(whole.read(size + 1), size) << "distance " << distance;
    EXPECT_EQ(whole.output, content) << "distance " << distance;
    InflateSession pieces(stream);
    ASSERT_TRUE(pieces.begin());
    for (std::uint32_t piece = 1; pieces.read(piece) == piece; piece = piece == 1 ? 97 : 1) {
    }
    EXPECT_EQ(pieces.output, content) << "distance " << distance;
  }
}

TEST(Inflate, DistanceOf32768CopiesTheByteWritten32768Earlier) {
  const Bytes history = randomBytes(32768, 1);
  DeflateBitWriter writer;
  writer.storedBlock(false, history).blockHeader(true, 1).fixedMatch(258, 32768).fixedLiteral(256);
  const Bytes content = concat(history, Bytes(history.begin(), history.begin() + 258));
  InflateSession session(zlibStream(writer.finish(), content));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(static_cast<std::uint32_t>(content.size() + 1)), content.size());
  EXPECT_EQ(session.output, content);
}

TEST(Inflate, DistanceOf32768FailsAfterOnly32767Bytes) {
  const Bytes history = randomBytes(32767, 2);
  DeflateBitWriter writer;
  writer.storedBlock(false, history).blockHeader(true, 1).fixedMatch(258, 32768).fixedLiteral(256);
  InflateSession session(zlibStream(writer.finish(), {}));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(32767), 32767u);
  EXPECT_EQ(session.read(1), 0u);
}

TEST(Inflate, MatchLongerThanTheReadGoesOnInTheNextCall) {
  DeflateBitWriter writer;
  writer.blockHeader(true, 1).fixedLiteral('x').fixedMatch(258, 1).fixedMatch(100, 1);
  writer.fixedLiteral('y').fixedLiteral(256);
  const Bytes content = concat(Bytes(359, 'x'), text("y"));
  InflateSession session(zlibStream(writer.finish(), content));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(2), 2u);
  EXPECT_EQ(session.read(100), 100u);
  EXPECT_EQ(session.read(200), 200u);
  EXPECT_EQ(session.read(100), 58u);
  EXPECT_EQ(session.output, content);
}

// --- Fixed blocks: symbols outside the code's range ---------------------------------------------

struct InvalidFixedSymbol {
  const char* name;
  void (*write)(DeflateBitWriter&);
};

void PrintTo(const InvalidFixedSymbol& symbol, std::ostream* out) { *out << symbol.name; }

class InflateFixedBlockFails : public ::testing::TestWithParam<InvalidFixedSymbol> {};

TEST_P(InflateFixedBlockFails, AtTheSymbol) {
  // 1000 bytes of history, so that the zero bits after the symbol would be a valid match
  // (extra bits 0, distance code 0) if the symbol were taken for a length.
  const Bytes history(1000, 'h');
  DeflateBitWriter writer;
  writer.storedBlock(false, history).blockHeader(true, 1).fixedLiteral('x').fixedLiteral('y');
  GetParam().write(writer);
  writer.bits(0, 32).bytes({0, 0, 0, 0});
  const Bytes stream = zlibStream(writer.finish(), concat(history, text("xy")));
  {
    InflateSession session(stream);
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(1000), 1000u);
    EXPECT_EQ(session.read(2), 2u);
    EXPECT_EQ(session.read(1), 0u);
  }
  {
    InflateSession session(stream);
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(1003), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inflate, InflateFixedBlockFails,
    ::testing::Values(
        InvalidFixedSymbol{"Literal286", [](DeflateBitWriter& w) { w.fixedLiteral(286); }},
        InvalidFixedSymbol{"Literal287", [](DeflateBitWriter& w) { w.fixedLiteral(287); }},
        InvalidFixedSymbol{"Distance30",
                           [](DeflateBitWriter& w) { w.fixedLiteral(257).code(30, 5); }},
        InvalidFixedSymbol{"Distance31",
                           [](DeflateBitWriter& w) { w.fixedLiteral(257).code(31, 5); }}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// --- Dynamic blocks -----------------------------------------------------------------------------

// Literal/length lengths of a code with 'a' (1 bit) and end-of-block (1 bit).
std::vector<CodeLengthItem> literalItemsForAAndEnd() {
  // 97 zeros, 'a' = 1, 158 zeros, 256 = 1
  return {{18, 86}, {1}, {18, 127}, {18, 9}, {1}};
}

// A final dynamic block with the given header items holding "a" and end-of-block.
Bytes dynamicABlock(unsigned literalCount, unsigned distanceCount,
                    const std::vector<CodeLengthItem>& items) {
  DeflateBitWriter writer;
  writer.blockHeader(true, 2).dynamicHeader(literalCount, distanceCount, uniformCodeLengthLengths(),
                                            items);
  writer.code(0, 1).code(1, 1);  // 'a', end of block
  return zlibStream(writer.finish(), text("a"));
}

std::vector<CodeLengthItem> join(std::vector<CodeLengthItem> a,
                                 const std::vector<CodeLengthItem>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void expectDecodesA(const Bytes& stream) {
  InflateSession session(stream);
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(2), 1u);
  EXPECT_EQ(session.output, text("a"));
}

// Decodes stream with ours in one call and with zlib; both must give content.
void expectDecodesAsZlibDoes(const Bytes& stream, const Bytes& content) {
  Bytes zlibOutput(content.size() + 16);
  uLongf zlibSize = static_cast<uLongf>(zlibOutput.size());
  ASSERT_EQ(
      uncompress(zlibOutput.data(), &zlibSize, stream.data(), static_cast<uLong>(stream.size())),
      Z_OK);
  zlibOutput.resize(zlibSize);
  EXPECT_EQ(zlibOutput, content);
  InflateSession session(stream);
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(static_cast<std::uint32_t>(content.size()) + 1), content.size());
  EXPECT_EQ(session.output, content);
}

// The literal/length and distance code lengths are one sequence: a repeat code may run from one
// into the other, and code 16 may begin the distance lengths, repeating the last literal/length
// length. Each block holds "ab" and a match of length 3 at distance 2: "ababa".
TEST(Inflate, RepeatCodesRunFromLiteralIntoDistanceLengths) {
  // 'a', 'b', end-of-block and length symbol 257 (length 3), two bits each.
  const std::vector<CodeLengthItem> literals = {{18, 86}, {2}, {2}, {18, 127}, {18, 8}, {2}, {2}};
  const HuffmanCode literalCode =
      HuffmanCode::fromLengths(lengthsWith(258, {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}}));
  // A complete code-length code, as zlib requires: 18 and 2 of two bits, 0, 1, 16, 17 of three.
  std::array<std::uint8_t, 19> codeLengthLengths{};
  for (const unsigned symbol : {18u, 2u}) codeLengthLengths[symbol] = 2;
  for (const unsigned symbol : {0u, 1u, 16u, 17u}) codeLengthLengths[symbol] = 3;
  const auto ababa = [&](unsigned literalCount, unsigned distanceCount,
                         const std::vector<CodeLengthItem>& distanceItems,
                         std::uint32_t distanceTwo, unsigned distanceBits) {
    DeflateBitWriter writer;
    writer.blockHeader(true, 2).dynamicHeader(literalCount, distanceCount, codeLengthLengths,
                                              join(literals, distanceItems));
    writer.symbol(literalCode, 'a').symbol(literalCode, 'b').symbol(literalCode, 257);
    writer.code(distanceTwo, distanceBits).symbol(literalCode, 256);  // distance code 1
    return zlibStream(writer.finish(), text("ababa"));
  };
  // 260 literal/length lengths: a run of three zeros covers 258, 259 and distance 0; distance
  // codes 1 and 2 have one bit each.
  expectDecodesAsZlibDoes(ababa(260, 3, {{17, 0}, {1}, {1}}, 0b0, 1), text("ababa"));
  // Code 16 first: distance codes 0..2 repeat the 2 bits of symbol 257, and 3 has 2 bits too.
  expectDecodesAsZlibDoes(ababa(258, 4, {{16, 0}, {2}}, 0b01, 2), text("ababa"));

  // 266 literal/length lengths (257..265 zero) and 3 distance lengths: 0, 0, 1.
  const auto literalsAEnd = literalItemsForAAndEnd();
  expectDecodesA(dynamicABlock(266, 3, join(literalsAEnd, {{18, 0}, {1}})));
  // A run from the literal/length lengths past the end of the distance lengths still fails.
  InflateSession refused(dynamicABlock(266, 3, join(literalsAEnd, {{18, 2}})));
  EXPECT_FALSE(refused.begin());
}

TEST(Inflate, Code16MayNotBeginTheLiteralLengths) {
  InflateSession session(dynamicABlock(257, 1, join({{16, 0}}, literalItemsForAAndEnd())));
  EXPECT_FALSE(session.begin());
}

TEST(Inflate, RepeatMayNotRunPastTheEndOfTheDistanceLengths) {
  const auto literals = literalItemsForAAndEnd();
  InflateSession refused(dynamicABlock(257, 3, join(literals, {{18, 0}})));
  EXPECT_FALSE(refused.begin());
  InflateSession refused16(dynamicABlock(257, 3, join(literals, {{1}, {16, 0}})));
  EXPECT_FALSE(refused16.begin());
}

TEST(Inflate, DynamicBlockWithoutDistanceCodesDecodesLiterals) {
  const auto literals = literalItemsForAAndEnd();
  expectDecodesA(dynamicABlock(257, 3, join(literals, {{17, 0}})));  // three zero lengths
  expectDecodesA(dynamicABlock(257, 1, join(literals, {{0}})));
}

TEST(Inflate, DynamicBlockWithoutDistanceCodesFailsAtAMatch) {
  // 'a', 'b', end-of-block and length symbol 257, two bits each; one distance length of 0.
  const auto lengths = lengthsWith(258, {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}});
  const HuffmanCode code = HuffmanCode::fromLengths(lengths);
  DeflateBitWriter writer;
  writer.blockHeader(true, 2).plainDynamicHeader(lengths, {0});
  writer.symbol(code, 'a').symbol(code, 'b').symbol(code, 257).bytes({0, 0, 0, 0});
  InflateSession session(zlibStream(writer.finish(), text("ab")));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(2), 2u);
  EXPECT_EQ(session.read(1), 0u);
}

TEST(Inflate, IncompleteCodesAreAcceptedAndUnusedCodesFail) {
  // 'a' = 0, end-of-block = 10, and 11 matches nothing; one distance code of 1 bit.
  const auto lengths = lengthsWith(257, {{'a', 1}, {256, 2}});
  DeflateBitWriter head;
  head.blockHeader(true, 2).plainDynamicHeader(lengths, {1});
  head.code(0, 1).code(0, 1);  // "aa"
  {
    DeflateBitWriter writer = head;
    writer.code(2, 2);
    InflateSession session(zlibStream(writer.finish(), text("aa")));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(3), 2u);
    EXPECT_EQ(session.output, text("aa"));
  }
  {
    DeflateBitWriter writer = head;
    writer.code(3, 2).code(0, 15).bytes({0, 0, 0, 0});
    InflateSession session(zlibStream(writer.finish(), text("aa")));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(2), 2u);
    EXPECT_EQ(session.read(1), 0u);
  }
}

// The longest codes of one block and of the next share their first 11 bits; the bits that
// were the last code of the first block match no code of the second and fail there.
TEST(Inflate, LongCodesOfAnEarlierBlockAreGoneInTheNext) {
  std::vector<std::uint8_t> first(257, 0);
  for (unsigned i = 0; i < 14; ++i) first['a' + i] = static_cast<std::uint8_t>(i + 1);
  first['o'] = 15;
  first[256] = 15;  // fifteen 1 bits
  std::vector<std::uint8_t> second(257, 0);
  for (unsigned i = 0; i < 11; ++i) second['a' + i] = static_cast<std::uint8_t>(i + 1);
  second[256] = 12;  // eleven 1 bits and a 0; eleven 1 bits and a 1 match nothing
  const HuffmanCode firstCode = HuffmanCode::fromLengths(first);
  const HuffmanCode secondCode = HuffmanCode::fromLengths(second);
  DeflateBitWriter writer;
  writer.blockHeader(false, 2).plainDynamicHeader(first, {1});
  writer.symbol(firstCode, 'n').symbol(firstCode, 256);
  writer.blockHeader(true, 2).plainDynamicHeader(second, {1});
  writer.symbol(secondCode, 'k').bits(0x7FFF, 15).bytes(Bytes(12, 0));
  InflateSession session(zlibStream(writer.finish(), text("nk")));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(2), 2u);
  EXPECT_EQ(session.output, text("nk"));
  EXPECT_EQ(session.read(1), 0u);
}

TEST(Inflate, SingleDistanceCodeOfOneBitDecodesMatches) {
  const auto lengths = lengthsWith(258, {{'a', 1}, {256, 2}, {257, 2}});
  const HuffmanCode code = HuffmanCode::fromLengths(lengths);
  DeflateBitWriter writer;
  writer.blockHeader(true, 2).plainDynamicHeader(lengths, {1});
  writer.symbol(code, 'a').symbol(code, 257).code(0, 1).symbol(code, 256);  // 'a', (3, 1)
  InflateSession session(zlibStream(writer.finish(), text("aaaa")));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(5), 4u);
  EXPECT_EQ(session.output, text("aaaa"));
}

TEST(Inflate, CodeLengthSequenceCodeThatMatchesNothingFails) {
  std::array<std::uint8_t, 19> codeLengthLengths{};
  codeLengthLengths[1] = 2;  // code 00
  codeLengthLengths[2] = 2;  // code 01; 1x matches nothing
  DeflateBitWriter writer;
  writer.blockHeader(true, 2).dynamicHeader(257, 1, codeLengthLengths, {{1}, {2}});
  writer.code(3, 2).bytes({0, 0, 0, 0, 0, 0});
  InflateSession session(zlibStream(writer.finish(), {}));
  EXPECT_FALSE(session.begin());
}

TEST(Inflate, RefusesOverSubscribedCodes) {
  const auto literals = literalItemsForAAndEnd();
  {  // literal/length: 'a', 'b' and end-of-block all 1 bit
    InflateSession session(
        dynamicABlock(257, 1, {{18, 86}, {1}, {1}, {18, 127}, {18, 8}, {1}, {1}}));
    EXPECT_FALSE(session.begin());
  }
  {  // distance: three codes of 1 bit
    InflateSession session(dynamicABlock(257, 3, join(literals, {{1}, {1}, {1}})));
    EXPECT_FALSE(session.begin());
  }
  {  // code-length code: three symbols of 1 bit
    std::array<std::uint8_t, 19> codeLengthLengths{};
    codeLengthLengths[0] = 1;
    codeLengthLengths[1] = 1;
    codeLengthLengths[18] = 1;
    DeflateBitWriter writer;
    writer.blockHeader(true, 2).bits(0, 5).bits(0, 5).bits(15, 4);
    for (unsigned symbol :
         {16u, 17u, 18u, 0u, 8u, 7u, 9u, 6u, 10u, 5u, 11u, 4u, 12u, 3u, 13u, 2u, 14u, 1u, 15u}) {
      writer.bits(codeLengthLengths[symbol], 3);
    }
    writer.bytes(Bytes(64, 0));
    InflateSession session(zlibStream(writer.finish(), {}));
    EXPECT_FALSE(session.begin());
  }
  {  // in a later block, the failure shows in the call that reads its header
    DeflateBitWriter writer;
    writer.storedBlock(false, text("abc")).blockHeader(true, 2);
    writer.dynamicHeader(257, 3, uniformCodeLengthLengths(), join(literals, {{1}, {1}, {1}}));
    writer.bytes({0, 0, 0, 0});
    InflateSession session(zlibStream(writer.finish(), text("abc")));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(3), 0u);
  }
}

TEST(Inflate, AcceptsLiteralAndDistanceCountsUpTo288And32) {
  // HLIT 31 and HDIST 31: symbols 286, 287 and codes 30, 31 may have lengths.
  std::vector<std::uint8_t> literals(288, 9);
  std::fill(literals.begin(), literals.begin() + 224, std::uint8_t{8});  // 224/256 + 64/512
  const std::vector<std::uint8_t> distances(32, 5);
  const HuffmanCode literalCode = HuffmanCode::fromLengths(literals);
  DeflateBitWriter writer;
  writer.blockHeader(true, 2).plainDynamicHeader(literals, distances);
  writer.symbol(literalCode, 'q').symbol(literalCode, 258).code(0, 5);  // 'q', (4, 1)
  writer.symbol(literalCode, 256);
  InflateSession session(zlibStream(writer.finish(), text("qqqqq")));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(6), 5u);
  EXPECT_EQ(session.output, text("qqqqq"));
}

TEST(Inflate, DynamicSymbols286And287AndDistances30And31FailOnlyWhenDecoded) {
  // The code of the test above: its header is accepted, and 'q' decodes before the bad symbol.
  std::vector<std::uint8_t> literals(288, 9);
  std::fill(literals.begin(), literals.begin() + 224, std::uint8_t{8});
  const std::vector<std::uint8_t> distances(32, 5);
  const HuffmanCode literalCode = HuffmanCode::fromLengths(literals);
  struct Bad {
    unsigned literal;
    int distance;  // -1: none follows
  };
  for (const Bad bad : {Bad{286, -1}, Bad{287, -1}, Bad{258, 30}, Bad{258, 31}}) {
    DeflateBitWriter writer;
    writer.blockHeader(true, 2).plainDynamicHeader(literals, distances);
    writer.symbol(literalCode, 'q').symbol(literalCode, bad.literal);
    if (bad.distance >= 0) writer.code(static_cast<std::uint32_t>(bad.distance), 5);
    writer.bits(0, 32).bytes({0, 0, 0, 0});
    InflateSession session(zlibStream(writer.finish(), text("q")));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(1), 1u);
    EXPECT_EQ(session.read(1), 0u) << bad.literal << " " << bad.distance;
  }
}

// --- Many tiny blocks ---------------------------------------------------------------------------

TEST(Inflate, DecodesAMillionTinyBlocks) {
  std::vector<std::uint8_t> dynamicLengths(257, 8);  // 0..254: 8 bits; 255, 256: 9 bits
  dynamicLengths[255] = 9;
  dynamicLengths[256] = 9;
  const HuffmanCode dynamicCode = HuffmanCode::fromLengths(dynamicLengths);
  DeflateBitWriter writer;
  writer.bytes({0x78, 0x01});
  Bytes content;
  constexpr int kBlocks = 1000000;
  for (int block = 0; block < kBlocks; ++block) {
    const bool final = block == kBlocks - 1;
    const auto byte = static_cast<std::uint8_t>(block * 7);
    content.push_back(byte);
    if (block % 1000 == 999) {
      writer.blockHeader(final, 2).plainDynamicHeader(dynamicLengths, {1});
      writer.symbol(dynamicCode, byte).symbol(dynamicCode, 256);
    } else if (block % 10 == 9) {
      writer.storedBlock(final, {byte});
    } else {
      writer.blockHeader(final, 1).fixedLiteral(byte).fixedLiteral(256);
    }
  }
  Bytes stream = writer.finish();
  const Bytes trailer = zlibStream({}, content);
  stream.insert(stream.end(), trailer.end() - 4, trailer.end());

  InflateSession session(stream);
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(kBlocks + 1), static_cast<std::uint32_t>(kBlocks));
  EXPECT_EQ(session.output, content);
}

// --- Differential against zlib ------------------------------------------------------------------

enum DataKind { kRandom, kText, kLongRuns, kShortRepeats, kLarge };

const char* kindName(int kind) {
  static const char* const names[] = {"Random", "Text", "LongRuns", "ShortRepeats", "Large"};
  return names[kind];
}

void appendText(Bytes& out, std::mt19937& rng, std::size_t count) {
  static const char* const words[] = {"the ", "red ",    "pixel ", "row ", "of ",    "a ",
                                      "png ", "image ",  "is ",    "not ", "blue ",  "green ",
                                      "and ", "filter ", "byte ",  "\n",   "value ", "zero "};
  const std::size_t end = out.size() + count;
  while (out.size() < end) {
    const std::string word = words[rng() % 18];
    out.insert(out.end(), word.begin(), word.end());
  }
  out.resize(end);
}

Bytes makeData(int kind) {
  std::mt19937 rng(static_cast<unsigned>(100 + kind));
  Bytes data;
  switch (kind) {
    case kRandom:
      return randomBytes(20000, 3);
    case kText:
      appendText(data, rng, 60000);
      return data;
    case kLongRuns:
      while (data.size() < 50000)
        data.insert(data.end(), 1 + rng() % 2000, static_cast<std::uint8_t>(rng()));
      return data;
    case kShortRepeats:
      while (data.size() < 30000)
        data.insert(data.end(), 2 + rng() % 8, static_cast<std::uint8_t>(rng() % 4));
      return data;
    default:  // more than 64 KiB, with copies from nearly a whole window back
      appendText(data, rng, 33000);
      while (data.size() < 150000) {
        if (rng() % 3 == 0) {
          const Bytes fresh = randomBytes(50 + rng() % 400, static_cast<unsigned>(data.size()));
          data.insert(data.end(), fresh.begin(), fresh.end());
        } else {
          const std::size_t distance = 32000 + rng() % 500;
          const std::size_t count = 3 + rng() % 300;
          for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t repeated = data[data.size() - distance];
            data.push_back(repeated);
          }
        }
      }
      return data;
  }
}

const Bytes& dataOf(int kind) {
  static std::map<int, Bytes> cache;
  auto found = cache.find(kind);
  if (found == cache.end()) found = cache.emplace(kind, makeData(kind)).first;
  return found->second;
}

// Decodes the whole stream in calls of the sizes `chunk` gives, until a call returns less than
// it asked for; expects the content back, and 0 from any further read.
constexpr std::uint32_t kMaxChunk = 5000;

template <class ChunkSize>
void expectDecodesInChunks(const Bytes& stream, const Bytes& content, ChunkSize chunk,
                           const char* mode) {
  SCOPED_TRACE(mode);
  InflateSession session(stream);
  ASSERT_TRUE(session.begin());
  Bytes output(content.size() + kMaxChunk + 1, kUntouched);
  std::size_t produced = 0;
  while (produced <= content.size()) {
    const std::uint32_t ask = chunk();
    const std::uint32_t got = inflateRead(output.data() + produced, ask);
    ASSERT_LE(got, ask);
    produced += got;
    if (got < ask) break;
  }
  ASSERT_EQ(produced, content.size());
  output.resize(produced);
  EXPECT_TRUE(output == content);
  std::uint8_t extra = kUntouched;
  EXPECT_EQ(inflateRead(&extra, 1), 0u);
}

// Decodes the whole stream with reads straight into parts of their own, each with a window's
// room in front of it holding other bytes, and now and then a plain read between them: each part
// gets its bytes and nothing past those it asked for, and the stream ends where the content does.
void expectDecodesStraightIntoParts(const Bytes& stream, const Bytes& content, std::mt19937& rng) {
  SCOPED_TRACE("straight into parts");
  InflateSession session(stream);
  ASSERT_TRUE(session.begin());
  Bytes output;
  for (;;) {
    const auto ask = static_cast<std::uint32_t>(1 + rng() % (3 * kWindowSize));
    Bytes part(kWindowSize + ask + 64, kUntouched);
    std::uint8_t* const dst = part.data() + kWindowSize;
    const std::uint32_t got = rng() % 4 == 0 ? inflateRead(dst, ask) : inflateReadDirect(dst, ask);
    ASSERT_LE(got, ask);
    ASSERT_TRUE(std::all_of(dst + ask, part.data() + part.size(),
                            [](std::uint8_t b) { return b == kUntouched; }));
    output.insert(output.end(), dst, dst + got);
    if (got < ask) break;
  }
  EXPECT_TRUE(output == content);
}

void expectDecodesLikeZlib(const Bytes& content, const Bytes& stream) {
  const auto whole = static_cast<std::uint32_t>(content.size()) + 1;
  expectDecodesInChunks(
      stream, content, [whole] { return whole; }, "one call");
  expectDecodesInChunks(
      stream, content, [] { return 1u; }, "1-byte calls");
  std::mt19937 rng(static_cast<unsigned>(content.size()));
  expectDecodesInChunks(
      stream, content, [&rng] { return 1 + static_cast<std::uint32_t>(rng() % kMaxChunk); },
      "random chunks");
  // A first read decodes straight into the caller's buffer; the window goes on from its end,
  // inside a match or a stored block as it happens.
  bool first = true;
  const auto half = static_cast<std::uint32_t>(content.size() / 2) + 7;
  expectDecodesInChunks(
      stream, content,
      [&] {
        const std::uint32_t ask = first ? half : 1 + static_cast<std::uint32_t>(rng() % kMaxChunk);
        first = false;
        return ask;
      },
      "half, then random chunks");
  expectDecodesStraightIntoParts(stream, content, rng);
}

using ZlibCase = std::tuple<int, int, int>;  // data kind, level, strategy

class InflateMatchesZlib : public ::testing::TestWithParam<ZlibCase> {};

TEST_P(InflateMatchesZlib, AtEachLevelAndStrategy) {
  const auto [kind, level, strategy] = GetParam();
  const Bytes& content = dataOf(kind);
  expectDecodesLikeZlib(content, compressWithZlib(content, level, 15, strategy));
}

const char* strategyName(int strategy) {
  switch (strategy) {
    case Z_FILTERED:
      return "Filtered";
    case Z_HUFFMAN_ONLY:
      return "HuffmanOnly";
    case Z_RLE:
      return "Rle";
    case Z_FIXED:
      return "Fixed";
    default:
      return "Default";
  }
}

INSTANTIATE_TEST_SUITE_P(Inflate, InflateMatchesZlib,
                         ::testing::Combine(::testing::Values(kRandom, kText, kLongRuns,
                                                              kShortRepeats, kLarge),
                                            ::testing::Range(1, 10),
                                            ::testing::Values(Z_DEFAULT_STRATEGY, Z_FILTERED,
                                                              Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED)),
                         [](const auto& testInfo) {
                           return std::string(kindName(std::get<0>(testInfo.param))) + "Level" +
                                  std::to_string(std::get<1>(testInfo.param)) +
                                  strategyName(std::get<2>(testInfo.param));
                         });

using WindowCase = std::tuple<int, int, int>;  // data kind, window bits, level

class InflateMatchesZlibWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(InflateMatchesZlibWindow, AtEachWindowSize) {
  const auto [kind, windowBits, level] = GetParam();
  const Bytes& content = dataOf(kind);
  const Bytes stream = compressWithZlib(content, level, windowBits, Z_DEFAULT_STRATEGY);
  ASSERT_EQ(stream[0] >> 4, windowBits - 8);  // CINFO
  expectDecodesLikeZlib(content, stream);
}

INSTANTIATE_TEST_SUITE_P(Inflate, InflateMatchesZlibWindow,
                         ::testing::Combine(::testing::Values(kRandom, kText, kLongRuns,
                                                              kShortRepeats, kLarge),
                                            ::testing::Range(9, 16), ::testing::Values(1, 6, 9)),
                         [](const auto& testInfo) {
                           return std::string(kindName(std::get<0>(testInfo.param))) + "Window" +
                                  std::to_string(std::get<1>(testInfo.param)) + "Level" +
                                  std::to_string(std::get<2>(testInfo.param));
                         });

TEST(Inflate, MatchesZlibStoredBlocksAndCompress2) {
  for (int kind : {kRandom, kText, kLarge}) {
    SCOPED_TRACE(kindName(kind));
    const Bytes& content = dataOf(kind);
    expectDecodesLikeZlib(content, compressWithZlib(content, 0, 15, Z_DEFAULT_STRATEGY));
    uLongf size = compressBound(static_cast<uLong>(content.size()));
    Bytes stream(size);
    ASSERT_EQ(
        compress2(stream.data(), &size, content.data(), static_cast<uLong>(content.size()), 6),
        Z_OK);
    stream.resize(size);
    expectDecodesLikeZlib(content, stream);
  }
}

// zlib writes an empty stored block at each sync or full flush: the data in pieces of growing
// size, a flush after each, at the stored, fastest and default levels.
TEST(Inflate, MatchesZlibFlushedStreams) {
  for (const int flush : {Z_SYNC_FLUSH, Z_FULL_FLUSH}) {
    for (const int level : {0, 1, 6}) {
      SCOPED_TRACE(std::to_string(flush) + " level " + std::to_string(level));
      const Bytes& content = dataOf(kText);
      z_stream z{};
      ASSERT_EQ(deflateInit(&z, level), Z_OK);
      Bytes stream(deflateBound(&z, static_cast<uLong>(content.size())) + 64 * 1024);
      z.next_in = const_cast<Bytef*>(content.data());
      z.next_out = stream.data();
      z.avail_out = static_cast<uInt>(stream.size());
      std::size_t offset = 0;
      for (std::size_t piece = 0; offset < content.size(); piece = piece * 2 + 1) {
        const std::size_t now = std::min(piece, content.size() - offset);
        z.avail_in = static_cast<uInt>(now);
        ASSERT_EQ(deflate(&z, flush), Z_OK);
        offset += now;
      }
      ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
      stream.resize(z.total_out);
      deflateEnd(&z);
      expectDecodesLikeZlib(content, stream);
    }
  }
}

// A first read that stops just before the end of a block keeps its output as history when more
// can follow: a block after it (zlib's Z_BLOCK, partial and sync flushes end one where asked) or
// the rest of a match cut off by the read, which copy from the bytes of the first read.
TEST(Inflate, FirstReadStoppingBeforeTheEndOfABlockKeepsItsHistory) {
  const Bytes& content = dataOf(kText);
  for (const int flush : {Z_BLOCK, Z_PARTIAL_FLUSH, Z_SYNC_FLUSH}) {
    for (const std::size_t split : {std::size_t{100}, std::size_t{20011}, std::size_t{40000}}) {
      SCOPED_TRACE(std::to_string(flush) + " split " + std::to_string(split));
      z_stream z{};
      ASSERT_EQ(deflateInit(&z, 6), Z_OK);
      Bytes stream(deflateBound(&z, static_cast<uLong>(content.size())) + 1024);
      z.next_in = const_cast<Bytef*>(content.data());
      z.avail_in = static_cast<uInt>(split);
      z.next_out = stream.data();
      z.avail_out = static_cast<uInt>(stream.size());
      ASSERT_EQ(deflate(&z, flush), Z_OK);
      z.avail_in = static_cast<uInt>(content.size() - split);
      ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
      stream.resize(z.total_out);
      deflateEnd(&z);
      InflateSession session(stream);
      ASSERT_TRUE(session.begin());
      ASSERT_EQ(session.read(static_cast<std::uint32_t>(split)), split);
      const auto rest = static_cast<std::uint32_t>(content.size() - split);
      EXPECT_EQ(session.read(rest + 1), rest);
      EXPECT_TRUE(session.output == content);
    }
  }
  // The final block ends with a match that the first read cuts off.
  DeflateBitWriter writer;
  writer.blockHeader(true, 1).fixedLiteral('x').fixedLiteral('y').fixedMatch(258, 2);
  writer.fixedLiteral(256);
  Bytes pairs;
  for (int i = 0; i < 130; ++i) pairs.insert(pairs.end(), {'x', 'y'});
  InflateSession session(zlibStream(writer.finish(), pairs));
  ASSERT_TRUE(session.begin());
  EXPECT_EQ(session.read(100), 100u);
  EXPECT_EQ(session.read(200), 160u);
  EXPECT_EQ(session.output, pairs);
}

// A read writes its bytes and nothing after them, at whatever point it stops: here amid
// matches of distances from 1 to 72 and lengths from 3 to 320, whose copies go by whole words and
// may run past their end.
TEST(Inflate, AFirstReadWritesNothingPastTheBytesAskedFor) {
  std::mt19937 rng(7);
  Bytes content = randomBytes(40, 11);
  while (content.size() < 6000) {
    const Bytes fresh = randomBytes(1 + rng() % 24, static_cast<unsigned>(content.size()));
    content.insert(content.end(), fresh.begin(), fresh.end());
    const std::size_t distance = 1 + rng() % 72;
    const std::size_t count = 3 + rng() % 318;
    for (std::size_t i = 0; i < count; ++i) content.push_back(content[content.size() - distance]);
  }
  const Bytes stream = compressWithZlib(content, 9, 15, Z_DEFAULT_STRATEGY);
  for (std::uint32_t len = 64; len <= content.size(); ++len) {
    InflateSession session(stream);
    ASSERT_TRUE(session.begin());
    Bytes buffer(len + 128, kUntouched);
    ASSERT_EQ(inflateRead(buffer.data(), len), len);
    ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + len, content.begin())) << len;
    ASSERT_TRUE(std::all_of(buffer.begin() + len, buffer.end(), [](std::uint8_t b) {
      return b == kUntouched;
    })) << len;
  }
}

// --- Bit buffer, lookup tables and sliding window ---------------------------------------------

// The final block ends at every byte distance from the end of the input, with bytes after the
// trailer: the trailer is found where the Huffman data stops, and the read stops right after it.
TEST(Inflate, TrailerIsFoundAtEveryDistanceFromTheEndOfTheInput) {
  for (const std::uint8_t literal : {std::uint8_t{'x'}, std::uint8_t{200}}) {  // 8 and 9 bits
    for (std::uint32_t count = 0; count <= 24; ++count) {
      for (const std::size_t trailing : {0u, 1u, 7u, 8u, 9u}) {
        SCOPED_TRACE(::testing::Message() << "literal " << int{literal} << ", " << count
                                          << " literals, " << trailing << " bytes after");
        const Bytes content(count, literal);
        Bytes stream = zlibStream(fixedLiteralsBody(content), content);
        stream.insert(stream.end(), trailing, 0xA5);
        InflateSession session(stream);
        ASSERT_TRUE(session.begin());
        EXPECT_EQ(session.read(count + 1), count);
        EXPECT_EQ(session.output, content);
        EXPECT_EQ(pngState.idatEnd - pngState.idatCursor, static_cast<std::ptrdiff_t>(trailing));
      }
    }
  }
}

// Literal/length code: 'a' 1 bit, 'b' 2, end-of-block 3, length 3 (257) 4, 'z' zLength bits.
// Distance code: distance 1 (code 0) 1 bit, distances 5..6 (code 4) distanceLength bits.
struct LongCodeCase {
  std::uint8_t zLength;
  std::uint8_t distanceLength;
};

void PrintTo(const LongCodeCase& c, std::ostream* out) {
  *out << "z" << int{c.zLength} << "Distance" << int{c.distanceLength};
}

class InflateCodeLengths : public ::testing::TestWithParam<LongCodeCase> {
 protected:
  HuffmanCode literals = HuffmanCode::fromLengths(
      lengthsWith(258, {{'a', 1}, {'b', 2}, {256, 3}, {257, 4}, {'z', GetParam().zLength}}));
  HuffmanCode distances = HuffmanCode::fromLengths({1, 0, 0, 0, GetParam().distanceLength});

  DeflateBitWriter head() const {
    DeflateBitWriter writer;
    writer.blockHeader(true, 2).plainDynamicHeader(literals.lengths, distances.lengths);
    return writer;
  }
};

TEST_P(InflateCodeLengths, DecodeCodesOfEveryLength) {
  DeflateBitWriter writer = head();
  writer.symbol(literals, 'a').symbol(literals, 'z').symbol(literals, 'b');
  writer.symbol(literals, 257).symbol(distances, 0);  // (3, 1): "bbb"
  writer.symbol(literals, 'z');
  writer.symbol(literals, 257).symbol(distances, 4).bits(1, 1);  // (3, 6): "zbb"
  writer.symbol(literals, 256);
  const Bytes content = text("azbbbbzzbb");
  const Bytes stream = zlibStream(writer.finish(), content);
  {
    InflateSession session(stream);
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(static_cast<std::uint32_t>(content.size()) + 1), content.size());
    EXPECT_EQ(session.output, content);
  }
  InflateSession session(stream);
  ASSERT_TRUE(session.begin());
  for (std::size_t i = 0; i < content.size(); ++i) ASSERT_EQ(session.read(1), 1u);
  EXPECT_EQ(session.read(1), 0u);
  EXPECT_EQ(session.output, content);
}

TEST_P(InflateCodeLengths, UnusedLongestCodesFail) {
  // Fifteen 1 bits match no code of either incomplete code.
  for (const bool asDistance : {false, true}) {
    SCOPED_TRACE(asDistance ? "distance" : "literal/length");
    DeflateBitWriter writer = head();
    writer.symbol(literals, 'a');
    if (asDistance) writer.symbol(literals, 257);
    writer.bits(0x7FFF, 15).bytes(Bytes(12, 0));
    InflateSession session(zlibStream(writer.finish(), text("a")));
    ASSERT_TRUE(session.begin());
    EXPECT_EQ(session.read(1), 1u);
    EXPECT_EQ(session.read(3), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Inflate, InflateCodeLengths,
                         ::testing::Values(LongCodeCase{5, 2}, LongCodeCase{9, 7},
                                           LongCodeCase{10, 8}, LongCodeCase{11, 9},
                                           LongCodeCase{12, 12}, LongCodeCase{14, 15},
                                           LongCodeCase{15, 8}, LongCodeCase{15, 15}),
                         [](const auto& testInfo) {
                           return "Literal" + std::to_string(testInfo.param.zLength) + "Distance" +
                                  std::to_string(testInfo.param.distanceLength);
                         });

// Every small distance with lengths around the sizes the copy works in, after 20 distinct bytes.
TEST(Inflate, MatchesOfShortDistancesCopyOverlappingBytes) {
  for (unsigned distance = 1; distance <= 20; ++distance) {
    for (unsigned length : {3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 258u}) {
      SCOPED_TRACE(::testing::Message() << "distance " << distance << ", length " << length);
      DeflateBitWriter writer;
      writer.blockHeader(true, 1);
      Bytes content;
      for (std::uint8_t b = 0; b < 20; ++b) {
        writer.fixedLiteral(b + 'A');
        content.push_back(static_cast<std::uint8_t>(b + 'A'));
      }
      writer.fixedMatch(length, distance).fixedLiteral('!').fixedLiteral(256);
      for (unsigned i = 0; i < length; ++i) content.push_back(content[content.size() - distance]);
      content.push_back('!');
      const Bytes stream = zlibStream(writer.finish(), content);
      for (const std::uint32_t chunk : {static_cast<std::uint32_t>(content.size()) + 1, 7u}) {
        InflateSession session(stream);
        ASSERT_TRUE(session.begin());
        while (session.read(chunk) == chunk) {
        }
        EXPECT_EQ(session.output, content) << "reads of " << chunk;
      }
    }
  }
}

// Output lives in a 64 KiB buffer whose last 32 KiB slide to its start when it is full: matches
// of the longest distance that start just before, at and after the slide, read whole and cut by
// calls of several sizes.
TEST(Inflate, MatchesAcrossTheWindowSlideCopyTheRightBytes) {
  for (const std::uint32_t before : {0u, 1u, 100u, 257u, 258u, 300u}) {
    const Bytes history = randomBytes(65536 - before, before + 11);
    DeflateBitWriter writer;
    const auto half = static_cast<std::ptrdiff_t>(history.size() / 2);
    writer.storedBlock(false, Bytes(history.begin(), history.begin() + half));
    writer.storedBlock(false, Bytes(history.begin() + half, history.end()));
    writer.blockHeader(true, 1).fixedMatch(258, 32768).fixedMatch(258, 32768).fixedLiteral('!');
    writer.fixedMatch(3, 1).fixedMatch(200, 32768).fixedLiteral(256);
    Bytes content = history;
    const auto copy = [&content](unsigned length, std::size_t distance) {
      for (unsigned i = 0; i < length; ++i) content.push_back(content[content.size() - distance]);
    };
    copy(258, 32768);
    copy(258, 32768);
    content.push_back('!');
    copy(3, 1);
    copy(200, 32768);
    const Bytes stream = zlibStream(writer.finish(), content);
    for (const std::uint32_t chunk : {1u, 97u, 4096u, 70000u}) {
      SCOPED_TRACE(::testing::Message() << before << " bytes before the slide, reads of " << chunk);
      InflateSession session(stream);
      ASSERT_TRUE(session.begin());
      while (session.read(chunk) == chunk) {
      }
      EXPECT_TRUE(session.output == content);
      EXPECT_EQ(session.output.size(), content.size());
    }
  }
}

}  // namespace

// Random lengths for `count` symbols, up to 15 bits, over-subscribing never: the `required`
// symbols always get one, the others now and then. Complete (the lengths use up every code) when
// asked, else as they fall.
unsigned randomBelow(std::mt19937& rng, unsigned n) { return static_cast<unsigned>(rng() % n); }

std::vector<std::uint8_t> randomCodeLengths(std::mt19937& rng, std::size_t count,
                                            const std::vector<unsigned>& required, bool complete) {
  std::vector<std::uint8_t> lengths(count, 0);
  std::uint32_t room = 1u << 15;  // the code space left, in units of a 15-bit code
  const auto take = [&](unsigned symbol, unsigned length) {
    while (length < 15 && (1u << (15 - length)) > room) ++length;
    if ((1u << (15 - length)) > room) return;
    lengths[symbol] = static_cast<std::uint8_t>(length);
    room -= 1u << (15 - length);
  };
  for (const unsigned symbol : required) take(symbol, 2 + randomBelow(rng, 14));
  for (unsigned symbol = 0; symbol < count; ++symbol) {
    if (lengths[symbol] == 0 && randomBelow(rng, 3) == 0) take(symbol, 4 + randomBelow(rng, 12));
  }
  for (unsigned symbol = 0; complete && room != 0 && symbol < count; ++symbol) {
    if (lengths[symbol] == 0) take(symbol, 1);  // the largest code that still fits
  }
  return lengths;
}

// Dynamic blocks whose codes have random lengths, complete or not, with codes longer than the
// lookup bits: literals and matches written with them decode to what was written, on every code
// path, read whole and in pieces.
TEST(Inflate, RandomDynamicCodesDecodeWhatWasWritten) {
  struct Restore {
    ~Restore() { setCodePath(CodePath::kBest); }
  } restore;
  std::mt19937 rng(4242);
  for (int trial = 0; trial < 12; ++trial) {
    const bool complete = trial % 2 == 0;
    const auto literalLengths =
        randomCodeLengths(rng, 286, {'a', 'b', 256, 257, 265, 284}, complete);
    const auto distanceLengths = randomCodeLengths(rng, 30, {0, 3, 9, 15}, complete);
    const HuffmanCode literals = HuffmanCode::fromLengths(literalLengths);
    const HuffmanCode distances = HuffmanCode::fromLengths(distanceLengths);
    std::vector<unsigned> usedLiterals;
    for (unsigned s = 0; s < 256; ++s) {
      if (literalLengths[s] != 0) usedLiterals.push_back(s);
    }
    DeflateBitWriter writer;
    writer.blockHeader(true, 2).plainDynamicHeader(literalLengths, distanceLengths);
    Bytes content;
    while (content.size() < 20000) {
      const unsigned length = 3 + randomBelow(rng, 256);
      const unsigned distance = 1 + randomBelow(rng, 32768);
      const MatchCode lengthField = lengthCode(length);
      const MatchCode distanceField = distanceCode(distance);
      if (randomBelow(rng, 2) == 0 || distance > content.size() ||
          literalLengths[lengthField.symbol] == 0 || distanceLengths[distanceField.symbol] == 0) {
        const unsigned literal =
            usedLiterals[randomBelow(rng, static_cast<unsigned>(usedLiterals.size()))];
        writer.symbol(literals, literal);
        content.push_back(static_cast<std::uint8_t>(literal));
        continue;
      }
      writer.symbol(literals, lengthField.symbol).bits(lengthField.extra, lengthField.extraBits);
      writer.symbol(distances, distanceField.symbol)
          .bits(distanceField.extra, distanceField.extraBits);
      for (unsigned i = 0; i < length; ++i) content.push_back(content[content.size() - distance]);
    }
    writer.symbol(literals, 256);
    const Bytes stream = zlibStream(writer.finish(), content);
    for (CodePath path : {CodePath::kBest, CodePath::kPortable}) {
      setCodePath(path);
      SCOPED_TRACE(testing::Message() << "trial " << trial << " path " << static_cast<int>(path));
      expectDecodesLikeZlib(content, stream);
    }
  }
}

// The Adler-32 of every form (the vector ones where the CPU has them, SSE2 alone, portable) over
// every data kind, and over bytes that are all 255 (the largest lane sums) in stored blocks read
// in pieces that start at every alignment: a wrong sum fails the trailer check.
TEST(Inflate, EveryCodePathChecksTheSameTrailers) {
  struct Restore {
    ~Restore() { setCodePath(CodePath::kBest); }
  } restore;
  const Bytes allOnes(70000, 0xFF);
  for (CodePath path : {CodePath::kBest, CodePath::kBaseline, CodePath::kPortable}) {
    setCodePath(path);
    SCOPED_TRACE(testing::Message() << "path " << static_cast<int>(path));
    expectDecodesLikeZlib(allOnes, compressWithZlib(allOnes, 0, 15, Z_DEFAULT_STRATEGY));
    for (int kind : {kRandom, kText, kLongRuns, kShortRepeats, kLarge}) {
      const Bytes& content = dataOf(kind);
      const Bytes stream = compressWithZlib(content, 6, 15, Z_DEFAULT_STRATEGY);
      expectDecodesLikeZlib(content, stream);
      Bytes damaged = stream;
      damaged[damaged.size() - 1] ^= 1;  // the last byte of the Adler-32
      InflateSession session(damaged);
      ASSERT_TRUE(session.begin());
      Bytes output(content.size() + 1);
      EXPECT_EQ(inflateRead(output.data(), static_cast<std::uint32_t>(output.size())), 0u)
          << kindName(kind);
    }
  }
}

// Damaged streams: the decode loops of every form (the BMI2 one where the CPU has it) give the
// same bytes and stop at the same call, read in one call and read in uneven pieces.
TEST(Inflate, EveryCodePathRefusesDamagedStreamsAlike) {
  struct Restore {
    ~Restore() { setCodePath(CodePath::kBest); }
  } restore;
  std::mt19937 rng(1999);
  for (int kind : {kRandom, kText, kLongRuns, kShortRepeats}) {
    const Bytes& content = dataOf(kind);
    const Bytes stream = compressWithZlib(content, 6, 15, Z_DEFAULT_STRATEGY);
    for (int trial = 0; trial < 24; ++trial) {
      Bytes damaged = stream;
      const std::size_t flips = 1 + rng() % 3;
      for (std::size_t i = 0; i < flips; ++i) {
        damaged[2 + rng() % (damaged.size() - 2)] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      }
      const auto piece = static_cast<std::uint32_t>(1 + rng() % 5000);
      std::vector<std::pair<std::uint32_t, Bytes>> results;
      for (CodePath path : {CodePath::kBest, CodePath::kPortable}) {
        setCodePath(path);
        for (std::uint32_t size : {static_cast<std::uint32_t>(content.size() + 64), piece}) {
          InflateSession session(damaged);
          std::uint32_t total = 0;
          if (session.begin()) {
            for (;;) {
              const std::uint32_t count = session.read(size);
              total += count;
              if (count != size) break;
            }
          }
          results.emplace_back(total, session.output);
        }
      }
      EXPECT_EQ(results[0], results[2]) << kindName(kind) << " trial " << trial;
      EXPECT_EQ(results[1], results[3]) << kindName(kind) << " trial " << trial;
    }
  }
}

// Two literals and a match of 258 bytes, over and over, read in pieces of every size from 259
// to 560 bytes: a piece may end within any step of the decode loops, and each read must still
// give exactly the bytes asked for.
TEST(Inflate, LiteralsBeforeLongestMatchesEndEveryReadExactly) {
  std::mt19937 rng(258);
  Bytes content(300);
  for (std::uint8_t& byte : content) byte = static_cast<std::uint8_t>(rng());
  const Bytes motif(content.begin(), content.begin() + 258);
  for (int i = 0; i < 160; ++i) {
    content.push_back(static_cast<std::uint8_t>(rng()));
    content.push_back(static_cast<std::uint8_t>(rng()));
    content.insert(content.end(), motif.begin(), motif.end());
  }
  const Bytes stream = compressWithZlib(content, 9, 15, Z_DEFAULT_STRATEGY);
  for (std::uint32_t piece = 259; piece <= 560; ++piece) {
    InflateSession session(stream);
    ASSERT_TRUE(session.begin());
    while (session.output.size() < content.size()) {
      const auto left = static_cast<std::uint32_t>(content.size() - session.output.size());
      const std::uint32_t size = std::min(piece, left);
      ASSERT_EQ(session.read(size), size) << "piece " << piece;
    }
    EXPECT_EQ(session.output, content) << "piece " << piece;
  }
}
