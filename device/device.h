// SPDX-License-Identifier: MIT
// The three operations of the device library that the monitor uses.
// Each returns the library's status word: 0 for success, anything else for
// a failure. Every backend in this folder implements all three.
#pragma once

#include <cstdint>

using device_handle = void *;
using device_status = std::uint32_t;

// Opens the index-th device and writes its handle. Negative indexes are
// passed in unchanged; a backend fails them without touching anything.
device_status device_open_by_index(std::int32_t index, device_handle *handle);

device_status device_set_bit_mode(device_handle handle, std::uint8_t mask,
                                  std::uint8_t mode);

// Writes the state of the eight data lines; on a failure *pins is unchanged.
device_status device_read_pins(device_handle handle, std::uint8_t *pins);
