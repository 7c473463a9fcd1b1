// SPDX-License-Identifier: MIT
/* The baseline for the benchmark: the least a monitor can do per pass,
 * one formatted line flushed to standard output and a 100 ms sleep. */
#include <stdio.h>
#include <time.h>

int main(void) {
  unsigned pass = 0;
  for (;;) {
    unsigned sample = pass++ & 0xff;
    char bits[9];
    for (int bit = 7; bit >= 0; --bit)
      bits[7 - bit] = (sample >> bit) & 1 ? '1' : '0';
    bits[8] = '\0';
    printf("Readed: %x : %s\n", sample, bits);
    fflush(stdout);
    struct timespec period = {0, 100000000};
    nanosleep(&period, NULL);
  }
}
