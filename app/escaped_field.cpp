// Escaped report fields, written through a small buffer.

#include "app/escaped_field.h"

#include <cstddef>

namespace {

constexpr std::size_t kLongestEscape = 4;  // \xHH

// The escape of one byte into out (room for kLongestEscape bytes); returns its length.
std::size_t escapeByte(unsigned char byte, char* out) noexcept {
  constexpr char kHexDigits[] = "0123456789abcdef";
  const char named = byte == '\t' ? 't' : byte == '\n' ? 'n' : byte == '\\' ? '\\' : '\0';
  if (named != '\0') {
    out[0] = '\\';
    out[1] = named;
    return 2;
  }
  if (byte < 0x20 || byte == 0x7F) {
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHexDigits[byte >> 4];
    out[3] = kHexDigits[byte & 0xF];
    return 4;
  }
  out[0] = static_cast<char>(byte);
  return 1;
}

}  // namespace

void writeEscapedField(std::FILE* out, const char* text) noexcept {
  char buffer[256];
  std::size_t used = 0;
  for (const char* at = text; *at != '\0'; ++at) {
    if (used + kLongestEscape > sizeof buffer) {
      std::fwrite(buffer, 1, used, out);
      used = 0;
    }
    used += escapeByte(static_cast<unsigned char>(*at), buffer + used);
  }
  std::fwrite(buffer, 1, used, out);
}
