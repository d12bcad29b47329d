// Fuzz target for the zlib decoder alone. The input is two bytes that seed the read sizes, then
// the zlib stream. The stream is decoded three times: by one call, by 1-byte calls and by calls
// of pseudo-random sizes. Reads keep going until a call returns fewer bytes than it asked for,
// so the end-of-block symbol of the final block is always decoded. All three must give the same
// verdict: a stream that ends with a good checksum does so in every run, with the same bytes;
// a stream cut off by the output cap gives the same bytes up to the cap. A failing stream fails
// in every run, but a failing call returns 0 and so drops the bytes it had produced: there each
// run's bytes need only be a prefix of the 1-byte run's, whose failing call produced at most
// the last byte of a stored block, which every run drops.

#include "png/inflate.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "png/decode_state.h"

namespace {

constexpr std::uint32_t kOutputCap = 1u << 17;  // output bytes compared at most

struct Outcome {
  bool begun = false;   // inflateBegin accepted the stream
  bool capped = false;  // stopped at kOutputCap with the stream still open
  bool ended = false;   // the stream ended with a good checksum
  std::vector<std::uint8_t> bytes;
  std::ptrdiff_t position = 0;  // read position in the stream when it stopped
  std::int32_t bitIndex = 0;
  std::uint32_t adler = 0;
};

// The size of each read: 0 asks for everything up to the cap at once, 1 for single bytes,
// anything else seeds sizes from 1 byte to well over a window.
class ReadSizes {
 public:
  explicit ReadSizes(std::uint32_t seed) : mode_(seed), state_(seed | 1u) {}
  std::uint32_t next() noexcept {
    if (mode_ == 0) return kOutputCap;
    if (mode_ == 1) return 1;
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    switch (state_ % 4) {
      case 0:
        return 1 + (state_ >> 8) % 4;
      case 1:
        return 1 + (state_ >> 8) % 300;
      case 2:
        return 1 + (state_ >> 8) % 5000;
      default:
        return 1 + (state_ >> 8) % 70000;
    }
  }

 private:
  std::uint32_t mode_;
  std::uint32_t state_;
};

std::uint32_t adler32Of(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t s1 = 1;
  std::uint32_t s2 = 0;
  for (const std::uint8_t byte : bytes) {
    s1 = (s1 + byte) % 65521;
    s2 = (s2 + s1) % 65521;
  }
  return s2 << 16 | s1;
}

Outcome decode(const std::uint8_t* stream, std::size_t size, std::uint32_t seed) {
  Outcome outcome;
  releasePngState();
  pngState.idatCursor = stream;
  pngState.idatEnd = stream + size;
  outcome.begun = inflateBegin();
  if (outcome.begun) {
    outcome.bytes.resize(kOutputCap);
    ReadSizes sizes(seed);
    std::uint32_t total = 0;
    for (;;) {
      if (total == kOutputCap) {
        outcome.capped = true;
        break;
      }
      std::uint32_t request = sizes.next();
      if (request > kOutputCap - total) request = kOutputCap - total;
      const std::uint32_t got = inflateRead(outcome.bytes.data() + total, request);
      fuzzCheck(got <= request, "inflateRead writes at most the bytes asked for");
      total += got;
      if (got < request) break;
    }
    outcome.bytes.resize(total);
    fuzzCheck(outcome.capped || !inflateState.streamOpen, "a short read closes the stream");
    fuzzCheck(inflateRead(outcome.bytes.data(), 0) == 0, "a read of 0 bytes returns 0");
  }
  outcome.position = pngState.idatCursor - stream;
  outcome.bitIndex = inflateState.bitIndex;
  outcome.adler = inflateState.adler;
  outcome.ended = inflateState.streamEnded;
  // Ended well: in byte mode right after a trailer that matches the checksum of every byte
  // produced, all of which were returned. (A failing stream may leave the same state behind:
  // a final block flag lost to damage makes the trailer read as a stored block header.)
  if (outcome.ended) {
    fuzzCheck(outcome.begun && !outcome.capped && !inflateState.streamOpen,
              "an ended stream is closed and was not cut off by the cap");
    fuzzCheck(outcome.bitIndex < 0 && outcome.position >= 4, "an ended stream is in byte mode");
    const std::uint8_t* trailer = stream + outcome.position - 4;
    const std::uint32_t stored = static_cast<std::uint32_t>(trailer[0]) << 24 |
                                 static_cast<std::uint32_t>(trailer[1]) << 16 |
                                 static_cast<std::uint32_t>(trailer[2]) << 8 | trailer[3];
    fuzzCheck(stored == outcome.adler && adler32Of(outcome.bytes) == outcome.adler,
              "an ended stream's trailer matches the checksum of every byte returned");
  }
  fuzzCheck(outcome.position >= 0 && static_cast<std::size_t>(outcome.position) <= size,
            "the read position stays inside the stream");
  releasePngState();
  fuzzCheck(!inflateState.window && !inflateState.streamOpen, "releasePngState idles inflate");
  return outcome;
}

// single is the run by 1-byte calls.
void compare(const Outcome& single, const Outcome& other) {
  fuzzCheck(single.begun == other.begun, "same inflateBegin verdict");
  fuzzCheck(single.capped == other.capped, "same cap verdict");
  fuzzCheck(single.ended == other.ended, "same end-of-stream verdict");
  if (single.capped || single.ended) {
    fuzzCheck(single.bytes == other.bytes, "same output bytes whatever the read sizes");
  } else {
    fuzzCheck(other.bytes.size() <= single.bytes.size() &&
                  std::equal(other.bytes.begin(), other.bytes.end(), single.bytes.begin()),
              "a failing stream returns a prefix of the same bytes whatever the read sizes");
  }
  if (!single.ended) return;
  fuzzCheck(single.position == other.position && single.bitIndex == other.bitIndex,
            "the stream ends at the same read position");
  fuzzCheck(single.adler == other.adler, "same checksum");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto seed = static_cast<std::uint32_t>(data[0] | data[1] << 8);
  const std::uint8_t* stream = data + 2;
  const std::size_t streamBytes = size - 2;
  const Outcome whole = decode(stream, streamBytes, 0);
  const Outcome single = decode(stream, streamBytes, 1);
  compare(single, whole);
  const Outcome split = decode(stream, streamBytes, seed < 2 ? seed + 2 : seed);
  compare(single, split);
  return 0;
}
