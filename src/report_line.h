// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

// One report line for a pin sample: "Readed: ", the value in lowercase hex
// without prefix or leading zeros, " : ", its eight bits from bit 7 down to
// bit 0, and a newline.
std::string report_line(std::uint8_t sample);
