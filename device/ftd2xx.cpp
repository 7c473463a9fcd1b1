// SPDX-License-Identifier: MIT
// The device library on Windows: the chip vendor's FTD2XX.dll, bound by
// ordinal through an import library made from our ftd2xx.def. The library
// uses the stdcall convention: a mismatch would corrupt the stack on every
// call, and the .def's argument byte counts make the link fail on one.

#include "device.h"

extern "C" {
__declspec(dllimport)
std::uint32_t __stdcall ftd2xx_open_by_index(std::int32_t index, void **handle);
__declspec(dllimport)
std::uint32_t __stdcall ftd2xx_set_bit_mode(void *handle, unsigned char mask,
                                            unsigned char mode);
__declspec(dllimport)
std::uint32_t __stdcall ftd2xx_read_pins(void *handle, unsigned char *pins);
}

device_status device_open_by_index(std::int32_t index, device_handle *handle) {
  return ftd2xx_open_by_index(index, handle);
}

device_status device_set_bit_mode(device_handle handle, std::uint8_t mask,
                                  std::uint8_t mode) {
  return ftd2xx_set_bit_mode(handle, mask, mode);
}

device_status device_read_pins(device_handle handle, std::uint8_t *pins) {
  // A byte of our own, so that a failed read cannot change *pins.
  unsigned char state = 0;
  const device_status status = ftd2xx_read_pins(handle, &state);
  if (status == 0)
    *pins = state;
  return status;
}

// The device stays open until the process ends, which releases it.
void device_close(device_handle) {}
