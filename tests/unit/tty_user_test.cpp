// SPDX-License-Identifier: MIT
// UUCP lock files: a live process holds the port, a stale or unreadable
// lock does not. The open-file and flock signs are checked on the
// emulated chips and on the real kernel.
#include "tty_user.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A port with no /dev node, so that only its lock file can name a user.
const char tty[] = "ttyPINMONTEST0";

enum class pid_kind { live, init, gone, own, none };

struct lock_case {
  const char *name;
  pid_kind pid;
  const char *format; // printf format for the pid, or nullptr: binary
  bool in_second_dir;
  bool held;
};

const lock_case lock_cases[] = {
    {"ascii, live", pid_kind::live, "%10d\n", false, true},
    {"ascii, unpadded, live", pid_kind::live, "%d", false, true},
    // As long as a binary int: four ASCII characters, init's pid.
    {"ascii, four characters, live", pid_kind::init, "%4d", false, true},
    {"binary, live", pid_kind::live, nullptr, false, true},
    {"in /var/lock's place", pid_kind::live, "%10d\n", true, true},
    {"ascii, process gone", pid_kind::gone, "%10d\n", false, false},
    {"binary, process gone", pid_kind::gone, nullptr, false, false},
    {"this process's own", pid_kind::own, "%10d\n", false, false},
    {"pid 0", pid_kind::none, "%10d\n", false, false},
    {"garbage", pid_kind::none, "pinmon\n", false, false},
    {"empty", pid_kind::none, "", false, false},
};

void PrintTo(const lock_case &test, std::ostream *out) {
  *out << test.name;
}

class UucpLock : public testing::TestWithParam<lock_case> {};

pid_t start_sleeper() {
  const pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  return child;
}

TEST_P(UucpLock, HeldOnlyByALiveProcess) {
  const lock_case &test = GetParam();
  char dirs[2][32] = {"/tmp/pinmon-lock-XXXXXX", "/tmp/pinmon-lock-XXXXXX"};
  ASSERT_NE(mkdtemp(dirs[0]), nullptr);
  ASSERT_NE(mkdtemp(dirs[1]), nullptr);
  pid_t child = start_sleeper();
  pid_t pid = child;
  if (test.pid == pid_kind::gone) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  } else if (test.pid == pid_kind::init) {
    pid = 1;
  } else if (test.pid == pid_kind::own) {
    pid = getpid();
  } else if (test.pid == pid_kind::none) {
    pid = 0;
  }
  const std::string path =
      std::string(dirs[test.in_second_dir ? 1 : 0]) + "/LCK.." + tty;
  std::FILE *file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  if (test.format == nullptr) {
    const int binary = pid;
    std::fwrite(&binary, sizeof binary, 1, file);
  } else {
    std::fprintf(file, test.format, pid);
  }
  std::fclose(file);

  tty_user user;
  const bool held = find_tty_user(tty, &user, {dirs[0], dirs[1]});
  EXPECT_EQ(held, test.held);
  if (held) {
    EXPECT_EQ(user.pid, pid);
  }

  if (test.pid != pid_kind::gone) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  std::remove(path.c_str());
  rmdir(dirs[0]);
  rmdir(dirs[1]);
}

INSTANTIATE_TEST_SUITE_P(Table, UucpLock, testing::ValuesIn(lock_cases));

// The name comes from sysfs; a path in its place is never looked up.
TEST(TtyUser, NoPathForAName) {
  tty_user user;
  EXPECT_FALSE(find_tty_user("../null", &user, {}));
  EXPECT_FALSE(find_tty_user("", &user, {}));
}

} // namespace
