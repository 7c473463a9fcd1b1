// SPDX-License-Identifier: MIT
// The channels of the FTDI chips on this machine, in the order in which
// the Linux backend numbers its devices: what pinmon-list shows. Taking it
// reads only what the kernel already knows: nothing is opened or claimed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ftdi_channel {
  std::uint16_t bcd_device;
  int channel;       // 0 for A
  int channel_count; // of the chip
  std::uint8_t bus;
  std::uint8_t address;
  std::string port_path; // as sysfs names the chip: "1-4.3"
  std::string serial;    // as the kernel read it; empty if none
};

// The index of each channel in pinmon's numbering is its place here.
std::vector<ftdi_channel> ftdi_channels();

// The first line of a chip's sysfs attribute ("serial", "product"), as the
// kernel read it; empty if there is none.
std::string usb_device_attribute(const std::string &port_path,
                                 const std::string &name);
