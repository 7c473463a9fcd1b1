// SPDX-License-Identifier: MIT
// pinmon-list: which index is which chip. Prints every channel that pinmon
// can open, in pinmon's own order, with what the kernel knows of it: the
// port, the serial number, what holds the channel, whether this user may
// open the chip, and the product string. --serial, --port and --channel
// keep the matching channels; --index prints only the index of the one
// channel that matches, for a script. It changes nothing: no claim, no
// driver detached, no request sent to a chip.
//
// Exit status: 0 listed; 1 no chip found, none or (with --index) several
// match; 2 a bad argument; 3 the USB devices could not be listed; 4 the
// listing could not be written. A reader that goes away ends it as it
// ends pinmon.

#include "ftdi_channels.h"
#include "option_value.h"
#include "output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
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

static std::string or_dash(const std::string &text) {
  return text.empty() ? "-" : text;
}

static const char usage[] =
    "usage: pinmon-list [--serial SERIAL] [--port PORT] [--channel A|B|C|D] "
    "[--index]\n";

// What a user asked for: the filters, each empty when not given.
struct selection {
  std::string serial;
  std::string port;
  std::string channel;
  bool index_only = false;
};

static int usage_error(const std::string &problem) {
  std::cerr << "pinmon-list: " << problem << '\n' << usage;
  return 2;
}

// Reads the arguments into *chosen; returns an exit status for a bad one,
// or -1 when they are all good.
static int read_arguments(int argc, char *argv[], selection *chosen) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--index") {
      chosen->index_only = true;
      continue;
    }
    const std::pair<const char *, std::string *> filters[] = {
        {"--serial", &chosen->serial},
        {"--port", &chosen->port},
        {"--channel", &chosen->channel}};
    std::string name;
    std::string value;
    std::string *field = nullptr;
    for (const auto &[option, target] : filters)
      if (option_value(argc, argv, &i, option, &value)) {
        name = option;
        field = target;
        break;
      }
    if (field == nullptr)
      return usage_error("unknown argument \"" + argument + "\"");
    if (!field->empty())
      return usage_error(name + " given twice");
    if (value.empty())
      return usage_error(name + " needs a value");
    *field = value;
  }
  const std::string &channel = chosen->channel;
  if (!channel.empty() &&
      (channel.size() != 1 || channel[0] < 'A' || channel[0] > 'D'))
    return usage_error("--channel: \"" + channel + "\" is not A, B, C or D");
  return -1;
}

static bool matches(const ftdi_channel &c, const selection &chosen) {
  return (chosen.serial.empty() || c.serial == chosen.serial) &&
         (chosen.port.empty() || c.port_path == chosen.port) &&
         (chosen.channel.empty() || chosen.channel[0] == 'A' + c.channel);
}

// For --index when several channels match: what they share, and the
// option that would tell them apart.
static std::string several_match(const std::vector<ftdi_channel> &channels,
                                 const std::vector<std::size_t> &matching,
                                 const selection &chosen) {
  std::vector<std::string> shared;
  if (!chosen.serial.empty())
    shared.push_back("serial number " + chosen.serial);
  if (!chosen.port.empty())
    shared.push_back("port " + chosen.port);
  if (!chosen.channel.empty())
    shared.push_back("channel " + chosen.channel);
  std::string text = std::to_string(matching.size()) + " channels";
  for (std::size_t i = 0; i < shared.size(); ++i)
    text += (i == 0 ? " have " : " and ") + shared[i];
  bool ports_differ = false;
  bool channels_differ = false;
  const ftdi_channel &first = channels[matching.front()];
  for (std::size_t index : matching) {
    const ftdi_channel &c = channels[index];
    ports_differ = ports_differ || c.port_path != first.port_path;
    channels_differ = channels_differ || c.channel != first.channel;
  }
  std::vector<std::string> options;
  if (chosen.port.empty() && ports_differ)
    options.push_back("--port");
  if (chosen.channel.empty() && channels_differ)
    options.push_back("--channel");
  for (std::size_t i = 0; i < options.size(); ++i)
    text += (i == 0 ? "; add " : " or ") + options[i];
  return text;
}

// Writes the output at once, so that a failure is told by its own cause;
// a listing that cannot be written is an error.
static int print(const std::string &text) {
  clear_output_error();
  std::cout << text << std::flush;
  if (!std::cout.fail())
    return 0;
  if (output_reader_gone())
    return exit_reader_gone;
  std::cerr << "pinmon-list: cannot write the listing: " << std::strerror(errno)
            << '\n';
  return 4;
}

int main(int argc, char *argv[]) {
  selection chosen;
  const int bad_argument = read_arguments(argc, argv, &chosen);
  if (bad_argument >= 0)
    return bad_argument;
  std::vector<ftdi_channel> channels;
  std::string why;
  if (!ftdi_channels(channels, why)) {
    std::cerr << "pinmon-list: cannot list the USB devices: " << why << '\n';
    return 3;
  }
  if (channels.empty()) {
    std::cerr << "no FTDI chip found\n";
    return 1;
  }
  std::vector<std::size_t> matching;
  for (std::size_t index = 0; index < channels.size(); ++index)
    if (matches(channels[index], chosen))
      matching.push_back(index);
  if (matching.empty()) {
    std::cerr << "no FTDI chip matches\n";
    return 1;
  }
  if (chosen.index_only) {
    if (matching.size() > 1) {
      std::cerr << "pinmon-list: " << several_match(channels, matching, chosen)
                << '\n';
      return 1;
    }
    return print(std::to_string(matching[0]) + '\n');
  }

  std::vector<std::vector<std::string>> rows = {{"INDEX", "CHIP", "CHANNEL",
                                                 "PORT", "SERIAL", "HOLDER",
                                                 "ACCESS", "PRODUCT"}};
  for (std::size_t index : matching) {
    const ftdi_channel &c = channels[index];
    char node[sizeof "/dev/bus/usb/255/255"];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", c.bus,
                  c.address);
    rows.push_back({std::to_string(index), chip_kind(c.bcd_device),
                    c.channel_count > 1 ? std::string(1, 'A' + c.channel) : "-",
                    c.port_path, or_dash(c.serial),
                    channel_holder(c.port_path, c.channel),
                    access(node, R_OK | W_OK) == 0 ? "yes" : "no",
                    or_dash(usb_device_attribute(c.port_path, "product"))});
  }

  // Aligned columns; the product, which may hold blanks, comes last.
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto &row : rows)
    for (std::size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], row[i].size());
  std::string listing;
  for (const auto &row : rows) {
    for (std::size_t i = 0; i + 1 < row.size(); ++i)
      listing += row[i] + std::string(widths[i] - row[i].size() + 2, ' ');
    listing += row.back() + '\n';
  }
  return print(listing);
}
