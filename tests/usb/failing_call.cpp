// SPDX-License-Identifier: MIT
// Preloaded into a program, stands in for the libftdi1 call that
// FAILING_CALL names ("ftdi_new" or "ftdi_usb_find_all") and fails it as
// libftdi1 does when libusb cannot start or cannot list the devices; the
// other call goes to libftdi1.

#include <ftdi.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

static bool failing(const char *call) {
  const char *name = std::getenv("FAILING_CALL");
  return name != nullptr && std::strcmp(name, call) == 0;
}

extern "C" ftdi_context *ftdi_new() {
  if (failing("ftdi_new"))
    return nullptr;
  auto *real =
      reinterpret_cast<ftdi_context *(*)()>(dlsym(RTLD_NEXT, "ftdi_new"));
  return real();
}

extern "C" int ftdi_usb_find_all(ftdi_context *context, ftdi_device_list **list,
                                 int vendor, int product) {
  if (failing("ftdi_usb_find_all")) {
    context->error_str = "libusb_get_device_list() failed";
    return -5;
  }
  auto *real =
      reinterpret_cast<int (*)(ftdi_context *, ftdi_device_list **, int, int)>(
          dlsym(RTLD_NEXT, "ftdi_usb_find_all"));
  return real(context, list, vendor, product);
}
