#pragma once
// Fields of report lines meant to be read by programs (check mode's lines): a file name written
// as one field can neither end the line nor add a field, and reads back to its exact bytes.

#include <cstdio>

// Writes text to out with tab as \t, line feed as \n, backslash as \\, every other byte below
// 0x20 and the byte 0x7F as \xHH (two lower-case hex digits), and every other byte as it is:
// printable ASCII, and bytes 0x80 and above, so UTF-8 names stay readable. Not flushed.
void writeEscapedField(std::FILE* out, const char* text) noexcept;
