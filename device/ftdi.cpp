// The device library on Linux: libftdi1. The handle is the libftdi1
// context of the opened device.

#include "device.h"

#include <ftdi.h>

namespace {

const device_status status_ok = 0;
const device_status status_invalid_handle = 1;
const device_status status_not_found = 2;
const device_status status_not_opened = 3;
const device_status status_io_error = 4;
const device_status status_out_of_memory = 5;

// The one device opened. It stays open, and reachable, until the process
// ends: the program never closes it, even when it gives up after the open.
ftdi_context *opened_device = nullptr;

ftdi_context *opened_context(device_handle handle) {
  return handle != nullptr && handle == opened_device
             ? static_cast<ftdi_context *>(handle)
             : nullptr;
}

} // namespace

device_status device_open_by_index(std::int32_t index, device_handle *handle) {
  if (index < 0 || handle == nullptr)
    return status_not_found;

  ftdi_context *context = ftdi_new();
  if (context == nullptr)
    return status_out_of_memory;

  // Vendor and product 0 search libftdi1's default list of FTDI chips.
  ftdi_device_list *devices = nullptr;
  const int found = ftdi_usb_find_all(context, &devices, 0, 0);
  if (found <= index) {
    ftdi_list_free(&devices);
    ftdi_free(context);
    return status_not_found;
  }

  ftdi_device_list *device = devices;
  for (std::int32_t skipped = 0; skipped < index; ++skipped)
    device = device->next;
  // The open device holds its own reference, so the list can go.
  const int opened = ftdi_usb_open_dev(context, device->dev);
  ftdi_list_free(&devices);
  if (opened != 0) {
    ftdi_free(context);
    return status_not_opened;
  }

  opened_device = context;
  *handle = context;
  return status_ok;
}

device_status device_set_bit_mode(device_handle handle, std::uint8_t mask,
                                  std::uint8_t mode) {
  ftdi_context *context = opened_context(handle);
  if (context == nullptr)
    return status_invalid_handle;
  return ftdi_set_bitmode(context, mask, mode) == 0 ? status_ok
                                                    : status_io_error;
}

device_status device_read_pins(device_handle handle, std::uint8_t *pins) {
  ftdi_context *context = opened_context(handle);
  if (context == nullptr || pins == nullptr)
    return status_invalid_handle;
  // Read into a byte of our own so that a failed transfer cannot leave a
  // partial value behind.
  unsigned char state = 0;
  if (ftdi_read_pins(context, &state) != 0)
    return status_io_error;
  *pins = state;
  return status_ok;
}
