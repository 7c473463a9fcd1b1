// SPDX-License-Identifier: MIT
// Linked into coverage builds only. The monitor runs until a signal ends
// it, and a process killed that way never writes its coverage counters:
// write them first, then die of the same signal.

#include <csignal>
#include <initializer_list>

extern "C" void __gcov_dump();

namespace {

void dump_and_die(int signal) {
  __gcov_dump();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

[[maybe_unused]] const bool installed = [] {
  // A signal ignored by whoever started the program stays ignored.
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
    if (std::signal(signal, dump_and_die) == SIG_IGN)
      std::signal(signal, SIG_IGN);
  return true;
}();

} // namespace
