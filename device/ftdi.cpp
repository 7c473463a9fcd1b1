// SPDX-License-Identifier: MIT
// The device library on Linux: libftdi1 over libusb.
//
// Every channel of every FTDI chip is a device, numbered by USB bus, then
// by the chip's port path compared number by number, then channel A to D.
// Opening one claims only that channel's interface. A chip that is
// unplugged and comes back (the same serial number, or for a chip without
// one the same port) is opened again on the next failed read. When the
// process ends, by a signal or by returning, the kernel's serial driver is
// attached again to the channel it was detached from.

#include "device.h"
#include "ftdi_channels.h"

#include <ftdi.h>
#include <libusb.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace {

const device_status status_ok = 0;
const device_status status_invalid_handle = 1;
const device_status status_not_found = 2;
const device_status status_not_opened = 3;
const device_status status_io_error = 4;
const device_status status_out_of_memory = 5;

// A control transfer takes a frame or two even on a busy bus, so a healthy
// chip never comes near this; a read that is never answered costs its
// pass only this much more than the poll period.
const int request_timeout_ms = 250;

// One channel of one chip: where it is, and what identifies it again
// after a replug.
struct channel_place {
  libusb_device *device; // lives as long as the list it came from
  std::uint8_t bus;
  std::uint8_t address;
  std::vector<std::uint8_t> ports;
  int channel; // 0 for A
  std::string serial;
};

// The one device opened; its address is the handle. It stays open, and
// reachable, until the process ends.
struct opened_channel {
  ftdi_context *context = nullptr;
  channel_place place{};
  bool open = false;
  bool driver_detached = false;
  bool bit_mode_set = false;
  std::uint8_t mask = 0;
  std::uint8_t mode = 0;
};

opened_channel opened;
// Held by every call and by the way out, so that the device is never
// closed under a read that is still running.
std::mutex device_lock;

bool same_place(const channel_place &a, const channel_place &b) {
  return a.bus == b.bus && a.ports == b.ports && a.channel == b.channel;
}

bool comes_before(const channel_place &a, const channel_place &b) {
  if (a.bus != b.bus)
    return a.bus < b.bus;
  if (a.ports != b.ports)
    return std::lexicographical_compare(a.ports.begin(), a.ports.end(),
                                        b.ports.begin(), b.ports.end());
  return a.channel < b.channel;
}

// The chip's name in sysfs: the bus, then the port path ("1-4.3").
std::string port_path(std::uint8_t bus,
                      const std::vector<std::uint8_t> &ports) {
  std::string name = std::to_string(bus);
  for (std::size_t i = 0; i < ports.size(); ++i)
    name += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
  return name;
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

// Every channel of the FTDI chips libftdi1 looks for by default, in order.
// The places point into *list, which the caller frees.
std::vector<channel_place> list_channels(ftdi_context *context,
                                         ftdi_device_list **list) {
  std::vector<channel_place> places;
  if (ftdi_usb_find_all(context, list, 0, 0) < 0)
    return places;
  for (ftdi_device_list *entry = *list; entry != nullptr; entry = entry->next) {
    channel_place place{};
    place.device = entry->dev;
    place.bus = libusb_get_bus_number(entry->dev);
    place.address = libusb_get_device_address(entry->dev);
    std::uint8_t ports[7];
    const int depth = libusb_get_port_numbers(entry->dev, ports, 7);
    place.ports.assign(ports, ports + std::max(depth, 0));
    place.serial = serial_number(place.bus, place.ports);
    for (int channel = 0; channel < channel_count(entry->dev); ++channel) {
      place.channel = channel;
      places.push_back(place);
    }
  }
  std::sort(places.begin(), places.end(), comes_before);
  return places;
}

bool driver_bound(libusb_device *device, int interface) {
  libusb_device_handle *handle = nullptr;
  if (libusb_open(device, &handle) != 0)
    return false;
  const bool bound = libusb_kernel_driver_active(handle, interface) == 1;
  libusb_close(handle);
  return bound;
}

void attach_driver(libusb_device *device, int interface) {
  libusb_device_handle *handle = nullptr;
  if (libusb_open(device, &handle) != 0)
    return;
  if (libusb_kernel_driver_active(handle, interface) == 0)
    libusb_attach_kernel_driver(handle, interface);
  libusb_close(handle);
}

// Opens the channel at place; libftdi1 detaches the serial driver from it
// first, and whatever happens we know whether it did.
bool open_channel(const channel_place &place) {
  ftdi_context *context = opened.context;
  const auto interface =
      static_cast<ftdi_interface>(INTERFACE_A + place.channel);
  if (ftdi_set_interface(context, interface) != 0)
    return false;
  const bool bound = driver_bound(place.device, place.channel);
  if (ftdi_usb_open_dev(context, place.device) != 0) {
    if (bound)
      attach_driver(place.device, place.channel);
    return false;
  }
  // The open handle keeps the device; our reference keeps it for the
  // driver's return after the handle is closed.
  libusb_ref_device(place.device);
  opened.place = place;
  opened.open = true;
  opened.driver_detached = bound;
  return true;
}

void close_channel() {
  if (!opened.open)
    return;
  ftdi_usb_close(opened.context);
  if (opened.driver_detached)
    attach_driver(opened.place.device, opened.place.channel);
  libusb_unref_device(opened.place.device);
  opened.open = false;
  opened.driver_detached = false;
}

// On the way out, however it comes: the serial port is given back.
void give_back() {
  std::lock_guard<std::mutex> hold(device_lock);
  close_channel();
}

// Ctrl-C, SIGTERM, SIGHUP and a SIGPIPE sent from outside are taken by a
// thread of their own, which gives the serial port back and then lets the
// signal end the process as it would have. Nothing runs inside a signal
// handler. SIGPIPE stays blocked everywhere, so that a write to a pipe
// whose reader has gone fails with EPIPE and the monitor exits through
// give_back_at_exit.
sigset_t watched_signals;
pthread_t signal_watcher;
// Sent by the process to its own watcher, to end it on the way out.
const int stop_watching = SIGRTMIN;

void die_of(int signal) {
  ::signal(signal, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal);
  pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(signal);
}

void *watch_for_signal(void *) {
  int signal = 0;
  if (sigwait(&watched_signals, &signal) != 0 || signal == stop_watching)
    return nullptr;
  give_back();
  die_of(signal);
  return nullptr;
}

// The way out by returning or exiting: the port is given back, and the
// watcher is stopped so that nothing of it is left behind. A write that
// found the reader gone left its SIGPIPE pending on this thread: the
// process then dies of it, as a shell expects of a pipe's writer.
void give_back_at_exit() {
  give_back();
  pthread_kill(signal_watcher, stop_watching);
  pthread_join(signal_watcher, nullptr);
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  const timespec no_wait{};
  if (sigtimedwait(&pipe_only, nullptr, &no_wait) == SIGPIPE)
    die_of(SIGPIPE);
}

bool watching_signals = false;

void watch_signals() {
  watching_signals = true;
  // A signal ignored by whoever started the program stays ignored.
  sigemptyset(&watched_signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction action{};
    if (sigaction(signal, nullptr, &action) == 0 &&
        action.sa_handler != SIG_IGN)
      sigaddset(&watched_signals, signal);
  }
  sigaddset(&watched_signals, stop_watching);
  // Before libusb starts its threads, so that they inherit the mask.
  pthread_sigmask(SIG_BLOCK, &watched_signals, nullptr);
  if (pthread_create(&signal_watcher, nullptr, watch_for_signal, nullptr) == 0)
    std::atexit(give_back_at_exit);
  else
    pthread_sigmask(SIG_UNBLOCK, &watched_signals, nullptr);
}

// After a failed read: if the chip has come back at a new address, open it
// again and put it back in the bit mode it had.
bool reopen_if_back() {
  ftdi_device_list *list = nullptr;
  const std::vector<channel_place> places =
      list_channels(opened.context, &list);
  const channel_place &was = opened.place;
  bool reopened = false;
  for (const channel_place &place : places) {
    const bool same_chip =
        was.serial.empty()
            ? same_place(place, was)
            : place.serial == was.serial && place.channel == was.channel;
    if (!same_chip)
      continue;
    // Still at its address: the read failed, but nothing was unplugged.
    if (opened.open && place.bus == was.bus && place.address == was.address)
      break;
    close_channel();
    reopened =
        open_channel(place) &&
        (!opened.bit_mode_set ||
         ftdi_set_bitmode(opened.context, opened.mask, opened.mode) == 0);
    // Half open is no use: the next failed read tries it all again.
    if (!reopened)
      close_channel();
    break;
  }
  ftdi_list_free(&list);
  return reopened;
}

ftdi_context *opened_context(device_handle handle) {
  return handle == &opened ? opened.context : nullptr;
}

} // namespace

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

std::vector<ftdi_channel> ftdi_channels() {
  std::vector<ftdi_channel> channels;
  ftdi_context *context = ftdi_new();
  if (context == nullptr)
    return channels;
  ftdi_device_list *list = nullptr;
  for (const channel_place &place : list_channels(context, &list)) {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(place.device, &descriptor);
    channels.push_back({descriptor.bcdDevice, place.channel,
                        channel_count(place.device), place.bus, place.address,
                        port_path(place.bus, place.ports), place.serial});
  }
  ftdi_list_free(&list);
  ftdi_free(context);
  return channels;
}

device_status device_open_by_index(std::int32_t index, device_handle *handle) {
  if (index < 0 || handle == nullptr || opened.context != nullptr)
    return status_not_found;

  if (!watching_signals)
    watch_signals();
  std::lock_guard<std::mutex> hold(device_lock);
  ftdi_context *context = ftdi_new();
  if (context == nullptr)
    return status_out_of_memory;
  context->usb_read_timeout = request_timeout_ms;
  context->usb_write_timeout = request_timeout_ms;
  opened.context = context;

  ftdi_device_list *list = nullptr;
  const std::vector<channel_place> places = list_channels(context, &list);
  const bool found = static_cast<std::size_t>(index) < places.size();
  const bool open =
      found && open_channel(places[static_cast<std::size_t>(index)]);
  ftdi_list_free(&list);
  if (!open) {
    opened.context = nullptr;
    ftdi_free(context);
    return found ? status_not_opened : status_not_found;
  }
  *handle = &opened;
  return status_ok;
}

device_status device_set_bit_mode(device_handle handle, std::uint8_t mask,
                                  std::uint8_t mode) {
  std::lock_guard<std::mutex> hold(device_lock);
  ftdi_context *context = opened_context(handle);
  if (context == nullptr)
    return status_invalid_handle;
  if (ftdi_set_bitmode(context, mask, mode) != 0)
    return status_io_error;
  opened.bit_mode_set = true;
  opened.mask = mask;
  opened.mode = mode;
  return status_ok;
}

device_status device_read_pins(device_handle handle, std::uint8_t *pins) {
  std::lock_guard<std::mutex> hold(device_lock);
  ftdi_context *context = opened_context(handle);
  if (context == nullptr || pins == nullptr)
    return status_invalid_handle;
  // Read into a byte of our own so that a failed transfer cannot leave a
  // partial value behind.
  unsigned char state = 0;
  const bool read = (opened.open && ftdi_read_pins(context, &state) == 0) ||
                    (reopen_if_back() && ftdi_read_pins(context, &state) == 0);
  if (!read)
    return status_io_error;
  *pins = state;
  return status_ok;
}
