// SPDX-License-Identifier: MIT
#include "device_index.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

std::int32_t device_index(int argc, const char *const argv[]) {
  if (argc != 2)
    return 0;

  const std::string text = argv[1];
  char *end = nullptr;
  errno = 0;
  // long is 64 bits on Linux and 32 on Windows: the range check below gives
  // both the same 32-bit limits.
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str())
    throw std::invalid_argument("invalid stoi argument");
  if (errno == ERANGE || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max())
    throw std::out_of_range("stoi argument out of range");
  return static_cast<std::int32_t>(value);
}
