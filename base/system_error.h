#pragma once
// The words for a system error number, the same on every system.

#include <cstddef>

// Writes the system's text for an error number, first letter lower-case ("permission denied"),
// to out: at most size - 1 characters and a terminating zero (size at least 1).
void describeSystemError(int error, char* out, std::size_t size) noexcept;
