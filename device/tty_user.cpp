// SPDX-License-Identifier: MIT
// Which program has a serial port open: the kernel lets a program that may
// write a chip's USB node detach the serial driver even while the port is
// open, and that program's session is lost, so we look first.

#include "tty_user.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

const std::vector<std::string> uucp_lock_dirs = {"/run/lock", "/var/lock"};

namespace {

bool is_number(const char *text) {
  if (*text == '\0')
    return false;
  for (; *text != '\0'; ++text)
    if (*text < '0' || *text > '9')
      return false;
  return true;
}

// The same node: the same file, or a device file for the same device.
bool same_node(const struct stat &a, const struct stat &b) {
  return (a.st_dev == b.st_dev && a.st_ino == b.st_ino) ||
         (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev);
}

std::string program_of(int pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  for (char &c : name)
    if (c <= ' ' || c == 127)
      c = '_';
  return name.empty() ? "unknown" : name;
}

int open_file_owner(const struct stat &node) {
  DIR *proc = opendir("/proc");
  if (proc == nullptr)
    return 0;
  int owner = 0;
  const std::string self = std::to_string(getpid());
  while (const dirent *process = readdir(proc)) {
    if (!is_number(process->d_name) || process->d_name == self)
      continue;
    const std::string fds = std::string("/proc/") + process->d_name + "/fd";
    DIR *dir = opendir(fds.c_str()); // another user's: EACCES, passed over
    if (dir == nullptr)
      continue;
    while (const dirent *fd = readdir(dir)) {
      struct stat file{};
      // stat follows the link to the file without opening it.
      if (is_number(fd->d_name) &&
          stat((fds + "/" + fd->d_name).c_str(), &file) == 0 &&
          same_node(file, node)) {
        owner = std::atoi(process->d_name);
        break;
      }
    }
    closedir(dir);
    if (owner != 0)
      break;
  }
  closedir(proc);
  return owner;
}

// A line of /proc/locks: "1: FLOCK  ADVISORY  WRITE 812 00:05:97 0 EOF",
// blocked waiters with "->" after the number. The device is that of the
// file system holding the node, in hex; an open file description lock
// has no process (-1).
bool lock_holder(const struct stat &node, int *pid) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, device;
    long holder = 0;
    fields >> number >> kind;
    if (kind == "->")
      fields >> kind;
    fields >> mode >> access >> holder >> device;
    unsigned major_number = 0, minor_number = 0;
    unsigned long long inode = 0;
    if (!fields || std::sscanf(device.c_str(), "%x:%x:%llu", &major_number,
                               &minor_number, &inode) != 3)
      continue;
    if (major(node.st_dev) == major_number &&
        minor(node.st_dev) == minor_number && node.st_ino == inode &&
        holder != getpid()) {
      *pid = static_cast<int>(holder);
      return true;
    }
  }
  return false;
}

bool process_runs(long pid) {
  return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// A UUCP lock file holds its process ID in ASCII (ten columns and a
// newline, or the digits alone), or as a binary int from older programs:
// four bytes that are not all digits and blanks.
int uucp_lock_holder(const std::string &tty,
                     const std::vector<std::string> &lock_dirs) {
  for (const std::string &dir : lock_dirs) {
    std::FILE *file = std::fopen((dir + "/LCK.." + tty).c_str(), "re");
    if (file == nullptr)
      continue;
    char text[32] = "";
    const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    long pid = 0;
    const bool ascii = std::all_of(text, text + length, [](char c) {
      return (c >= '0' && c <= '9') || c == ' ' || c == '\n';
    });
    if (length == sizeof(int) && !ascii) {
      int binary = 0;
      std::memcpy(&binary, text, sizeof binary);
      pid = binary;
    } else {
      pid = std::strtol(text, nullptr, 10);
    }
    if (pid != getpid() && process_runs(pid))
      return static_cast<int>(pid);
  }
  return 0;
}

} // namespace

bool find_tty_user(const std::string &tty, tty_user *user,
                   const std::vector<std::string> &lock_dirs) {
  if (tty.empty() || tty.find('/') != std::string::npos)
    return false;
  struct stat node{};
  const bool have_node = stat(("/dev/" + tty).c_str(), &node) == 0;
  int pid = have_node ? open_file_owner(node) : 0;
  const bool found = pid != 0 || (have_node && lock_holder(node, &pid)) ||
                     (pid = uucp_lock_holder(tty, lock_dirs)) != 0;
  if (found) {
    user->pid = pid;
    user->program = pid > 0 ? program_of(pid) : "unknown";
  }
  return found;
}

std::string tty_with_user(const std::string &tty) {
  tty_user user;
  if (!find_tty_user(tty, &user))
    return tty;
  if (user.pid <= 0)
    return tty + ":" + user.program;
  return tty + ":" + user.program + "[" + std::to_string(user.pid) + "]";
}
