// Escaped report fields against a decoder written from the documented rules alone: every string
// of bytes reads back exactly, and the field holds no tab, line feed or other control byte.

#include "app/escaped_field.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

namespace {

// The field as written to a stream.
std::string escaped(const std::string& text) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) throw std::runtime_error("tmpfile failed");
  writeEscapedField(file, text.c_str());
  std::string field;
  std::rewind(file);
  char buffer[512];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) field.append(buffer, got);
  std::fclose(file);
  return field;
}

int hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;  // upper case is not the documented form
}

bool isControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

// Reads a field back, accepting only the documented form: \t, \n, \\, \xHH (lower-case) for the
// other control bytes, and every other byte but a control byte as itself. Nothing when the field
// is not in that form.
std::optional<std::string> unescape(const std::string& field) {
  std::string text;
  for (std::size_t at = 0; at < field.size(); ++at) {
    const auto byte = static_cast<unsigned char>(field[at]);
    if (isControl(byte)) return std::nullopt;
    if (byte != '\\') {
      text += static_cast<char>(byte);
      continue;
    }
    if (++at == field.size()) return std::nullopt;
    switch (field[at]) {
      case 't':
        text += '\t';
        break;
      case 'n':
        text += '\n';
        break;
      case '\\':
        text += '\\';
        break;
      case 'x': {
        if (at + 2 >= field.size()) return std::nullopt;
        const int high = hexValue(field[at + 1]);
        const int low = hexValue(field[at + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        const auto value = static_cast<unsigned char>(high * 16 + low);
        if (!isControl(value) || value == '\t' || value == '\n') return std::nullopt;
        text += static_cast<char>(value);
        at += 2;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return text;
}

TEST(EscapedField, RandomByteStringsReadBackExactlyFromTheDocumentedForm) {
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    // Mostly control bytes, backslashes and bytes of 0x80 and above, some long enough to pass
    // the writer's buffer several times.
    const std::size_t length = random() % 8 == 0 ? random() % 1200 : random() % 40;
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
      const auto kind = random() % 4;
      const auto byte = kind == 0   ? 1 + random() % 0x1F
                        : kind == 1 ? (random() % 2 == 0 ? 0x5C : 0x7F)
                        : kind == 2 ? 0x80 + random() % 0x80
                                    : 0x20 + random() % 0x5F;
      text += static_cast<char>(byte);
    }
    const std::string field = escaped(text);
    const std::optional<std::string> decoded = unescape(field);
    ASSERT_TRUE(decoded.has_value()) << round << ": " << field;
    EXPECT_EQ(*decoded, text) << round;
  }
  EXPECT_EQ(escaped("a\tb\nc\\d\re\x7F\x01 \xC3\xA9"), "a\\tb\\nc\\\\d\\x0de\\x7f\\x01 \xC3\xA9");
}

}  // namespace
