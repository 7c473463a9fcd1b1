// SPDX-License-Identifier: MIT
// Opens device 0 through a backend, sets bit-bang mode and reads the pins
// N times, each time into a byte that holds 0x5a beforehand, and prints
// "STATUS BYTE" for each read: a failed read must leave the byte alone.
// With a second argument M, the device is given back after M reads: the
// reads after it must fail and open nothing.

#include "device.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[]) {
  const int reads = argc >= 2 ? std::atoi(argv[1]) : 1;
  const int close_after = argc == 3 ? std::atoi(argv[2]) : -1;
  // Only the handle that open gave is taken.
  std::uint8_t pins = 0;
  if (device_set_bit_mode(&pins, 0x00, 0x01) == 0 ||
      device_read_pins(nullptr, &pins) == 0) {
    std::puts("a handle that open did not give was taken");
    return 1;
  }
  device_handle handle = nullptr;
  if (device_open_by_index(0, &handle) != 0 ||
      device_set_bit_mode(handle, 0x00, 0x01) != 0) {
    std::puts("start-up failed");
    return 1;
  }
  for (int read = 0; read < reads; ++read) {
    if (read == close_after)
      device_close(handle);
    pins = 0x5a;
    const device_status status = device_read_pins(handle, &pins);
    std::printf("%s %02x\n", status == 0 ? "ok" : "failed", unsigned{pins});
  }
  return 0;
}
