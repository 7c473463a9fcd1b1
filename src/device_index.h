// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// The device index from the command line: 0 unless there is exactly one
// argument, which is read as a base-10 32-bit integer. Leading blanks and one
// sign are accepted and anything after the digits is ignored. Throws
// std::invalid_argument("invalid stoi argument") when no digit leads the
// text and std::out_of_range("stoi argument out of range") when the number
// does not fit in 32 bits.
std::int32_t device_index(int argc, const char *const argv[]);
