// SPDX-License-Identifier: MIT
// The channels of the FTDI chips on this machine, in the order in which
// the Linux backend numbers its devices: what pinmon-list shows and what
// the backend opens. Taking the list reads only what the kernel already
// knows: nothing is opened or claimed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ftdi_context;
struct ftdi_device_list;
struct libusb_device;

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
// False if the USB devices could not be listed at all; why then says why.
bool ftdi_channels(std::vector<ftdi_channel> &channels, std::string &why);

// The first line of a chip's sysfs attribute ("serial", "product"), as the
// kernel read it; empty if there is none.
std::string usb_device_attribute(const std::string &port_path,
                                 const std::string &name);

// The chip's name in sysfs: the bus, then the port path ("1-4.3").
std::string port_path(std::uint8_t bus, const std::vector<std::uint8_t> &ports);

// The serial port that the kernel's driver made for a channel ("ttyUSB0");
// empty when ftdi_sio is not bound to it.
std::string channel_tty(const std::string &port_path, int channel);

// What holds a channel, from sysfs: "free"; "claimed" by a program (usbfs)
// or another driver; or the serial driver's port, with the program that
// has it open after a colon ("ttyUSB0:picocom[812]").
std::string channel_holder(const std::string &port_path, int channel);

// One channel of one chip, as the backend finds and opens it.
struct channel_place {
  libusb_device *device; // lives as long as the list it came from
  std::uint8_t bus;
  std::uint8_t address;
  std::vector<std::uint8_t> ports;
  int channel;       // 0 for A
  int channel_count; // of the chip
  std::string serial;
};

// Every channel of the FTDI chips libftdi1 looks for by default, in
// pinmon's order. The places point into *list, which the caller frees with
// ftdi_list_free. False, with why, if libftdi1 could not list the devices.
bool list_channels(ftdi_context *context, ftdi_device_list **list,
                   std::vector<channel_place> &places, std::string &why);

// Whether two places are the same channel of the chip in the same port.
bool same_place(const channel_place &a, const channel_place &b);
