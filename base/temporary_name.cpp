// Temporary names: formatting and reading back. Nothing here calls the operating system.

#include "base/temporary_name.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr char kTemporaryPrefix[] = ".pow2bmp-";
constexpr char kTemporarySuffix[] = ".tmp";

bool keptInHostName(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-';
}

// Reads the decimal digits at text up to the first non-digit; false when there are none or the
// value exceeds max.
bool parseDecimal(const char*& text, std::uint64_t max, std::uint64_t& value) noexcept {
  if (*text < '0' || *text > '9') return false;
  value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const auto digit = static_cast<std::uint64_t>(*text - '0');
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

}  // namespace

RunIdentity makeRunIdentity(const char* host, std::uint64_t space) noexcept {
  RunIdentity identity{};
  std::size_t length = 0;
  for (; host != nullptr && host[length] != '\0' && length < kMaxHostBytes; ++length) {
    identity.text[length] = keptInHostName(host[length]) ? host[length] : '-';
  }
  std::snprintf(identity.text + length, sizeof identity.text - length, "_%" PRIu64, space);
  return identity;
}

bool formatTemporaryPath(char* out, std::size_t size, const char* folder, std::size_t folderBytes,
                         const RunIdentity& identity, std::uint64_t pid,
                         unsigned counter) noexcept {
  if (folderBytes > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
  const int written =
      std::snprintf(out, size, "%.*s%s%s-%" PRIu64 "-%u%s", static_cast<int>(folderBytes), folder,
                    kTemporaryPrefix, identity.text, pid, counter, kTemporarySuffix);
  return written >= 0 && static_cast<std::size_t>(written) < size;
}

std::uint64_t temporaryFileOwner(const char* name, const RunIdentity& identity,
                                 std::uint64_t maxPid) noexcept {
  const std::size_t prefixBytes = sizeof kTemporaryPrefix - 1;
  const std::size_t identityBytes = std::strlen(identity.text);
  if (std::strncmp(name, kTemporaryPrefix, prefixBytes) != 0) return 0;
  const char* rest = name + prefixBytes;
  // The identity ends in '_' and digits and the rest holds neither '_' nor anything but digits,
  // '-' and the suffix, so the identity of another host or namespace never matches here.
  if (std::strncmp(rest, identity.text, identityBytes) != 0 || rest[identityBytes] != '-') {
    return 0;
  }
  rest += identityBytes + 1;
  std::uint64_t pid = 0;
  std::uint64_t counter = 0;
  if (!parseDecimal(rest, maxPid, pid) || pid == 0) return 0;
  if (*rest++ != '-') return 0;
  if (!parseDecimal(rest, std::numeric_limits<unsigned>::max(), counter)) return 0;
  if (std::strcmp(rest, kTemporarySuffix) != 0) return 0;
  return pid;
}
