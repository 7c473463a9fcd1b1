// SPDX-License-Identifier: MIT
#include "report_line.h"

#include <algorithm>

std::string report_line(std::uint8_t sample) {
  static const char hex_digits[] = "0123456789abcdef";
  static const char prefix[] = "Readed: ";
  // Built in place and copied once: the loop calls this ten times a second
  // for as long as the monitor runs.
  char line[sizeof "Readed: ff : 11111111\n"];
  char *end = std::copy(prefix, prefix + sizeof prefix - 1, line);
  if (sample > 0xf)
    *end++ = hex_digits[sample >> 4];
  *end++ = hex_digits[sample & 0xf];
  *end++ = ' ';
  *end++ = ':';
  *end++ = ' ';
  for (int bit = 7; bit >= 0; --bit)
    *end++ = ((sample >> bit) & 1) != 0 ? '1' : '0';
  *end++ = '\n';
  return std::string(line, end);
}
