// SPDX-License-Identifier: MIT
// Linked into coverage builds only. The monitor runs until a signal ends
// it, and a process killed that way never writes its coverage counters:
// write them first, then die of the same signal.

#include <csignal>
#include <initializer_list>
#include <pthread.h>

extern "C" void __gcov_dump();

// Code that handles a signal itself and then raises it again to die of
// it (the Linux backend's serial-port watcher) writes the counters first.
extern "C" int raise(int signal) {
  __gcov_dump();
  return pthread_kill(pthread_self(), signal);
}

namespace {

void dump_and_die(int signal) {
  std::signal(signal, SIG_DFL);
  raise(signal);
}

[[maybe_unused]] const bool installed = [] {
  // A signal ignored by whoever started the program stays ignored.
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
    if (std::signal(signal, dump_and_die) == SIG_IGN)
      std::signal(signal, SIG_IGN);
  return true;
}();

} // namespace
