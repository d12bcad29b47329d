// Signatures of the formats the readers do not take. Most are fixed bytes at the start of the
// file; the ISO media family (HEIF, AVIF) is told by the brand of its leading ftyp box, and the
// Netpbm family by 'P', a digit or 'F'/'f', and white space. Icons must also count at least one
// picture, since their four bytes are otherwise common.

#include "image/foreign_formats.h"

#include <array>
#include <cstring>
#include <string_view>

namespace {

struct Signature {
  std::string_view bytes;  // the file's first bytes
  const char* name;
};

using namespace std::string_view_literals;

constexpr std::array kSignatures = {
    Signature{"GIF87a"sv, "GIF"},
    Signature{"GIF89a"sv, "GIF"},
    Signature{"II*\0"sv, "TIFF"},
    Signature{"MM\0*"sv, "TIFF"},
    Signature{"II+\0"sv, "BigTIFF"},
    Signature{"MM\0+"sv, "BigTIFF"},
    Signature{"DDS "sv, "DDS"},
    Signature{"8BPS"sv, "PSD"},
    Signature{"\xABKTX 11\xBB"sv, "KTX"},
    Signature{"\xABKTX 20\xBB"sv, "KTX2"},
    Signature{"v/1\x01"sv, "OpenEXR"},
    Signature{"qoif"sv, "QOI"},
    Signature{"\xFF\x0A"sv, "JPEG XL"},
    Signature{"\0\0\0\x0CJXL \x0D\x0A\x87\x0A"sv, "JPEG XL"},
    Signature{"\0\0\0\x0CjP  \x0D\x0A\x87\x0A"sv, "JPEG 2000"},
    Signature{"\xFF\x4F\xFF\x51"sv, "JPEG 2000"},
};

// Brands of an ftyp box (bytes 8..11) and the format they mean.
constexpr std::array kMediaBrands = {
    Signature{"avif"sv, "AVIF"},      Signature{"avis"sv, "AVIF"}, Signature{"heic"sv, "HEIF"},
    Signature{"heix"sv, "HEIF"},      Signature{"hevc"sv, "HEIF"}, Signature{"hevx"sv, "HEIF"},
    Signature{"heim"sv, "HEIF"},      Signature{"heis"sv, "HEIF"}, Signature{"mif1"sv, "HEIF/AVIF"},
    Signature{"msf1"sv, "HEIF/AVIF"},
};

bool startsWith(ByteSpan bytes, std::size_t offset, std::string_view text) noexcept {
  return holds(bytes, offset, text.size()) &&
         std::memcmp(bytes.data() + offset, text.data(), text.size()) == 0;
}

bool isSpace(std::uint8_t c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// P1..P6 (PBM, PGM, PPM), P7 (PAM), PF and Pf (PFM), each followed by white space.
const char* netpbmName(ByteSpan bytes) noexcept {
  if (bytes.size() < 3 || bytes[0] != 'P' || !isSpace(bytes[2])) return nullptr;
  const std::uint8_t kind = bytes[1];
  if (kind >= '1' && kind <= '6') return "PNM";
  if (kind == '7') return "PAM";
  if (kind == 'F' || kind == 'f') return "PFM";
  return nullptr;
}

}  // namespace

const char* foreignFormatName(ByteSpan bytes) noexcept {
  for (const Signature& signature : kSignatures) {
    if (startsWith(bytes, 0, signature.bytes)) return signature.name;
  }
  if (startsWith(bytes, 0, "RIFF"sv) && startsWith(bytes, 8, "WEBP"sv)) return "WebP";
  if (startsWith(bytes, 4, "ftyp"sv)) {
    for (const Signature& brand : kMediaBrands) {
      if (startsWith(bytes, 8, brand.bytes)) return brand.name;
    }
  }
  const bool oneOrMorePictures = readLe16(bytes, 4) != 0;  // image count
  if (startsWith(bytes, 0, "\0\0\x01\0"sv) && oneOrMorePictures) return "ICO";
  if (startsWith(bytes, 0, "\0\0\x02\0"sv) && oneOrMorePictures) return "CUR";
  return netpbmName(bytes);
}
