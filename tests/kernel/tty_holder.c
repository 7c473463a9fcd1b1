// SPDX-License-Identifier: MIT
// A terminal program's hold on a serial port, for the guest: it opens
// /dev/TTY and, as HOW says, takes an flock on it (as picocom does), writes
// a UUCP lock file for it, or neither. It prints "held", then on SIGUSR1
// writes a byte to the port and prints "port works" or why not, and on
// SIGTERM removes its lock file and ends.
//   usage: tty_holder TTY open|flock|uucp
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

static volatile sig_atomic_t asked, ending;

static void on_signal(int number) {
  if (number == SIGUSR1)
    asked = 1;
  else
    ending = 1;
}

int main(int argc, char *argv[]) {
  if (argc != 3) {
    fprintf(stderr, "usage: tty_holder TTY open|flock|uucp\n");
    return 2;
  }
  char node[64], lock[96] = "";
  snprintf(node, sizeof node, "/dev/%s", argv[1]);
  const int port = open(node, O_RDWR | O_NOCTTY);
  if (port < 0) {
    perror(node);
    return 1;
  }
  if (strcmp(argv[2], "flock") == 0 && flock(port, LOCK_EX | LOCK_NB) != 0) {
    perror("flock");
    return 1;
  }
  if (strcmp(argv[2], "uucp") == 0) {
    snprintf(lock, sizeof lock, "/run/lock/LCK..%s", argv[1]);
    FILE *file = fopen(lock, "w");
    if (file == NULL) {
      perror(lock);
      return 1;
    }
    fprintf(file, "%10d\n", (int)getpid());
    fclose(file);
  }
  // The signals wait blocked between checks, so that none is missed.
  sigset_t watched, others;
  sigemptyset(&watched);
  sigaddset(&watched, SIGUSR1);
  sigaddset(&watched, SIGTERM);
  sigprocmask(SIG_BLOCK, &watched, &others);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  sigaction(SIGUSR1, &action, NULL);
  sigaction(SIGTERM, &action, NULL);
  printf("held\n");
  fflush(stdout);
  while (!ending) {
    sigsuspend(&others);
    if (asked) {
      asked = 0;
      if (write(port, "x", 1) == 1 && tcdrain(port) == 0)
        printf("port works\n");
      else
        printf("port failed: %s\n", strerror(errno));
      fflush(stdout);
    }
  }
  if (lock[0] != '\0')
    unlink(lock);
  return 0;
}
