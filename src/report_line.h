// SPDX-License-Identifier: MIT
// The lines the monitor prints, for the monitor and for what reads its
// output, so that the two cannot drift apart.
#pragma once

#include <cstdint>
#include <string>

inline constexpr char banner_line[] = "FTDI Bit Bang mode\n";
inline constexpr char bit_mode_on_line[] = "BitBang mode On\n";
inline constexpr char bit_mode_failed_line[] = "Failed to set bitbang mode\n";
inline constexpr char read_failed_line[] = "Failed to read pins\n";

// "Device N opened\n" and "Can't open device N\n", N in decimal.
std::string device_opened_line(std::int32_t index);
std::string cant_open_line(std::int32_t index);

// One report line for a pin sample: "Readed: ", the value in lowercase hex
// without prefix or leading zeros, " : ", its eight bits from bit 7 down to
// bit 0, and a newline.
std::string report_line(std::uint8_t sample);

// The sample that a report line (without its newline) shows, or -1 when
// the text is not exactly the report line of a sample.
int report_line_sample(const std::string &text);

// The index that a "Device N opened" or "Can't open device N" line
// (without its newline) shows, made by line_for; false when the text is
// not exactly such a line.
bool index_line(const std::string &text,
                std::string (*line_for)(std::int32_t index),
                std::int32_t *index);
