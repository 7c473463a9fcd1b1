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

// Gives the device back (on Linux, the serial driver to its channel).
// After it the device is never opened again and reads fail; the handle
// stays valid to pass. Nothing to do in the simulator and on Windows.
void device_close(device_handle handle);

// The way out on Linux. Opening a channel detaches the kernel's serial
// driver from it; however the process then ends, the driver is given back
// first:
// - returning from main, or exit();
// - a write to a pipe whose reader has gone: the write fails with EPIPE,
//   the program exits, and the process then dies of SIGPIPE;
// - every signal whose default action ends the process (SIGINT, SIGTERM,
//   SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, the real-time signals, ...): the
//   backend's own thread takes it, gives the port back, then lets it end
//   the process as it would have, with a core dump for SIGQUIT where core
//   dumps are on.
// Not given back: SIGKILL, and the signals that report a crash (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS). A signal ignored by
// whoever started the program stays ignored. The backend uses SIGRTMIN to
// stop its thread at exit; only the process itself can do that.
