// SPDX-License-Identifier: MIT
// Feeds any bytes, cut into reads of any size, through pinmon-vcd's line
// reader: a line it keeps stays short, what it calls a reading is exactly
// the monitor's line for it, and a quoted line is printable and short.

#include "input_line.h"
#include "report_line.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void mismatch(const std::string &line, const char *what) {
  std::fprintf(stderr, "input_line: %s: %s\n", quoted_line(line).c_str(), what);
  std::abort();
}

void check_line(const std::string &line) {
  int sample = 0;
  const line_kind kind = classify_line(line, &sample);
  if (kind == line_kind::reading && sample >= 0 &&
      report_line(static_cast<std::uint8_t>(sample)) != line + "\n")
    mismatch(line, "a reading that is not the monitor's line for its byte");
  if (kind != line_kind::foreign &&
      (line_too_long(line) ||
       !std::all_of(line.begin(), line.end(), [](char c) { return c >= ' '; })))
    mismatch(line, "a long line or a control byte taken as the monitor's");
  const std::string quoted = quoted_line(line);
  if (quoted.size() > 2 + 40 * 4 + 3)
    mismatch(line, "quoted at length");
  for (char c : quoted)
    if (c < ' ' || c > '~')
      mismatch(line, "quoted with a byte that is not printable");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  if (size == 0)
    return 0;
  // The first byte sets the size of each read, as a pipe might cut it.
  const std::size_t read_size = data[0] % 64 + 1;
  const char *bytes = reinterpret_cast<const char *>(data) + 1;
  const char *end = bytes + size - 1;
  const std::size_t kept = std::max(longest_input_line, std::size_t{40}) + 1;
  std::string line;
  for (const char *chunk = bytes; chunk < end; chunk += read_size) {
    const char *start = chunk;
    const char *chunk_end = std::min(end, chunk + read_size);
    while (const char *next = gather_line(line, start, chunk_end)) {
      if (line.size() > kept)
        mismatch(line, "kept past its bound");
      check_line(line);
      line.clear();
      start = next;
    }
    if (line.size() > kept)
      mismatch(line, "kept past its bound");
  }
  check_line(line);
  return 0;
}
