// SPDX-License-Identifier: MIT
#include "input_line.h"

#include "report_line.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Its newline counts for the CR.
const std::size_t longest_input_line = cant_open_line(INT32_MIN).size();

namespace {

// What a message quotes of a line; a line keeps one byte more, so that the
// message can tell that it goes on.
const std::size_t quoted_bytes = 40;
const std::size_t kept_bytes = std::max(longest_input_line, quoted_bytes) + 1;

bool printable(char byte) {
  return byte >= ' ' && byte <= '~';
}

} // namespace

const char *gather_line(std::string &line, const char *start, const char *end) {
  const auto *newline = static_cast<const char *>(
      std::memchr(start, '\n', static_cast<std::size_t>(end - start)));
  const char *line_end = newline != nullptr ? newline : end;
  const std::size_t room = kept_bytes - std::min(line.size(), kept_bytes);
  line.append(start,
              std::min(room, static_cast<std::size_t>(line_end - start)));
  return newline != nullptr ? newline + 1 : nullptr;
}

bool line_too_long(const std::string &line) {
  return line.size() > longest_input_line;
}

line_kind classify_line(const std::string &line, int *sample) {
  *sample = -1;
  if (line_too_long(line) || !std::all_of(line.begin(), line.end(), printable))
    return line_kind::foreign;
  *sample = report_line_sample(line);
  if (*sample >= 0)
    return line_kind::reading;
  const std::string whole = line + "\n";
  if (whole == read_failed_line)
    return line_kind::reading;
  std::int32_t index = 0;
  if (whole == banner_line || whole == bit_mode_on_line ||
      index_line(line, device_opened_line, &index))
    return line_kind::startup;
  if (whole == bit_mode_failed_line || index_line(line, cant_open_line, &index))
    return line_kind::startup_failure;
  return line_kind::foreign;
}

std::string quoted_line(const std::string &line) {
  std::string quoted = "\"";
  for (std::size_t i = 0; i < line.size() && i < quoted_bytes; ++i) {
    if (printable(line[i])) {
      quoted += line[i];
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x",
                    static_cast<unsigned char>(line[i]));
      quoted += escaped;
    }
  }
  quoted += '"';
  if (line.size() > quoted_bytes)
    quoted += "...";
  return quoted;
}
