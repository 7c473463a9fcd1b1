// SPDX-License-Identifier: MIT
// The simulated device as a stand-in FTD2XX.dll, for tests and for trying
// the Windows program under Wine. It exports the ordinals of sim_ftd2xx.def,
// stdcall like the library it stands in for.

#include "device.h"

extern "C" {

std::uint32_t __stdcall ftd2xx_open_by_index(std::int32_t index,
                                             void **handle) {
  return device_open_by_index(index, handle);
}

std::uint32_t __stdcall ftd2xx_set_bit_mode(void *handle, unsigned char mask,
                                            unsigned char mode) {
  return device_set_bit_mode(handle, mask, mode);
}

std::uint32_t __stdcall ftd2xx_read_pins(void *handle, unsigned char *pins) {
  return device_read_pins(handle, pins);
}

} // extern "C"
