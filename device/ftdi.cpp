// SPDX-License-Identifier: MIT
// The device library on Linux: libftdi1 over libusb.
//
// Every channel of every FTDI chip is a device, numbered as ftdi_list.cpp
// lists them. Opening one claims only that channel's interface. A chip
// that is unplugged and comes back is opened again after a failed read:
// the same serial number, on any port, if no other chip had that serial
// number when the device was opened; otherwise, as for a chip without one,
// the same port and channel. While the chip opened is still attached at
// its address, no other is ever opened in its place. A channel whose
// serial port another program has open is never opened: the kernel would
// detach the serial driver under that program. The way out, which gives
// the serial driver back, is described in device.h; once it has begun,
// nothing is opened again.

#include "device.h"
#include "ftdi_channels.h"
#include "tty_user.h"

#include <ftdi.h>
#include <libusb.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
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

// The one device opened; its address is the handle. It stays open, and
// reachable, until the process ends.
struct opened_channel {
  ftdi_context *context = nullptr;
  channel_place place{};
  // Its serial number identifies nothing: another chip had it too.
  bool known_by_port = false;
  bool open = false;
  // Given back for good: nothing opens a chip again.
  bool closed = false;
  bool driver_detached = false;
  bool bit_mode_set = false;
  std::uint8_t mask = 0;
  std::uint8_t mode = 0;
};

opened_channel opened;
// Held by every call and by the way out, so that the device is never
// closed under a read that is still running.
std::mutex device_lock;

// Whether serial names one chip among places: it is not empty, and every
// channel that has it is in the same port.
bool serial_identifies(const std::vector<channel_place> &places,
                       const std::string &serial) {
  if (serial.empty())
    return false;
  const channel_place *first = nullptr;
  for (const channel_place &place : places) {
    if (place.serial != serial)
      continue;
    if (first == nullptr)
      first = &place;
    else if (place.bus != first->bus || place.ports != first->ports)
      return false;
  }
  return true;
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

// Whether a program has the channel's serial port open. The kernel
// detaches the serial driver all the same, and that program's session
// would be lost.
bool port_in_use(const channel_place &place) {
  tty_user user;
  return find_tty_user(
      channel_tty(port_path(place.bus, place.ports), place.channel), &user);
}

// Opens the channel at place; libftdi1 detaches the serial driver from it
// first, and whatever happens we know whether it did.
bool open_channel(const channel_place &place) {
  ftdi_context *context = opened.context;
  const auto interface =
      static_cast<ftdi_interface>(INTERFACE_A + place.channel);
  if (opened.closed || ftdi_set_interface(context, interface) != 0)
    return false;
  const bool bound = driver_bound(place.device, place.channel);
  if (bound && port_in_use(place))
    return false;
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

// On the way out, however it comes: the serial port is given back, and
// from then on nothing opens the chip again.
void give_back() {
  std::lock_guard<std::mutex> hold(device_lock);
  opened.closed = true;
  close_channel();
}

// Set by the watcher before it gives the port back: the signal ends the
// process in a moment, and a read that comes meanwhile waits for that
// rather than report a failure no chip caused.
std::atomic<bool> ending_by_signal{false};

// The way out by a signal (device.h). The watched signals are blocked in
// every thread, libusb's included, and a thread of their own takes them:
// it gives the serial port back, then lets the signal end the process as
// it would have. Nothing runs inside a signal handler. SIGPIPE raised by a
// write stays pending on the writer, whose write fails with EPIPE; the
// monitor then exits through give_back_at_exit.
sigset_t watched_signals;
pthread_t signal_watcher;
// Sent by the process to its own watcher, to end it on the way out; the
// same signal from anyone else ends the process as it would have.
const int stop_watching = SIGRTMIN;
std::atomic<bool> stop_requested{false};
bool stop_signal_ignored = false;

// Every signal whose default action ends the process, but SIGKILL, which
// cannot be caught, and those that report a crash (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS): after a crash nothing here
// can be trusted, the device lock least of all.
std::vector<int> ending_signals() {
  std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT, SIGPIPE, SIGALRM,
                              SIGTERM, SIGUSR1, SIGUSR2, SIGPROF, SIGVTALRM,
                              SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR,  SIGSTKFLT};
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
    signals.push_back(signal);
  return signals;
}

void die_of(int signal) {
  ::signal(signal, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal);
  pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(signal);
}

void *watch_for_signal(void *) {
  for (;;) {
    int signal = 0;
    if (sigwait(&watched_signals, &signal) != 0)
      return nullptr;
    if (signal == stop_watching && stop_requested)
      return nullptr;
    if (signal == stop_watching && stop_signal_ignored)
      continue; // from outside, and ignored by whoever started the program
    ending_by_signal = true;
    give_back();
    die_of(signal);
    return nullptr;
  }
}

// The way out by returning or exiting: the port is given back, and the
// watcher is stopped so that nothing of it is left behind. A write that
// found the reader gone left its SIGPIPE pending on this thread: the
// process then dies of it, as a shell expects of a pipe's writer.
void give_back_at_exit() {
  give_back();
  stop_requested = true;
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
  for (int signal : ending_signals()) {
    struct sigaction action{};
    if (sigaction(signal, nullptr, &action) != 0)
      continue; // not this process's to take (valgrind keeps one)
    if (action.sa_handler != SIG_IGN)
      sigaddset(&watched_signals, signal);
    else if (signal == stop_watching)
      stop_signal_ignored = true;
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
// again and put it back in the bit mode it had. Never another chip: while
// the one opened is still attached at its address, nothing changes.
void reopen_if_back() {
  ftdi_device_list *list = nullptr;
  std::vector<channel_place> places;
  std::string why;
  const channel_place &was = opened.place;
  const channel_place *back = nullptr;
  if (list_channels(opened.context, &list, places, why)) {
    const bool by_port =
        opened.known_by_port || !serial_identifies(places, was.serial);
    for (const channel_place &place : places) {
      // Still at its address: the read failed, but nothing was unplugged.
      if (opened.open && place.bus == was.bus && place.address == was.address) {
        back = nullptr;
        break;
      }
      if (back == nullptr && (by_port ? same_place(place, was)
                                      : place.serial == was.serial &&
                                            place.channel == was.channel))
        back = &place;
    }
  }
  if (back != nullptr) {
    close_channel();
    const bool reopened =
        open_channel(*back) &&
        (!opened.bit_mode_set ||
         ftdi_set_bitmode(opened.context, opened.mask, opened.mode) == 0);
    // Half open is no use: the next failed read tries it all again.
    if (!reopened)
      close_channel();
  }
  ftdi_list_free(&list);
}

ftdi_context *opened_context(device_handle handle) {
  return handle == &opened ? opened.context : nullptr;
}

} // namespace

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
  std::vector<channel_place> places;
  std::string why;
  list_channels(context, &list, places, why);
  const bool found = static_cast<std::size_t>(index) < places.size();
  const bool open =
      found && open_channel(places[static_cast<std::size_t>(index)]);
  if (open)
    opened.known_by_port = !serial_identifies(places, opened.place.serial);
  ftdi_list_free(&list);
  if (!open) {
    opened.context = nullptr;
    ftdi_free(context);
    return found ? status_not_opened : status_not_found;
  }
  *handle = &opened;
  return status_ok;
}

void device_close(device_handle handle) {
  if (handle == &opened)
    give_back();
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
  std::unique_lock<std::mutex> hold(device_lock);
  ftdi_context *context = opened_context(handle);
  if (context == nullptr || pins == nullptr)
    return status_invalid_handle;
  if (!opened.closed) {
    // Read into a byte of our own so that a failed transfer cannot leave a
    // partial value behind.
    unsigned char state = 0;
    if (opened.open && ftdi_read_pins(context, &state) == 0) {
      *pins = state;
      return status_ok;
    }
    // A failed read is reported as one, whatever comes of the search: a
    // chip that is back is read from the next pass on.
    if (!ending_by_signal) {
      reopen_if_back();
      return status_io_error;
    }
  }
  // The way out has begun: the signal that began it ends the process in a
  // moment. Until then nothing is opened, read or reported.
  hold.unlock();
  while (ending_by_signal)
    pause(); // every signal is blocked in this thread
  return status_not_opened;
}
