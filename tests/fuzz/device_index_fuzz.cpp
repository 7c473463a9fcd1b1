// SPDX-License-Identifier: MIT
// Checks the device index of every single argument against an independent
// reading of the text: optional blanks, an optional sign, then digits.

#include "device_index.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

enum class outcome { value, invalid, out_of_range };

bool is_blank(char c) {
  return std::strchr(" \t\n\v\f\r", c) != nullptr && c != '\0';
}

outcome expected_outcome(const std::string &text, std::int64_t &value) {
  std::size_t at = 0;
  while (at < text.size() && is_blank(text[at]))
    ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-'))
    negative = text[at++] == '-';
  const std::size_t first_digit = at;
  const std::int64_t past_any_int32 = std::int64_t{1} << 32;
  std::int64_t magnitude = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > past_any_int32)
      magnitude = past_any_int32; // stays out of range, never overflows
    ++at;
  }
  if (at == first_digit)
    return outcome::invalid;
  value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX)
    return outcome::out_of_range;
  return outcome::value;
}

[[noreturn]] void mismatch(const std::string &text, const char *what) {
  std::fprintf(stderr, "device_index(\"%s\"): %s\n", text.c_str(), what);
  std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  // An argument cannot hold a NUL: it ends the text.
  const char *bytes = reinterpret_cast<const char *>(data);
  const std::string text(bytes, strnlen(bytes, size));
  const char *argv[] = {"pinmon", text.c_str(), nullptr};

  std::int64_t value = 0;
  const outcome expected = expected_outcome(text, value);
  try {
    const std::int32_t index = device_index(2, argv);
    if (expected != outcome::value)
      mismatch(text, "gave a value where an error was due");
    if (index != value)
      mismatch(text, "gave the wrong value");
  } catch (const std::invalid_argument &error) {
    if (expected != outcome::invalid)
      mismatch(text, "invalid-argument error out of place");
    if (std::strcmp(error.what(), "invalid stoi argument") != 0)
      mismatch(text, "wrong invalid-argument message");
  } catch (const std::out_of_range &error) {
    if (expected != outcome::out_of_range)
      mismatch(text, "out-of-range error out of place");
    if (std::strcmp(error.what(), "stoi argument out of range") != 0)
      mismatch(text, "wrong out-of-range message");
  }
  return 0;
}
