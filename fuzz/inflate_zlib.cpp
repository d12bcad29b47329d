// Fuzz target comparing the zlib decoder with zlib itself (test-only). Whenever zlib decodes
// the input as a complete zlib stream within the output cap, ours must give the same bytes, end
// the stream at the same place with the same checksum: empty stored blocks and repeat codes
// across the literal/length and distance code lengths included, whether read in one call or in
// parts straight into blocks of their own. Where zlib fails, nothing is
// compared: ours is deliberately more lenient (incomplete codes, HLIT up to 288), and the png
// and inflate targets cover its robustness. A preset dictionary stops zlib too (Z_NEED_DICT).

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "png/decode_state.h"
#include "png/inflate.h"

namespace {

constexpr std::size_t kOutputCap = 1u << 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> expected(kOutputCap);
  z_stream zlib{};
  if (inflateInit(&zlib) != Z_OK) return 0;
  zlib.next_in = const_cast<Bytef*>(data);
  zlib.avail_in = static_cast<uInt>(size);
  zlib.next_out = expected.data();
  zlib.avail_out = static_cast<uInt>(expected.size());
  const int status = ::inflate(&zlib, Z_FINISH);
  const std::size_t consumed = size - zlib.avail_in;
  const std::size_t produced = zlib.total_out;
  const std::uint32_t zlibAdler = static_cast<std::uint32_t>(zlib.adler);
  inflateEnd(&zlib);
  if (status != Z_STREAM_END) return 0;
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
  fuzzCheck(inflateState.streamEnded && !inflateState.streamOpen, "the stream ended");
  fuzzCheck(inflateState.adler == zlibAdler, "the same Adler-32");
  fuzzCheck(pngState.idatCursor == data + consumed, "the stream ends where zlib's ends");
  releasePngState();

  // Again in parts, each decoded straight into a block with a window's room in front (every
  // third through the window), as a picture's rows are when a helper thread reconstructs them.
  pngState.idatCursor = data;
  pngState.idatEnd = data + size;
  fuzzCheck(inflateBegin(), "our decoder accepts the start again");
  const std::uint32_t part = 4096 + std::uint32_t{data[size - 1]} * 256;
  std::vector<std::uint8_t> block(kWindowSize + part);
  std::uint8_t* const dst = block.data() + kWindowSize;
  std::vector<std::uint8_t> parts;
  for (int k = 0;; ++k) {
    const std::uint32_t n = k % 3 == 2 ? inflateRead(dst, part) : inflateReadDirect(dst, part);
    parts.insert(parts.end(), dst, dst + n);
    if (n < part) break;
  }
  fuzzCheck(parts == expected, "reads straight into parts give the bytes zlib gives");
  fuzzCheck(inflateState.adler == zlibAdler, "the same Adler-32 over parts");
  releasePngState();
  return 0;
}
