// The operations of FTD2XX.dll as listed in ftd2xx.def. On 32-bit Windows
// the library uses the stdcall convention; a mismatch would corrupt the
// stack on every call.
#pragma once

#include <cstdint>

#define FTD2XX_CALL __stdcall

extern "C" {
std::uint32_t FTD2XX_CALL ftd2xx_open_by_index(std::int32_t index,
                                               void **handle);
std::uint32_t FTD2XX_CALL ftd2xx_set_bit_mode(void *handle, unsigned char mask,
                                              unsigned char mode);
std::uint32_t FTD2XX_CALL ftd2xx_read_pins(void *handle, unsigned char *pins);
}
