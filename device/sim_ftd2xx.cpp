// The simulated device as a stand-in FTD2XX.dll, for tests and for trying
// the Windows program under Wine. It exports the ordinals of ftd2xx.def.

#include "device.h"
#include "ftd2xx.h"

std::uint32_t FTD2XX_CALL ftd2xx_open_by_index(std::int32_t index,
                                               void **handle) {
  return device_open_by_index(index, handle);
}

std::uint32_t FTD2XX_CALL ftd2xx_set_bit_mode(void *handle, unsigned char mask,
                                              unsigned char mode) {
  return device_set_bit_mode(handle, mask, mode);
}

std::uint32_t FTD2XX_CALL ftd2xx_read_pins(void *handle, unsigned char *pins) {
  return device_read_pins(handle, pins);
}
