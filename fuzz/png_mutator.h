#pragma once
// The PNG fuzz targets' custom mutator (libFuzzer builds only; include it in one file per
// target). Plain byte mutations would almost always break a chunk CRC, and the reader checks
// every CRC before it looks at a chunk, so the mutator picks one of three moves and then
// rewrites every chunk CRC:
//  - mutate the whole file (chunk lengths, types and order included);
//  - mutate the data of one chunk, its length field following the new size;
//  - inflate the joined IDAT data with zlib, mutate the scanline bytes (filter bytes included)
//    and deflate them again into one IDAT, so the row loops see changed rows, not just a
//    broken zlib stream.

#ifdef POW2BMP_LIBFUZZER

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "base/byte_io.h"
#include "png/crc.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace png_mutator {

constexpr std::size_t kSignatureBytes = 8;
constexpr std::uint8_t kSignature[kSignatureBytes] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::size_t kMaxRawBytes = 1 << 18;  // scanline data the IDAT move inflates at most

struct Chunk {
  std::uint8_t type[4];
  std::vector<std::uint8_t> data;
};

void appendBe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Splits a file into chunks; a tail that is no whole chunk becomes one chunk of type "????"
// holding the rest, so nothing is lost. False when the signature is missing.
bool parseChunks(const std::uint8_t* data, std::size_t size, std::vector<Chunk>& chunks) {
  if (size < kSignatureBytes || std::memcmp(data, kSignature, kSignatureBytes) != 0) return false;
  const ByteSpan bytes(data, size);
  std::size_t offset = kSignatureBytes;
  while (offset < size) {
    Chunk chunk;
    const std::uint32_t length = readBe32(bytes, offset);
    if (!holds(bytes, offset, 12) || !holds(bytes, offset + 8, std::size_t{length} + 4)) {
      std::memcpy(chunk.type, "????", 4);
      chunk.data.assign(data + offset, data + size);
      chunks.push_back(std::move(chunk));
      break;
    }
    std::memcpy(chunk.type, data + offset + 4, 4);
    chunk.data.assign(data + offset + 8, data + offset + 8 + length);
    chunks.push_back(std::move(chunk));
    offset += 12 + std::size_t{length};
  }
  return true;
}

std::vector<std::uint8_t> joinChunks(const std::vector<Chunk>& chunks) {
  std::vector<std::uint8_t> out(kSignature, kSignature + kSignatureBytes);
  for (const Chunk& chunk : chunks) {
    if (std::memcmp(chunk.type, "????", 4) == 0) {
      out.insert(out.end(), chunk.data.begin(), chunk.data.end());
      continue;
    }
    appendBe32(out, static_cast<std::uint32_t>(chunk.data.size()));
    out.insert(out.end(), chunk.type, chunk.type + 4);
    out.insert(out.end(), chunk.data.begin(), chunk.data.end());
    const std::uint32_t crc =
        ~crcUpdate(crcUpdate(0xFFFFFFFFu, ByteSpan(chunk.type, 4)), chunk.data);
    appendBe32(out, crc);
  }
  return out;
}

// Rewrites the CRC of every whole chunk of data in place.
void fixCrcs(std::uint8_t* data, std::size_t size) {
  if (size < kSignatureBytes || std::memcmp(data, kSignature, kSignatureBytes) != 0) return;
  const ByteSpan bytes(data, size);
  std::size_t offset = kSignatureBytes;
  while (holds(bytes, offset, 12)) {
    const std::uint32_t length = readBe32(bytes, offset);
    if (!holds(bytes, offset + 8, std::size_t{length} + 4)) break;
    const std::uint32_t crc =
        ~crcUpdate(0xFFFFFFFFu, ByteSpan(data + offset + 4, std::size_t{length} + 4));
    std::uint8_t* field = data + offset + 8 + length;
    for (int i = 0; i < 4; ++i) field[i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    offset += 12 + std::size_t{length};
  }
}

std::size_t mutateWholeFile(std::uint8_t* data, std::size_t size, std::size_t maxSize) {
  const std::size_t newSize = LLVMFuzzerMutate(data, size, maxSize);
  fixCrcs(data, newSize);
  return newSize;
}

std::size_t mutateOneChunk(std::vector<Chunk>& chunks, std::mt19937& random, std::size_t maxSize,
                           std::uint8_t* out) {
  if (chunks.empty()) return 0;
  Chunk& chunk = chunks[random() % chunks.size()];
  const std::size_t used = chunk.data.size();
  const std::size_t room = used + 256;
  chunk.data.resize(room);
  chunk.data.resize(LLVMFuzzerMutate(chunk.data.data(), used, room));
  const std::vector<std::uint8_t> file = joinChunks(chunks);
  if (file.size() > maxSize) return 0;
  std::memcpy(out, file.data(), file.size());
  return file.size();
}

std::size_t mutateScanlines(std::vector<Chunk>& chunks, std::mt19937& random, std::size_t maxSize,
                            std::uint8_t* out) {
  std::vector<std::uint8_t> stream;
  std::size_t firstIdat = chunks.size();
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (std::memcmp(chunks[i].type, "IDAT", 4) != 0) continue;
    if (firstIdat == chunks.size()) firstIdat = i;
    stream.insert(stream.end(), chunks[i].data.begin(), chunks[i].data.end());
  }
  if (firstIdat == chunks.size()) return 0;

  std::vector<std::uint8_t> raw(kMaxRawBytes);
  z_stream inflater{};
  if (inflateInit(&inflater) != Z_OK) return 0;
  inflater.next_in = stream.data();
  inflater.avail_in = static_cast<uInt>(stream.size());
  inflater.next_out = raw.data();
  inflater.avail_out = static_cast<uInt>(raw.size() / 2);  // room for the mutation to grow
  static_cast<void>(::inflate(&inflater, Z_FINISH));
  const std::size_t rawBytes = inflater.total_out;
  inflateEnd(&inflater);
  if (rawBytes == 0) return 0;
  raw.resize(LLVMFuzzerMutate(raw.data(), rawBytes, raw.size()));

  std::vector<std::uint8_t> packed(compressBound(static_cast<uLong>(raw.size())));
  uLongf packedBytes = static_cast<uLongf>(packed.size());
  const int level = static_cast<int>(random() % 10);
  if (compress2(packed.data(), &packedBytes, raw.data(), static_cast<uLong>(raw.size()), level) !=
      Z_OK) {
    return 0;
  }
  packed.resize(packedBytes);

  std::vector<Chunk> rebuilt;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (std::memcmp(chunks[i].type, "IDAT", 4) != 0) {
      rebuilt.push_back(std::move(chunks[i]));
    } else if (i == firstIdat) {
      Chunk idat;
      std::memcpy(idat.type, "IDAT", 4);
      idat.data = std::move(packed);
      rebuilt.push_back(std::move(idat));
    }
  }
  const std::vector<std::uint8_t> file = joinChunks(rebuilt);
  if (file.size() > maxSize) return 0;
  std::memcpy(out, file.data(), file.size());
  return file.size();
}

}  // namespace png_mutator

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
  using namespace png_mutator;
  std::mt19937 random(seed);
  std::vector<Chunk> chunks;
  const unsigned move = random() % 4;
  if (move == 0 || !parseChunks(data, size, chunks)) return mutateWholeFile(data, size, maxSize);
  std::size_t newSize = move == 1 ? mutateOneChunk(chunks, random, maxSize, data)
                                  : mutateScanlines(chunks, random, maxSize, data);
  if (newSize == 0) newSize = mutateWholeFile(data, size, maxSize);
  return newSize;
}

#endif  // POW2BMP_LIBFUZZER
