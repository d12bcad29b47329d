#include "png/crc.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

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

}  // namespace
