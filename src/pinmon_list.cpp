// SPDX-License-Identifier: MIT
// pinmon-list: which index is which chip. Prints every channel that pinmon
// can open, in pinmon's own order, with what the kernel knows of it: the
// port, the serial number, what holds the channel, whether this user may
// open the chip, and the product string. It changes nothing: no claim, no
// driver detached, no request sent to a chip.

#include "ftdi_channels.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

// The chip kinds as libftdi1 tells them apart, by bcdDevice.
static std::string chip_kind(std::uint16_t bcd_device) {
  switch (bcd_device) {
  case 0x0200:
    return "FT232AM";
  case 0x0400:
    return "FT232BM";
  case 0x0500:
    return "FT2232C";
  case 0x0600:
    return "FT232R";
  case 0x0700:
    return "FT2232H";
  case 0x0800:
    return "FT4232H";
  case 0x0900:
    return "FT232H";
  case 0x1000:
    return "FT-X";
  }
  char hex[sizeof "0xffff"];
  std::snprintf(hex, sizeof hex, "0x%04x", bcd_device);
  return hex;
}

// What holds a channel, from its interface's directory in sysfs: the
// serial port the kernel's driver made for it, "free", or "claimed" by a
// program (usbfs) or another driver.
static std::string holder(const std::string &interface_dir) {
  char target[256];
  const ssize_t length =
      readlink((interface_dir + "/driver").c_str(), target, sizeof target - 1);
  if (length <= 0)
    return "free";
  const std::string link(target, static_cast<std::size_t>(length));
  const std::string driver = link.substr(link.find_last_of('/') + 1);
  if (driver != "ftdi_sio")
    return "claimed";
  std::string port = driver;
  if (DIR *dir = opendir(interface_dir.c_str())) {
    while (const dirent *entry = readdir(dir))
      if (std::string(entry->d_name).rfind("ttyUSB", 0) == 0)
        port = entry->d_name;
    closedir(dir);
  }
  return port;
}

static std::string or_dash(const std::string &text) {
  return text.empty() ? "-" : text;
}

int main(int argc, char *argv[]) {
  if (argc > 1) {
    std::cerr << "pinmon-list: no argument is taken, \"" << argv[1]
              << "\" given\nusage: pinmon-list\n";
    return 2;
  }
  const std::vector<ftdi_channel> channels = ftdi_channels();
  if (channels.empty()) {
    std::cerr << "no FTDI chip found\n";
    return 1;
  }

  std::vector<std::vector<std::string>> rows = {{"INDEX", "CHIP", "CHANNEL",
                                                 "PORT", "SERIAL", "HOLDER",
                                                 "ACCESS", "PRODUCT"}};
  for (std::size_t index = 0; index < channels.size(); ++index) {
    const ftdi_channel &c = channels[index];
    const std::string device_dir = "/sys/bus/usb/devices/" + c.port_path;
    // Interfaces are named after the active configuration: "1-4.3:1.0".
    const std::string configuration =
        usb_device_attribute(c.port_path, "bConfigurationValue");
    const std::string interface_dir =
        device_dir + "/" + c.port_path + ":" +
        (configuration.empty() ? "1" : configuration) + "." +
        std::to_string(c.channel);
    char node[sizeof "/dev/bus/usb/255/255"];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", c.bus,
                  c.address);
    rows.push_back({std::to_string(index), chip_kind(c.bcd_device),
                    c.channel_count > 1 ? std::string(1, 'A' + c.channel) : "-",
                    c.port_path, or_dash(c.serial), holder(interface_dir),
                    access(node, R_OK | W_OK) == 0 ? "yes" : "no",
                    or_dash(usb_device_attribute(c.port_path, "product"))});
  }

  // Aligned columns; the product, which may hold blanks, comes last.
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto &row : rows)
    for (std::size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], row[i].size());
  for (const auto &row : rows) {
    std::string line;
    for (std::size_t i = 0; i + 1 < row.size(); ++i)
      line += row[i] + std::string(widths[i] - row[i].size() + 2, ' ');
    std::cout << line << row.back() << '\n';
  }
  return 0;
}
