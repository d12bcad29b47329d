#include "png/crc.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "png/inflate.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t zlibCrc(const Bytes& bytes, std::size_t begin, std::size_t end) {
  return static_cast<std::uint32_t>(crc32(0, bytes.data() + begin, static_cast<uInt>(end - begin)));
}

// Every length from 0 to 80 (eight-byte steps with every tail) and a few longer ones, each split
// in two at every point so the register is carried from one call into the next.
TEST(Crc, MatchesZlibOverEveryLengthAndSplit) {
  std::mt19937 random(2024);
  Bytes bytes(1000);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  for (std::size_t length = 0; length <= 1000; length += length < 80 ? 1 : 230) {
    const std::size_t begin = random() % (bytes.size() - length + 1);
    const std::uint32_t expected = zlibCrc(bytes, begin, begin + length);
    for (std::size_t split = 0; split <= length; ++split) {
      const std::uint32_t first = crcUpdate(0xFFFFFFFFu, std::span(bytes.data() + begin, split));
      const std::uint32_t both =
          crcUpdate(first, std::span(bytes.data() + begin + split, length - split));
      ASSERT_EQ(~both, expected) << "length " << length << " split " << split;
    }
  }
}

// Random lengths up to 3000 bytes from random offsets, each through every code path (the folded
// form with PCLMULQDQ where the CPU has it, the tables otherwise) and carried on from a random
// register, against zlib.
TEST(Crc, EveryCodePathMatchesZlibOnRandomRuns) {
  std::mt19937 random(77);
  Bytes bytes(4000);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  for (CodePath path : {CodePath::kBest, CodePath::kBaseline, CodePath::kPortable}) {
    setCodePath(path);
    for (int round = 0; round < 400; ++round) {
      const std::size_t length = round < 200 ? static_cast<std::size_t>(round) : random() % 3001;
      const std::size_t begin = random() % (bytes.size() - length + 1);
      const std::size_t split = random() % (length + 1);
      const std::uint32_t first = crcUpdate(0xFFFFFFFFu, std::span(bytes.data() + begin, split));
      const std::uint32_t both =
          crcUpdate(first, std::span(bytes.data() + begin + split, length - split));
      EXPECT_EQ(~both, zlibCrc(bytes, begin, begin + length))
          << "path " << static_cast<int>(path) << " length " << length << " split " << split;
    }
  }
  setCodePath(CodePath::kBest);
}

}  // namespace
