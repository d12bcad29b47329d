#include "base/system_error.h"

#include <cstdio>
#include <cstring>

void describeSystemError(int error, char* out, std::size_t size) noexcept {
  std::snprintf(out, size, "%s", std::strerror(error));
  if (out[0] >= 'A' && out[0] <= 'Z') out[0] = static_cast<char>(out[0] - 'A' + 'a');
}
