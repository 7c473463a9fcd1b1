// SPDX-License-Identifier: MIT
// The monitor's output read back, one line at a time, whatever the input
// holds: a line is never kept longer than any line the monitor prints, and
// what is not the monitor's is quoted safely for a message.
#pragma once

#include <cstddef>
#include <string>

// The longest line the monitor prints ("Can't open device -2147483648"),
// with the CR of a CR LF line ending. A line that grows past it is foreign.
extern const std::size_t longest_input_line;

// Takes bytes from [start, end) into line, up to and including the next
// newline, which is not kept. Only the first few bytes past
// longest_input_line are kept, enough to quote. Returns the byte after the
// newline, or nullptr when the line goes on past end.
const char *gather_line(std::string &line, const char *start, const char *end);

bool line_too_long(const std::string &line);

enum class line_kind { startup, reading, startup_failure, foreign };

// What a whole line is, without its line ending (newline, or CR LF). A
// control byte anywhere makes it foreign. For a reading, *sample is the
// byte, or -1 for a failed reading.
line_kind classify_line(const std::string &line, int *sample);

// The line for a message: its first 40 bytes in double quotes, every byte
// that is not printable ASCII as \xNN, and "..." after the quotes when
// the line goes on.
std::string quoted_line(const std::string &line);
