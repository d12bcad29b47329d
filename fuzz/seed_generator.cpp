// Writes the seed corpora of the fuzz targets: small valid (and a few deliberately odd) files
// of every format and variant the readers take, made with the test builders. Usage:
//   fuzz_seed_generator <corpus folder>
// writes <corpus folder>/<target>/<name> for every target; existing files of the same name are
// replaced, others are left alone. A seed is written once: the targets that decode any format
// also read the format's folder (fuzz/seed-folders).

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/bmp_builder.h"
#include "support/deflate_bits.h"
#include "support/jpeg_oracle.h"
#include "support/png_oracle.h"
#include "support/png_writer.h"
#include "support/test_files.h"
#include "support/tga_writer.h"

namespace {

std::filesystem::path corpusRoot;
std::size_t filesWritten = 0;

void seed(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::filesystem::path folder = corpusRoot / target;
  std::filesystem::create_directories(folder);
  writeFile(folder / name, bytes);
  ++filesWritten;
}

Bytes pseudoRandomBytes(std::size_t count, std::uint32_t seedValue, unsigned alphabet) {
  Bytes bytes(count);
  std::uint32_t state = seedValue * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>((state >> 16) % alphabet);
  }
  return bytes;
}

// --- PNG ------------------------------------------------------------------------------------

struct PngSeed {
  const char* name;
  std::uint32_t width;
  std::uint32_t height;
  std::uint8_t bitDepth;
  std::uint8_t colourType;
  bool interlaced;
  std::vector<std::uint8_t> filters;
};

const std::vector<PngSeed> kPngSeeds = {
    {"rgb8_1x1", 1, 1, 8, 2, false, {0}},
    {"rgb8_5x4_all_filters", 5, 4, 8, 2, false, {0, 1, 2, 3, 4}},
    {"rgb8_17x9_paeth_avg", 17, 9, 8, 2, false, {4, 3, 1}},
    {"rgb8_9x7_adam7", 9, 7, 8, 2, true, {0, 1, 2, 3, 4}},
    {"rgba8_6x5_all_filters", 6, 5, 8, 6, false, {1, 2, 3, 4, 0}},
    {"rgba8_13x11_adam7", 13, 11, 8, 6, true, {4, 3, 2, 1, 0}},
    {"rgba8_1x9", 1, 9, 8, 6, false, {2}},
    {"grey1_17x3", 17, 3, 1, 0, false, {0, 1}},
    {"grey2_9x3", 9, 3, 2, 0, false, {2}},
    {"grey4_5x5_adam7", 5, 5, 4, 0, true, {3}},
    {"grey8_4x4", 4, 4, 8, 0, false, {4}},
    {"greyalpha8_4x3", 4, 3, 8, 4, false, {1}},
    {"palette1_9x2", 9, 2, 1, 3, false, {0}},
    {"palette4_7x3", 7, 3, 4, 3, false, {2}},
    {"palette8_6x6_adam7", 6, 6, 8, 3, true, {4}},
    {"rgb16_2x2", 2, 2, 16, 2, false, {0}},
};

Bytes pngFor(const PngSeed& s, std::uint32_t seedValue) {
  PngPicture picture =
      makePngPicture(s.width, s.height, s.bitDepth, s.colourType, s.interlaced, seedValue);
  picture.filters = s.filters;
  return buildPng(picture);
}

// A truecolour file whose zlib stream is split over three IDAT chunks, with a tRNS and an
// unknown ancillary chunk before them.
Bytes splitIdatPng() {
  PngPicture picture = makePngPicture(8, 6, 8, 2, false, 7);
  picture.filters = {1, 4};
  const Bytes stream = zlibCompress(pngScanlines(picture), 6);
  const auto third = static_cast<std::ptrdiff_t>(stream.size() / 3);
  const auto piece = [&](std::ptrdiff_t from, std::ptrdiff_t to) {
    return Bytes(stream.begin() + from, to < 0 ? stream.end() : stream.begin() + to);
  };
  return joinBytes({pngSignature(), pngChunk("IHDR", pngHeaderData(8, 6, 8, 2)),
                    pngChunk("tRNS", {0, 1, 0, 2, 0, 3}), pngChunk("teSt", {1, 2, 3}),
                    pngChunk("IDAT", piece(0, third)), pngChunk("IDAT", piece(third, 2 * third)),
                    pngChunk("IDAT", piece(2 * third, -1)), pngChunk("IEND", {})});
}

void pngSeeds() {
  std::uint32_t seedValue = 1;
  for (const PngSeed& s : kPngSeeds) {
    const Bytes file = pngFor(s, seedValue++);
    seed("png", s.name, file);
  }
  seed("png", "rgb8_split_idat", splitIdatPng());
  // libpng asked to flush after every row: zlib's empty stored block ends each row.
  seed("png_libpng", "rgba8_libpng_flushed",
       encodeWithLibpng(makePngPicture(9, 6, 8, 6, false, 9), 1));
  const PngSeed wide = {"rgb8_40x3_stored", 40, 3, 8, 2, false, {5}};
  seed("png", "rgb8_filter5_refused", pngFor(wide, 3));
}

// --- zlib streams ----------------------------------------------------------------------------

// data in three pieces, each followed by a sync flush (an empty stored block), then the end.
Bytes syncFlushed(const Bytes& data) {
  z_stream z{};
  if (deflateInit(&z, 6) != Z_OK) return {};
  Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 64);
  z.next_in = const_cast<Bytef*>(data.data());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  for (int piece = 0; piece < 3; ++piece) {
    z.avail_in = static_cast<uInt>(data.size() / 3);
    deflate(&z, Z_SYNC_FLUSH);
  }
  z.avail_in = static_cast<uInt>(data.size() - 3 * (data.size() / 3));
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::vector<std::pair<std::string, Bytes>> zlibStreams() {
  std::vector<std::pair<std::string, Bytes>> streams;
  const Bytes text = pseudoRandomBytes(3000, 1, 4);
  const Bytes noise = pseudoRandomBytes(700, 2, 256);
  Bytes longRuns(40000, 'a');
  for (std::size_t i = 0; i < longRuns.size(); i += 997) longRuns[i] = static_cast<std::uint8_t>(i);

  streams.emplace_back("zlib_default_text", compressWithZlib(text, 6, 15, Z_DEFAULT_STRATEGY));
  streams.emplace_back("zlib_fixed_text", compressWithZlib(text, 9, 15, Z_FIXED));
  streams.emplace_back("zlib_huffman_only", compressWithZlib(text, 9, 15, Z_HUFFMAN_ONLY));
  streams.emplace_back("zlib_rle_runs", compressWithZlib(longRuns, 9, 15, Z_RLE));
  streams.emplace_back("zlib_stored_noise", compressWithZlib(noise, 0, 15, Z_DEFAULT_STRATEGY));
  streams.emplace_back("zlib_window9_runs", compressWithZlib(longRuns, 9, 9, Z_DEFAULT_STRATEGY));
  streams.emplace_back("zlib_far_matches", compressWithZlib(joinBytes({noise, longRuns, noise}), 9,
                                                            15, Z_DEFAULT_STRATEGY));
  streams.emplace_back("zlib_empty", compressWithZlib({}, 6, 15, Z_DEFAULT_STRATEGY));

  // Hand-built blocks: two stored blocks, a fixed block with overlapping matches, and a
  // dynamic block with an incomplete distance code.
  DeflateBitWriter stored;
  stored.storedBlock(false, {1, 2, 3}).storedBlock(true, {4, 5});
  streams.emplace_back("hand_stored_two_blocks", zlibStream(stored.finish(), {1, 2, 3, 4, 5}));

  DeflateBitWriter fixed;
  fixed.blockHeader(true, 1)
      .fixedLiteral('x')
      .fixedLiteral('y')
      .fixedMatch(10, 2)
      .fixedMatch(258, 1)
      .fixedLiteral(256);
  Bytes fixedContent = {'x', 'y'};
  for (int i = 0; i < 10; ++i) fixedContent.push_back(fixedContent[fixedContent.size() - 2]);
  for (int i = 0; i < 258; ++i) fixedContent.push_back(fixedContent.back());
  streams.emplace_back("hand_fixed_matches", zlibStream(fixed.finish(), fixedContent));

  std::vector<std::uint8_t> literalLengths(258, 0);
  literalLengths['a'] = 1;
  literalLengths[256] = 2;                                // end of block
  literalLengths[257] = 2;                                // match length 3
  const std::vector<std::uint8_t> distanceLengths = {1};  // one code of one bit: incomplete
  const HuffmanCode literals = HuffmanCode::fromLengths(literalLengths);
  const HuffmanCode distances = HuffmanCode::fromLengths(distanceLengths);
  DeflateBitWriter dynamic;
  dynamic.blockHeader(true, 2).plainDynamicHeader(literalLengths, distanceLengths);
  dynamic.symbol(literals, 'a').symbol(literals, 257).symbol(distances, 0).symbol(literals, 256);
  streams.emplace_back("hand_dynamic_incomplete", zlibStream(dynamic.finish(), Bytes(4, 'a')));
  streams.emplace_back("zlib_sync_flushed_text", syncFlushed(text));
  return streams;
}

void zlibSeeds() {
  std::uint8_t split = 3;
  for (const auto& [name, stream] : zlibStreams()) {
    seed("inflate_zlib", name, stream);
    Bytes withSizes = {split, static_cast<std::uint8_t>(split * 37)};
    split = static_cast<std::uint8_t>(split + 29);
    withSizes.insert(withSizes.end(), stream.begin(), stream.end());
    seed("inflate", name, withSizes);
  }
}

// --- BMP and TGA -----------------------------------------------------------------------------

void bmpSeeds() {
  struct BmpSeed {
    const char* name;
    BmpFields fields;
  };
  const std::vector<BmpSeed> seeds = {
      {"bgr24_4x4", {}},
      {"bgr24_5x3_row_padding", {5, 3, 24}},
      {"bgr24_1x1", {1, 1, 24}},
      {"bgra32_3x2", {3, 2, 32}},
      {"bgr24_top_down_3x3", {3, -3, 24}},
      {"bgra32_v5_header_2x2", {2, 2, 32, 1, 0, 124, 138}},
      {"bgr24_gap_before_pixels_2x2", {2, 2, 24, 1, 0, 40, 80}},
      {"bgr24_wrong_file_size", {3, 3, 24, 1, 0, 40, 54, 100}},
  };
  for (const BmpSeed& s : seeds) {
    const Bytes file = buildBmp(s.fields);
    seed("bmp", s.name, file);
  }
}

// Layouts read only when expanding, for the targets that also decode with expand.
void bmpExpandedSeeds() {
  Bytes table(256 * 4);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const Bytes rows = pseudoRandomBytes(8 * 6, 11, 256);
  const Bytes rle8 = {3, 1, 0, 4, 2, 3, 4, 5, 2, 0, 0, 0, 0, 2, 2, 1, 5, 4, 0, 0, 0, 1};
  const Bytes rle4 = {5, 0x12, 0, 5, 0x34, 0x56, 0x70, 0, 0, 0, 0, 2, 1, 1, 4, 0xAB, 0, 1};
  const std::vector<std::uint32_t> masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
  const std::vector<std::pair<const char*, Bytes>> seeds = {
      {"palette1_5x4", buildBmpFrom({5, 4, 1}, {}, Bytes(table.begin(), table.begin() + 8),
                                    Bytes(rows.begin(), rows.begin() + 16))},
      {"palette4_top_down_5x4",
       buildBmpFrom({5, -4, 4}, {}, Bytes(table.begin(), table.begin() + 64),
                    Bytes(rows.begin(), rows.begin() + 16))},
      {"palette8_v5_header_5x4",
       buildBmpFrom({5, 4, 8, 1, 0, 124}, {}, table, Bytes(rows.begin(), rows.begin() + 32), 200)},
      {"rle8_9x4",
       buildBmpFrom({9, 4, 8, 1, 1}, {}, Bytes(table.begin(), table.begin() + 24), rle8)},
      {"rle4_10x4",
       buildBmpFrom({10, 4, 4, 1, 2}, {}, Bytes(table.begin(), table.begin() + 64), rle4)},
      {"rgb555_3x4", buildBmpFrom({3, 4, 16}, {}, {}, Bytes(rows.begin(), rows.begin() + 32))},
      {"bit_fields16_565_3x4", buildBmpFrom({3, 4, 16, 1, 3}, {0xF800, 0x07E0, 0x001F}, {},
                                            Bytes(rows.begin(), rows.begin() + 32))},
      {"bit_fields32_alpha_v4_header_3x4",
       buildBmpFrom({3, -4, 32, 1, 3, 108}, masks, {}, Bytes(rows.begin(), rows.begin() + 48))},
      {"alpha_bit_fields32_3x4",
       buildBmpFrom({3, 4, 32, 1, 6}, masks, {}, Bytes(rows.begin(), rows.begin() + 48))},
      {"os2_palette8_5x3", buildOs2Bmp(5, 3, 8, Bytes(table.begin(), table.begin() + 48),
                                       Bytes(rows.begin(), rows.begin() + 24))},
      {"os2_bgr24_3x2", buildOs2Bmp(3, 2, 24, {}, Bytes(rows.begin(), rows.begin() + 24))},
  };
  for (const auto& [name, file] : seeds) seed("bmp", name, file);
}

void tgaExpandedSeeds() {
  const Bytes map = pseudoRandomBytes(16 * 4, 12, 256);
  const Bytes indices = pseudoRandomBytes(5 * 4, 13, 16);
  Bytes wideIndices;
  for (std::uint8_t index : indices) wideIndices.insert(wideIndices.end(), {index, 0});
  TgaFields mapped8 = {1, 1, 16, 5, 4, 8, 0, {}, 0, 24, Bytes(map.begin(), map.begin() + 48)};
  TgaFields mapped16 = {1, 9, 16, 5, 4, 16, 0x20, {}, 0, 32, map};
  TgaFields mapped15 = {1, 1, 16, 5, 4, 8, 0, {}, 0, 15, Bytes(map.begin(), map.begin() + 32)};
  const std::vector<std::pair<const char*, Bytes>> seeds = {
      {"mapped8_24bit_entries_5x4", buildTga(mapped8, indices)},
      {"mapped16_rle_32bit_entries_5x4", buildTga(mapped16, encodeTgaRle(wideIndices, 2))},
      {"mapped8_15bit_entries_5x4", buildTga(mapped15, indices)},
      {"grey8_5x4", buildTga({0, 3, 0, 5, 4, 8, 0}, tgaTestPixels(5, 4, 1))},
      {"grey8_rle_5x4", buildTga({0, 11, 0, 5, 4, 8, 0x20}, encodeTgaRle(indices, 1))},
      {"grey_alpha16_5x4", buildTga({0, 3, 0, 5, 4, 16, 0}, tgaTestPixels(5, 4, 2))},
      {"rgb15_5x4", buildTga({0, 2, 0, 5, 4, 15, 0}, tgaTestPixels(5, 4, 2))},
      {"rgb16_rle_5x4", buildTga({0, 10, 0, 5, 4, 16, 0}, encodeTgaRle(wideIndices, 2))},
  };
  for (const auto& [name, file] : seeds) seed("tga", name, file);
}

void tgaSeeds() {
  struct TgaSeed {
    const char* name;
    TgaFields fields;
    bool rle;
  };
  TgaFields withId;
  withId.id = {'i', 'd'};
  withId.descriptor = 0x20;
  const std::vector<TgaSeed> seeds = {
      {"bgr24_2x2", {}, false},
      {"bgra32_3x2_top_first", {0, 2, 0, 3, 2, 32, 0x28}, false},
      {"bgr24_rle_7x3", {0, 10, 0, 7, 3, 24, 0}, true},
      {"bgra32_rle_5x4_top_first", {0, 10, 0, 5, 4, 32, 0x28}, true},
      {"bgr24_with_id", withId, false},
  };
  for (const TgaSeed& s : seeds) {
    const unsigned channels = s.fields.pixelDepth / 8u;
    Bytes pixels = tgaTestPixels(s.fields.width, s.fields.height, channels);
    if (s.rle) {
      // Runs as well as raw stretches: repeat the first pixel of every row.
      for (std::size_t row = 0; row < s.fields.height; ++row) {
        for (std::size_t k = channels; k < 3u * channels; ++k) {
          pixels[row * s.fields.width * channels + k] =
              pixels[row * s.fields.width * channels + k % channels];
        }
      }
    }
    const Bytes file = buildTga(s.fields, s.rle ? encodeTgaRle(pixels, channels) : pixels);
    seed("tga", s.name, file);
  }
}

// --- JPEG ------------------------------------------------------------------------------------

void jpegSeeds() {
  struct JpegSeed {
    const char* name;
    JpegEncoding encoding;
  };
  const std::vector<JpegSeed> seeds = {
      {"rgb_16x16", {16, 16, JpegColor::Rgb, false, false, false, false, 75}},
      {"rgb_420_17x13", {17, 13, JpegColor::Rgb, true, false, false, false, 75}},
      {"grey_9x8", {9, 8, JpegColor::Grey, false, false, false, false, 75}},
      {"rgb_progressive_16x8", {16, 8, JpegColor::Rgb, true, true, false, true, 60}},
      {"rgb_arithmetic_8x8", {8, 8, JpegColor::Rgb, false, false, true, false, 75}},
      {"cmyk_8x8", {8, 8, JpegColor::Cmyk, false, false, false, false, 75}},
      {"ycck_16x16", {16, 16, JpegColor::Ycck, true, false, false, false, 75}},
      {"two_components_8x8", {8, 8, JpegColor::TwoComponents, false, false, false, false, 75}},
  };
  for (const JpegSeed& s : seeds) {
    const Bytes file = encodeJpeg(s.encoding);
    if (file.empty()) continue;  // the library cannot encode this variant
    seed("jpeg", s.name, file);
  }
  seed("jpeg", "tables_only", encodeJpegTablesOnly());
}

void decodeImagePngSeeds() {
  const std::vector<PngSeed> picks = {kPngSeeds[1], kPngSeeds[3], kPngSeeds[4]};
  std::uint32_t seedValue = 40;
  for (const PngSeed& s : picks)
    seed("decode_image", std::string("png_") + s.name, pngFor(s, seedValue++));
}

// --- Padding ---------------------------------------------------------------------------------

void paddingSeeds() {
  struct PaddingSeed {
    const char* name;
    std::uint8_t channelByte;
    std::uint16_t width;
    std::uint16_t height;
  };
  const std::vector<PaddingSeed> seeds = {
      {"bgr_1x1", 0, 0, 0},           {"bgra_3x5", 1, 2, 4},
      {"bgr_4x4_unchanged", 0, 3, 3}, {"bgra_8x16_unchanged", 1, 7, 15},
      {"bgr_5x17", 0, 4, 16},         {"bgra_129x2", 1, 128, 1},
      {"bgr_513x3", 0, 512, 2},
  };
  std::uint32_t seedValue = 90;
  for (const PaddingSeed& s : seeds) {
    Bytes bytes = {s.channelByte, static_cast<std::uint8_t>(s.width),
                   static_cast<std::uint8_t>(s.width >> 8), static_cast<std::uint8_t>(s.height),
                   static_cast<std::uint8_t>(s.height >> 8)};
    const Bytes pixels = pseudoRandomBytes(48, seedValue++, 256);
    bytes.insert(bytes.end(), pixels.begin(), pixels.end());
    seed("padding", s.name, bytes);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  corpusRoot = argv[1];
  pngSeeds();
  zlibSeeds();
  bmpSeeds();
  tgaSeeds();
  bmpExpandedSeeds();
  tgaExpandedSeeds();
  jpegSeeds();
  decodeImagePngSeeds();
  paddingSeeds();
  std::printf("wrote %zu seed files under %s\n", filesWritten, corpusRoot.c_str());
  return 0;
}
