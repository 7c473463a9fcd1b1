// SPDX-License-Identifier: MIT
/* The baseline on a real (or emulated) chip: the least a monitor on
 * libftdi1 does, written for the comparison. Open the first FT232R, make
 * every line an input in bit-bang mode, then read, print, flush and sleep
 * 100 ms for ever. */
#include <ftdi.h>
#include <stdio.h>
#include <time.h>

int main(void) {
  struct ftdi_context *ftdi = ftdi_new();
  if (ftdi == NULL || ftdi_usb_open(ftdi, 0x0403, 0x6001) != 0 ||
      ftdi_set_bitmode(ftdi, 0x00, BITMODE_BITBANG) != 0) {
    puts("start-up failed");
    return 1;
  }
  for (;;) {
    unsigned char pins;
    if (ftdi_read_pins(ftdi, &pins) == 0) {
      char bits[9];
      for (int bit = 7; bit >= 0; --bit)
        bits[7 - bit] = (pins >> bit) & 1 ? '1' : '0';
      bits[8] = '\0';
      printf("Readed: %x : %s\n", pins, bits);
    } else {
      puts("Failed to read pins");
    }
    fflush(stdout);
    struct timespec period = {0, 100000000};
    nanosleep(&period, NULL);
  }
}
