// SPDX-License-Identifier: MIT
// pinmon-vcd: turns pinmon's output, on standard input, into a Value
// Change Dump (IEEE 1364, section 18) on standard output, for waveform
// viewers: `pinmon 1 | pinmon-vcd > lines.vcd`. Eight one-bit wires D0 to
// D7 (or the names given) in the plainest shape, then a one-bit wire
// "valid", and with --vector an 8-bit vector "pins". A failed reading makes
// every line unknown (x), and valid 0, until the next one: PulseView's
// importer has no unknown state and shows x as 0, so valid tells it.

#include "input_line.h"
#include "option_value.h"
#include "output.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

#ifndef PINMON_VERSION
#define PINMON_VERSION "unknown"
#endif

namespace {

const int exit_startup_failed = 1;
const int exit_usage = 2;
const int exit_io_failed = 3;
const long longest_period_ms = 3600000;

const std::size_t longest_name = 32;

const char usage[] =
    "usage: pinmon-vcd [--vector] [--period MS] [--names LIST] < pinmon-output"
    " > lines.vcd\n"
    "Turns pinmon's output into a Value Change Dump (1 ms units) for\n"
    "waveform viewers such as GTKWave and PulseView.\n"
    "  --vector      also an 8-bit vector \"pins\" beside the wires D0 to D7\n"
    "  --period MS   reading n at n * MS ms, for a saved capture (default:\n"
    "                the time each line arrives)\n"
    "  --names LIST  names for D0, D1, ... in that order, such as\n"
    "                SCL,SDA,,CS_N (an empty one keeps D<n>)\n"
    "  -h, --help    this text\n";

// The dump so far. Identifiers are one printable character each: '!' for
// D0 up to '(' for D7, ')' for the vector, '*' for valid.
struct dump {
  bool vector = false;
  long period_ms = 0; // 0: times are arrival times
  std::string names[8] = {"D0", "D1", "D2", "D3", "D4", "D5", "D6", "D7"};
  long long readings = 0;
  long long last_time = -1; // of the last timestamp written
  char bits[8] = {};        // '0', '1' or 'x'; D0 first; all x: not valid
  std::chrono::steady_clock::time_point first_arrival;
};

// A broken pipe ends it as it ends pinmon; any other error is reported.
[[noreturn]] void output_failed() {
  if (output_reader_gone())
    std::exit(exit_reader_gone);
  std::fprintf(stderr, "pinmon-vcd: cannot write the output: %s\n",
               std::strerror(errno));
  std::exit(exit_io_failed);
}

void write_out(const char *text, std::size_t length) {
  clear_output_error();
  if (std::fwrite(text, 1, length, stdout) != length)
    output_failed();
}

void write_out(const std::string &text) {
  write_out(text.data(), text.size());
}

void finish_output() {
  clear_output_error();
  if (std::fflush(stdout) != 0)
    output_failed();
}

// $date: SOURCE_DATE_EPOCH where it is set, so that a file can be made
// again byte for byte; the current time otherwise.
std::string date_text() {
  std::time_t now = std::time(nullptr);
  if (const char *epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    char *end = nullptr;
    const long long seconds = std::strtoll(epoch, &end, 10);
    if (*epoch != '\0' && *end == '\0' && seconds >= 0)
      now = static_cast<std::time_t>(seconds);
  }
  char text[64] = "";
  if (const std::tm *utc = std::gmtime(&now))
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", utc);
  return text;
}

void write_header(const dump &state) {
  std::string header = "$date\n   " + date_text() +
                       "\n$end\n"
                       "$version\n   pinmon-vcd " PINMON_VERSION "\n$end\n"
                       "$timescale 1 ms $end\n"
                       "$scope module pinmon $end\n";
  for (int bit = 0; bit < 8; ++bit)
    header += "$var wire 1 " + std::string(1, char('!' + bit)) + " " +
              state.names[bit] + " $end\n";
  header += "$var wire 1 * valid $end\n";
  if (state.vector)
    header += "$var wire 8 ) pins $end\n";
  header += "$upscope $end\n$enddefinitions $end\n";
  write_out(header);
}

// The time of the next reading: nominal, or its arrival in milliseconds
// since the first; never at or before the last one written.
long long reading_time(dump &state,
                       std::chrono::steady_clock::time_point arrival) {
  if (state.readings == 0)
    state.first_arrival = arrival;
  long long time = state.readings * state.period_ms;
  if (state.period_ms == 0) {
    const auto since_first =
        std::chrono::duration_cast<std::chrono::microseconds>(
            arrival - state.first_arrival);
    time = (since_first.count() + 500) / 1000;
  }
  return time > state.last_time ? time : state.last_time + 1;
}

// One reading: the sample, or -1 for a failed one. Only what changed is
// written; the first reading gives every value inside $dumpvars.
void add_reading(dump &state, int sample,
                 std::chrono::steady_clock::time_point arrival) {
  char bits[8];
  for (int bit = 0; bit < 8; ++bit)
    bits[bit] = sample < 0 ? 'x' : char('0' + ((sample >> bit) & 1));
  const bool first = state.readings == 0;
  const long long time = reading_time(state, arrival);
  ++state.readings;
  // valid changes only with the bits: a failed reading is all x.
  if (!first && std::memcmp(bits, state.bits, sizeof bits) == 0)
    return;

  char text[160];
  int length = std::snprintf(text, sizeof text,
                             first ? "#%lld\n$dumpvars\n" : "#%lld\n", time);
  for (int bit = 0; bit < 8; ++bit)
    if (first || bits[bit] != state.bits[bit]) {
      text[length++] = bits[bit];
      text[length++] = char('!' + bit);
      text[length++] = '\n';
    }
  const bool valid = sample >= 0;
  if (first || valid != (state.bits[0] != 'x')) {
    text[length++] = valid ? '1' : '0';
    text[length++] = '*';
    text[length++] = '\n';
  }
  if (state.vector) {
    text[length++] = 'b';
    for (int bit = 7; bit >= 0; --bit)
      text[length++] = bits[bit];
    std::memcpy(text + length, " )\n", 3);
    length += 3;
  }
  if (first) {
    std::memcpy(text + length, "$end\n", 5);
    length += 5;
  }
  write_out(text, static_cast<std::size_t>(length));
  std::memcpy(state.bits, bits, sizeof bits);
  state.last_time = time;
}

// The end, however it comes: a last timestamp gives the last value its
// duration (with --period, until the next reading would have come).
void end_dump(dump &state, std::chrono::steady_clock::time_point now) {
  if (state.readings > 0) {
    const long long end = reading_time(state, now);
    write_out("#" + std::to_string(end) + "\n");
  }
  finish_output();
}

volatile std::sig_atomic_t stop_signal = 0;

void note_signal(int signal) {
  stop_signal = signal;
}

#ifdef _WIN32
void watch_signals() {
  // Ctrl-C reaches pinmon too, whose end then ends the input.
  std::signal(SIGINT, note_signal);
  std::signal(SIGTERM, note_signal);
}

// Input as it comes; 0 at its end. A signal is seen after the next read.
long read_input(char *buffer, std::size_t size, bool) {
  return _read(0, buffer, static_cast<unsigned>(size));
}
#else
sigset_t watched;
sigset_t unblocked;

// The signals are blocked but while waiting for input, so that one that
// comes is never lost between a look at the flag and the wait.
void watch_signals() {
  sigemptyset(&watched);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action{};
    // A signal ignored by whoever started the program stays ignored.
    if (sigaction(signal, nullptr, &action) != 0 ||
        action.sa_handler == SIG_IGN)
      continue;
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
    sigaddset(&watched, signal);
  }
  sigprocmask(SIG_BLOCK, &watched, &unblocked);
}

// Input as it comes: the byte count, 0 at its end, -1 when a signal came
// first. After a signal, only what is there already is read.
long read_input(char *buffer, std::size_t size, bool stopping) {
  pollfd input{0, POLLIN, 0};
  const timespec no_wait{};
  const int ready = ppoll(&input, 1, stopping ? &no_wait : nullptr, &unblocked);
  if (ready == 0 || (ready < 0 && errno == EINTR))
    return -1;
  // Input that is ready wins over a signal that came meanwhile, which
  // stays pending: take it, or a steady input would hide it for ever.
  const int pending = sigtimedwait(&watched, nullptr, &no_wait);
  if (pending > 0)
    stop_signal = pending;
  return read(0, buffer, size);
}
#endif

[[noreturn]] void end_for_signal(int signal) {
  std::signal(signal, SIG_DFL);
#ifndef _WIN32
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal);
  sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
#endif
  std::raise(signal);
  std::exit(128 + signal);
}

bool parse_period(const std::string &period, dump &state) {
  const bool digits =
      !period.empty() && period.size() <= 7 &&
      period.find_first_not_of("0123456789") == std::string::npos;
  state.period_ms = digits ? std::atol(period.c_str()) : 0;
  if (state.period_ms >= 1 && state.period_ms <= longest_period_ms)
    return true;
  std::fprintf(stderr,
               "pinmon-vcd: --period takes whole milliseconds from 1 to %ld, "
               "not %s\n",
               longest_period_ms, quoted_line(period).c_str());
  return false;
}

// Why a name given for line `line` cannot be, or nullptr when it can.
// Every viewer takes such names, and none is another trace's.
const char *name_fault(const std::string &name, int line, const dump &state) {
  const char *word_bytes = "abcdefghijklmnopqrstuvwxyz"
                           "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
  if (name.size() > longest_name)
    return "is longer than 32 characters";
  if (name.find_first_not_of(word_bytes) != std::string::npos)
    return "holds a character other than a letter, a digit or _";
  if (name[0] >= '0' && name[0] <= '9')
    return "starts with a digit";
  if (name == "valid" || name == "pins")
    return "is the name of another trace";
  for (int other = 0; other < 8; ++other) {
    if (other == line)
      continue;
    if (name == "D" + std::to_string(other))
      return "is another line's own name";
    if (other < line && name == state.names[other])
      return "is given twice";
  }
  return nullptr;
}

bool parse_names(const std::string &list, dump &state) {
  std::size_t start = 0;
  for (int line = 0;; ++line) {
    const std::size_t comma = list.find(',', start);
    const std::string name = list.substr(start, comma - start);
    const char *fault = line >= 8 ? "is a ninth name: there are eight lines"
                        : name.empty() ? nullptr
                                       : name_fault(name, line, state);
    if (fault != nullptr) {
      std::fprintf(stderr, "pinmon-vcd: --names: %s %s\n",
                   quoted_line(name).c_str(), fault);
      return false;
    }
    if (!name.empty())
      state.names[line] = name;
    if (comma == std::string::npos)
      return true;
    start = comma + 1;
  }
}

// Returns the exit status that ends the run at once, or -1 to go on.
int parse_arguments(int argc, char *argv[], dump &state) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    std::string value;
    if (argument == "-h" || argument == "--help") {
      std::fputs(usage, stdout);
      return 0;
    }
    if (argument == "--vector") {
      state.vector = true;
    } else if (option_value(argc, argv, &i, "--period", &value)) {
      if (!parse_period(value, state))
        return exit_usage;
    } else if (option_value(argc, argv, &i, "--names", &value)) {
      if (!parse_names(value, state))
        return exit_usage;
    } else {
      std::fprintf(stderr, "pinmon-vcd: unknown argument %s\n%s",
                   quoted_line(argument).c_str(), usage);
      return exit_usage;
    }
  }
  return -1;
}

// One line of input, its end of line taken off; returns the exit status
// that ends the run there, or -1 to go on.
int take_line(dump &state, std::string &text, long long number,
              std::chrono::steady_clock::time_point arrival) {
  if (!line_too_long(text) && !text.empty() && text.back() == '\r')
    text.pop_back();
  int sample = -1;
  switch (classify_line(text, &sample)) {
  case line_kind::reading:
    add_reading(state, sample, arrival);
    return -1;
  case line_kind::startup:
    return -1;
  case line_kind::startup_failure:
    end_dump(state, arrival);
    std::fprintf(stderr, "%s\n", text.c_str());
    return exit_startup_failed;
  case line_kind::foreign:
    break;
  }
  end_dump(state, arrival);
  std::fprintf(stderr, "pinmon-vcd: line %lld is not pinmon's output: %s\n",
               number, quoted_line(text).c_str());
  return exit_usage;
}

} // namespace

int main(int argc, char *argv[]) {
  dump state;
  const int parsed = parse_arguments(argc, argv, state);
  if (parsed >= 0)
    return parsed;
#ifdef _WIN32
  // The same bytes as on Linux: no CR added to the file's lines.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  static char output_buffer[1 << 16];
  std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
  watch_signals();
  write_header(state);

  static char input[1 << 16];
  std::string line;
  long long number = 0;
  int status = 0;
  for (;;) {
    const bool stopping = stop_signal != 0;
    const long count = read_input(input, sizeof input, stopping);
    const auto arrival = std::chrono::steady_clock::now();
    if (count == 0)
      break;
    if (count < 0) {
      if (stop_signal != 0 && stopping)
        break;
      if (stop_signal != 0 || errno == EINTR)
        continue;
      std::fprintf(stderr, "pinmon-vcd: cannot read the input: %s\n",
                   std::strerror(errno));
      status = exit_io_failed;
      break;
    }
    const char *start = input;
    const char *end = input + count;
    while (const char *next = gather_line(line, start, end)) {
      start = next;
      const int ended = take_line(state, line, ++number, arrival);
      if (ended >= 0)
        return ended;
      line.clear();
    }
    // A line longer than any of pinmon's is foreign before it ends.
    if (line_too_long(line))
      return take_line(state, line, ++number, arrival);
    // Live from the monitor a chunk is a line: the file grows with it, and
    // a reader of the output that has gone is seen at once.
    finish_output();
    // After a signal, what was in the pipe then has been read.
    if (stopping)
      break;
#ifdef _WIN32
    if (stop_signal != 0)
      break;
#endif
  }
  const auto now = std::chrono::steady_clock::now();
  // A last line without its end of line is still a line, but for a part
  // of one cut off by a signal: there the input ends.
  if (!line.empty() && stop_signal == 0) {
    const int ended = take_line(state, line, ++number, now);
    if (ended >= 0)
      return ended;
  }
  end_dump(state, now);
  if (stop_signal != 0)
    end_for_signal(stop_signal);
  return status;
}
