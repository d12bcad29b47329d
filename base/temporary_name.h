#pragma once
// Names of temporary output files, the same on every system:
//
//   .pow2bmp-HOST_SPACE-PID-N.tmp
//
// HOST is the machine's name (bytes other than letters, digits, '.' and '-' written as '-', at
// most kMaxHostBytes of them), SPACE the number of the process-id namespace the writer runs in
// (0 where the system has none), PID the writing process and N a counter. A PID means something
// only on one host and in one namespace, so a leftover is judged by its PID only when the first
// two fields are this process's own: a run never removes the live file of a run in another
// container or on another machine writing into the same shared folder.

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kMaxHostBytes = 64;
// HOST, '_' and a 64-bit SPACE in decimal, and the terminating zero.
inline constexpr std::size_t kRunIdentityBytes = kMaxHostBytes + 1 + 20 + 1;

// "HOST_SPACE" of a host name and a namespace number, zero-terminated.
struct RunIdentity {
  char text[kRunIdentityBytes];
};
[[nodiscard]] RunIdentity makeRunIdentity(const char* host, std::uint64_t space) noexcept;

// Writes `folderBytes` bytes of folder, then the temporary name of (identity, pid, counter) into
// out; false when it does not fit in size bytes.
[[nodiscard]] bool formatTemporaryPath(char* out, std::size_t size, const char* folder,
                                       std::size_t folderBytes, const RunIdentity& identity,
                                       std::uint64_t pid, unsigned counter) noexcept;

// The PID of a temporary name written by a process of this identity, with PID from 1 to maxPid;
// 0 for a name of any other form or identity.
[[nodiscard]] std::uint64_t temporaryFileOwner(const char* name, const RunIdentity& identity,
                                               std::uint64_t maxPid) noexcept;
