// SPDX-License-Identifier: MIT
// A simulated device, for trying the monitor and for tests without
// hardware. It takes its behaviour from the environment on its first call:
//
//   PINMON_SIM      settings separated by blanks:
//                     open=fail   opening fails
//                     mode=fail   setting the bit mode fails
//                     devices=N   N devices, at indexes 0 to N-1 (1 unless
//                                 given; 0 to 1000)
//                     pins=B,...  reads give these bytes (two hex digits
//                                 each, or x for a read that fails), in
//                                 turn; the last one repeats for ever
//                   Unset or without pins=, reads give a moving pattern
//                   that drives every line high and low.
//   PINMON_SIM_LOG  a file to which each call appends one line.
//
// A setting it does not understand ends the process with status 3 before
// any call is answered.

#include "device.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const device_status status_ok = 0;
const device_status status_invalid_handle = 1;
const device_status status_not_found = 2;
const device_status status_io_error = 4;

const int failed_read = -1;
const int config_error_exit = 3;

bool configured = false;
bool open_fails = false;
bool mode_fails = false;
std::vector<int> scripted_pins; // empty: the moving pattern
std::size_t reads_done = 0;
std::FILE *call_log = nullptr;

// The address of each element is the handle of one simulated device.
std::vector<unsigned char> simulated_devices(1);
const unsigned long most_devices = 1000;

[[noreturn]] void reject_config(const std::string &problem) {
  std::fprintf(stderr, "simulated device: %s\n", problem.c_str());
  std::exit(config_error_exit);
}

int hex_digit_value(char digit) {
  if (digit >= '0' && digit <= '9')
    return digit - '0';
  if (digit >= 'a' && digit <= 'f')
    return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F')
    return digit - 'A' + 10;
  return -1;
}

void parse_pins(const std::string &setting) {
  const std::string list = setting.substr(std::strlen("pins="));
  std::vector<int> pins;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(',', start);
    const std::string entry = list.substr(start, comma - start);
    if (entry == "x") {
      pins.push_back(failed_read);
    } else if (entry.size() == 2 && hex_digit_value(entry[0]) >= 0 &&
               hex_digit_value(entry[1]) >= 0) {
      pins.push_back(hex_digit_value(entry[0]) * 16 +
                     hex_digit_value(entry[1]));
    } else {
      reject_config("PINMON_SIM: bad entry \"" + entry + "\" in \"" + setting +
                    "\" (each is two hex digits or x)");
    }
    if (comma == std::string::npos)
      break;
    start = comma + 1;
  }
  scripted_pins = pins;
}

void parse_devices(const std::string &setting) {
  const std::string count = setting.substr(std::strlen("devices="));
  // Digits only; strtoul saturates a longer number above the limit.
  const bool digits = !count.empty() && count.find_first_not_of("0123456789") ==
                                            std::string::npos;
  const unsigned long devices = std::strtoul(count.c_str(), nullptr, 10);
  if (!digits || devices > most_devices)
    reject_config("PINMON_SIM: bad count in \"" + setting +
                  "\" (a number from 0 to 1000)");
  simulated_devices.assign(devices, 0);
}

void parse_setting(const std::string &setting) {
  if (setting == "open=fail")
    open_fails = true;
  else if (setting == "mode=fail")
    mode_fails = true;
  else if (setting.rfind("pins=", 0) == 0)
    parse_pins(setting);
  else if (setting.rfind("devices=", 0) == 0)
    parse_devices(setting);
  else
    reject_config("PINMON_SIM: unknown setting \"" + setting + "\"");
}

void configure() {
  if (configured)
    return;
  configured = true;

  if (const char *settings = std::getenv("PINMON_SIM")) {
    const std::string text = settings;
    const char *const blanks = " \t\r\n";
    std::size_t start = text.find_first_not_of(blanks);
    while (start != std::string::npos) {
      const std::size_t end = text.find_first_of(blanks, start);
      parse_setting(text.substr(start, end - start));
      start = text.find_first_not_of(blanks, end);
    }
  }

  if (const char *path = std::getenv("PINMON_SIM_LOG")) {
    // Binary mode keeps plain newlines on every platform.
    call_log = std::fopen(path, "ab");
    if (call_log == nullptr)
      reject_config(std::string("PINMON_SIM_LOG: cannot open \"") + path +
                    "\": " + std::strerror(errno));
  }
}

// Appends one line to the call log, if there is one. Only then is anything
// formatted, so that an unlogged call costs next to nothing and the
// benchmark measures the monitor rather than its stand-in device.
void log_call(const char *format, ...) {
  if (call_log == nullptr)
    return;
  std::va_list arguments;
  va_start(arguments, format);
  std::vfprintf(call_log, format, arguments);
  va_end(arguments);
  std::fputc('\n', call_log);
  std::fflush(call_log);
}

std::uintptr_t address(const void *handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}

std::int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool is_simulated_device(device_handle handle) {
  const auto *device = static_cast<const unsigned char *>(handle);
  return !simulated_devices.empty() && device >= &simulated_devices.front() &&
         device <= &simulated_devices.back();
}

int moving_pattern(std::size_t read) {
  // A one walking up the lines, then a zero walking up the lines.
  const int bit = 1 << (read % 8);
  return (read / 8) % 2 == 0 ? bit : (~bit & 0xff);
}

int next_pins() {
  const std::size_t read = reads_done++;
  if (scripted_pins.empty())
    return moving_pattern(read);
  return read < scripted_pins.size() ? scripted_pins[read]
                                     : scripted_pins.back();
}

} // namespace

device_status device_open_by_index(std::int32_t index, device_handle *handle) {
  configure();
  device_status status = status_ok;
  if (open_fails || index < 0 ||
      static_cast<std::size_t>(index) >= simulated_devices.size() ||
      handle == nullptr)
    status = status_not_found;
  else
    *handle = &simulated_devices[static_cast<std::size_t>(index)];
  if (status == status_ok)
    log_call("open %" PRId32 " %" PRIu32 " 0x%" PRIxPTR, index, status,
             address(*handle));
  else
    log_call("open %" PRId32 " %" PRIu32 " -", index, status);
  return status;
}

device_status device_set_bit_mode(device_handle handle, std::uint8_t mask,
                                  std::uint8_t mode) {
  configure();
  device_status status = status_ok;
  if (!is_simulated_device(handle))
    status = status_invalid_handle;
  else if (mode_fails)
    status = status_io_error;
  log_call("setbitmode 0x%" PRIxPTR " %02x %02x %" PRIu32, address(handle),
           unsigned{mask}, unsigned{mode}, status);
  return status;
}

device_status device_read_pins(device_handle handle, std::uint8_t *pins) {
  configure();
  device_status status = status_ok;
  if (!is_simulated_device(handle) || pins == nullptr) {
    status = status_invalid_handle;
  } else {
    const int value = next_pins();
    if (value == failed_read)
      status = status_io_error;
    else
      *pins = static_cast<std::uint8_t>(value);
  }
  log_call("read 0x%" PRIxPTR " %" PRIu32 " %" PRId64, address(handle), status,
           monotonic_ns());
  return status;
}

// A simulated device has no driver to give back.
void device_close(device_handle) {}
