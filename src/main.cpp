// SPDX-License-Identifier: MIT
// pinmon: prints the state of the eight data lines of an FTDI chip in
// asynchronous bit-bang mode, about ten times a second, until stopped.

#include "device.h"
#include "device_index.h"
#include "output.h"
#include "report_line.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN // only Sleep is wanted
#include <windows.h>
#else
#include <chrono>
#include <thread>
#endif

// A plain pause after each line, not a fixed-rate timer.
static void sleep_poll_period() {
#ifdef _WIN32
  Sleep(100);
#else
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
#endif
}

// A bad argument ends the run before anything reaches standard output and
// before the device is touched.
static int report_bad_argument(const char *argument,
                               const std::logic_error &error) {
  std::cerr << "pinmon: invalid device index \"" << argument
            << "\": " << error.what() << '\n'
            << "usage: pinmon [device-index]\n";
  return 2;
}

// Writes one line and flushes it, so that a pipe or a file sees it at once
// and a process ended from outside loses nothing it printed. Output errors
// are ignored (a full disk does not stop the monitor), but for a broken
// pipe: nobody reads any more, and polling on would only keep the device
// from its next user.
static void print_line(const std::string &line) {
  clear_output_error();
  std::cout << line << std::flush;
  if (!std::cout.fail())
    return;
  if (output_reader_gone())
    std::exit(exit_reader_gone);
  std::cout.clear();
}

int main(int argc, char *argv[]) {
  std::int32_t index = 0;
  try {
    index = device_index(argc, argv);
  } catch (const std::invalid_argument &error) {
    return report_bad_argument(argv[1], error);
  } catch (const std::out_of_range &error) {
    return report_bad_argument(argv[1], error);
  }

  print_line(banner_line);

  device_handle handle = nullptr;
  if (device_open_by_index(index, &handle) != 0) {
    print_line(cant_open_line(index));
    return -1;
  }
  print_line(device_opened_line(index));

  // Mask 0x00 makes every line an input; mode 0x01 is asynchronous bit-bang.
  if (device_set_bit_mode(handle, 0x00, 0x01) != 0) {
    print_line(bit_mode_failed_line);
    return -1;
  }
  print_line(bit_mode_on_line);

  // Runs until the process is ended from outside. A failed read is
  // reported as such: its byte is never shown as a reading.
  for (;;) {
    std::uint8_t pin_sample = 0;
    if (device_read_pins(handle, &pin_sample) == 0)
      print_line(report_line(pin_sample));
    else
      print_line(read_failed_line);
    sleep_poll_period();
  }
}
