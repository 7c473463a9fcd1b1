// SPDX-License-Identifier: MIT
#include "report_line.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

std::string device_opened_line(std::int32_t index) {
  return "Device " + std::to_string(index) + " opened\n";
}

std::string cant_open_line(std::int32_t index) {
  return "Can't open device " + std::to_string(index) + "\n";
}

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

// Reads the value, then asks the printer whether it prints exactly this.
int report_line_sample(const std::string &text) {
  static const std::string prefix = "Readed: ";
  if (text.compare(0, prefix.size(), prefix) != 0)
    return -1;
  int sample = 0;
  for (std::size_t i = prefix.size(); i < text.size() && text[i] != ' '; ++i) {
    const char digit = text[i];
    const int value = digit >= '0' && digit <= '9'   ? digit - '0'
                      : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                                                     : -1;
    if (value < 0 || sample > 0xf)
      return -1;
    sample = sample * 16 + value;
  }
  const std::string line = report_line(static_cast<std::uint8_t>(sample));
  const bool same =
      line.size() == text.size() + 1 && line.compare(0, text.size(), text) == 0;
  return same ? sample : -1;
}

bool index_line(const std::string &text,
                std::string (*line_for)(std::int32_t index),
                std::int32_t *index) {
  const std::size_t digits = text.find_first_of("-0123456789");
  if (digits == std::string::npos)
    return false;
  errno = 0;
  const long value = std::strtol(text.c_str() + digits, nullptr, 10);
  if (errno != 0 || value < INT32_MIN || value > INT32_MAX)
    return false;
  const std::string line = line_for(static_cast<std::int32_t>(value));
  if (line.size() != text.size() + 1 || line.compare(0, text.size(), text))
    return false;
  *index = static_cast<std::int32_t>(value);
  return true;
}
