// SPDX-License-Identifier: MIT
// Which program has a serial port open, found without opening the port:
// opening it would raise DTR and RTS, and that resets many boards.
#pragma once

#include <string>
#include <vector>

struct tty_user {
  int pid = 0;
  std::string program; // its command name, blanks made '_'
};

// Where serial terminals leave their UUCP lock files (LCK..ttyUSB0).
extern const std::vector<std::string> uucp_lock_dirs;

// Looks for a program other than this one that has /dev/TTY open. Three
// signs count, in this order: an open file of a process whose /proc/PID/fd
// this user may read (as root, every process); a lock on the node in
// /proc/locks, which every user may read; a UUCP lock file for the port in
// lock_dirs whose process still runs (a lock file left by a program that
// has gone is stale). Another user's program that takes no lock is seen
// only by root. True, with *user filled, when one is found.
bool find_tty_user(const std::string &tty, tty_user *user,
                   const std::vector<std::string> &lock_dirs = uucp_lock_dirs);

// "ttyUSB0", or "ttyUSB0:picocom[812]" when a program has it open.
std::string tty_with_user(const std::string &tty);
