// SPDX-License-Identifier: MIT
// The FTDI channels on this machine, numbered as the Linux backend numbers
// its devices: by USB bus, then by the chip's port path compared number by
// number, then channel A to D.

#include "ftdi_channels.h"
#include "tty_user.h"

#include <ftdi.h>
#include <libusb.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

bool comes_before(const channel_place &a, const channel_place &b) {
  if (a.bus != b.bus)
    return a.bus < b.bus;
  if (a.ports != b.ports)
    return std::lexicographical_compare(a.ports.begin(), a.ports.end(),
                                        b.ports.begin(), b.ports.end());
  return a.channel < b.channel;
}

// The serial number as the kernel read it, from sysfs: asking the chip
// would mean opening every FTDI device on the machine.
std::string serial_number(std::uint8_t bus,
                          const std::vector<std::uint8_t> &ports) {
  return usb_device_attribute(port_path(bus, ports), "serial");
}

int channel_count(libusb_device *device) {
  libusb_config_descriptor *config = nullptr;
  if (libusb_get_config_descriptor(device, 0, &config) != 0)
    return 1;
  const int interfaces = config->bNumInterfaces;
  libusb_free_config_descriptor(config);
  return std::clamp(interfaces, 1, 4);
}

// The directory of a channel's interface in sysfs. Interfaces are named
// after the active configuration: "1-4.3:1.0".
std::string interface_dir(const std::string &port_path, int channel) {
  const std::string configuration =
      usb_device_attribute(port_path, "bConfigurationValue");
  return "/sys/bus/usb/devices/" + port_path + "/" + port_path + ":" +
         (configuration.empty() ? "1" : configuration) + "." +
         std::to_string(channel);
}

// The name of the driver bound to an interface; empty if none.
std::string bound_driver(const std::string &interface) {
  char target[256];
  const ssize_t length =
      readlink((interface + "/driver").c_str(), target, sizeof target - 1);
  if (length <= 0)
    return "";
  const std::string link(target, static_cast<std::size_t>(length));
  return link.substr(link.find_last_of('/') + 1);
}

std::string tty_in(const std::string &interface) {
  std::string tty;
  if (DIR *dir = opendir(interface.c_str())) {
    while (const dirent *entry = readdir(dir))
      if (std::string(entry->d_name).rfind("ttyUSB", 0) == 0)
        tty = entry->d_name;
    closedir(dir);
  }
  return tty;
}

} // namespace

std::string port_path(std::uint8_t bus,
                      const std::vector<std::uint8_t> &ports) {
  std::string name = std::to_string(bus);
  for (std::size_t i = 0; i < ports.size(); ++i)
    name += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
  return name;
}

std::string channel_tty(const std::string &port_path, int channel) {
  const std::string interface = interface_dir(port_path, channel);
  return bound_driver(interface) == "ftdi_sio" ? tty_in(interface) : "";
}

std::string channel_holder(const std::string &port_path, int channel) {
  const std::string interface = interface_dir(port_path, channel);
  const std::string driver = bound_driver(interface);
  if (driver.empty())
    return "free";
  if (driver != "ftdi_sio")
    return "claimed";
  const std::string tty = tty_in(interface);
  return tty.empty() ? driver : tty_with_user(tty);
}

bool same_place(const channel_place &a, const channel_place &b) {
  return a.bus == b.bus && a.ports == b.ports && a.channel == b.channel;
}

bool list_channels(ftdi_context *context, ftdi_device_list **list,
                   std::vector<channel_place> &places, std::string &why) {
  places.clear();
  if (ftdi_usb_find_all(context, list, 0, 0) < 0) {
    why = ftdi_get_error_string(context);
    return false;
  }
  for (ftdi_device_list *entry = *list; entry != nullptr; entry = entry->next) {
    channel_place place{};
    place.device = entry->dev;
    place.bus = libusb_get_bus_number(entry->dev);
    place.address = libusb_get_device_address(entry->dev);
    std::uint8_t ports[7];
    const int depth = libusb_get_port_numbers(entry->dev, ports, 7);
    place.ports.assign(ports, ports + std::max(depth, 0));
    place.serial = serial_number(place.bus, place.ports);
    place.channel_count = channel_count(entry->dev);
    for (int channel = 0; channel < place.channel_count; ++channel) {
      place.channel = channel;
      places.push_back(place);
    }
  }
  std::sort(places.begin(), places.end(), comes_before);
  return true;
}

std::string usb_device_attribute(const std::string &port_path,
                                 const std::string &name) {
  // A bounded buffer: a name too long for it cannot be a device's.
  char path[192];
  const int length =
      std::snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/%s",
                    port_path.c_str(), name.c_str());
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path)
    return "";
  std::FILE *file = std::fopen(path, "re");
  if (file == nullptr)
    return "";
  char text[256] = "";
  const bool read = std::fgets(text, sizeof text, file) != nullptr;
  std::fclose(file);
  std::string value = read ? text : "";
  value.erase(value.find_last_not_of('\n') + 1);
  return value;
}

bool ftdi_channels(std::vector<ftdi_channel> &channels, std::string &why) {
  channels.clear();
  ftdi_context *context = ftdi_new();
  if (context == nullptr) {
    // ftdi_new fails when libusb cannot start, or memory runs out.
    why = "libftdi1 could not start libusb";
    return false;
  }
  ftdi_device_list *list = nullptr;
  std::vector<channel_place> places;
  const bool listed = list_channels(context, &list, places, why);
  for (const channel_place &place : places) {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(place.device, &descriptor);
    channels.push_back({descriptor.bcdDevice, place.channel,
                        place.channel_count, place.bus, place.address,
                        port_path(place.bus, place.ports), place.serial});
  }
  ftdi_list_free(&list);
  ftdi_free(context);
  return listed;
}
