// SPDX-License-Identifier: MIT
// pinmon-vcd: turns pinmon's output, on standard input, into a Value
// Change Dump (IEEE 1364, section 18) on standard output, for waveform
// viewers: `pinmon 1 | pinmon-vcd > lines.vcd`. Eight one-bit wires D0 to
// D7 in the plainest shape (PulseView's importer reads nothing else), and
// with --vector an 8-bit vector "pins" beside them. A failed reading makes
// every line unknown (x) until the next one.

#include "output.h"
#include "report_line.h"

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

const char usage[] =
    "usage: pinmon-vcd [--vector] [--period MS] < pinmon-output > lines.vcd\n"
    "Turns pinmon's output into a Value Change Dump (1 ms units) for\n"
    "waveform viewers such as GTKWave and PulseView.\n"
    "  --vector     also an 8-bit vector \"pins\" beside the wires D0 to D7\n"
    "  --period MS  reading n at n * MS ms, for a saved capture (default:\n"
    "               the time each line arrives)\n"
    "  -h, --help   this text\n";

// The dump so far. Identifiers are one printable character each: '!' for
// D0 up to '(' for D7, ')' for the vector.
struct dump {
  bool vector = false;
  long period_ms = 0; // 0: times are arrival times
  long long readings = 0;
  long long last_time = -1; // of the last timestamp written
  char bits[8] = {};        // '0', '1' or 'x'; D0 first
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
  errno = 0;
  if (std::fwrite(text, 1, length, stdout) != length)
    output_failed();
}

void write_out(const std::string &text) {
  write_out(text.data(), text.size());
}

void finish_output() {
  errno = 0;
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
    header += "$var wire 1 " + std::string(1, char('!' + bit)) + " D" +
              std::to_string(bit) + " $end\n";
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

enum class line_kind { startup, reading, startup_failure, foreign };

line_kind classify(const std::string &text, int *sample) {
  std::int32_t index = 0;
  *sample = report_line_sample(text);
  if (*sample >= 0)
    return line_kind::reading;
  const std::string line = text + "\n";
  if (line == read_failed_line)
    return line_kind::reading;
  if (line == banner_line || line == bit_mode_on_line ||
      index_line(text, device_opened_line, &index))
    return line_kind::startup;
  if (line == bit_mode_failed_line || index_line(text, cant_open_line, &index))
    return line_kind::startup_failure;
  return line_kind::foreign;
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
sigset_t unblocked;

// The signals are blocked but while waiting for input, so that one that
// comes is never lost between a look at the flag and the wait.
void watch_signals() {
  sigset_t watched;
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

bool parse_arguments(int argc, char *argv[], dump &state, int *status) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      std::fputs(usage, stdout);
      *status = 0;
      return false;
    }
    if (argument == "--vector") {
      state.vector = true;
      continue;
    }
    std::string period;
    if (argument == "--period")
      period = i + 1 < argc ? argv[++i] : "";
    else if (argument.rfind("--period=", 0) == 0)
      period = argument.substr(std::strlen("--period="));
    else {
      std::fprintf(stderr, "pinmon-vcd: unknown argument \"%s\"\n%s",
                   argument.c_str(), usage);
      *status = exit_usage;
      return false;
    }
    const bool digits =
        !period.empty() && period.size() <= 7 &&
        period.find_first_not_of("0123456789") == std::string::npos;
    state.period_ms = digits ? std::atol(period.c_str()) : 0;
    if (state.period_ms < 1 || state.period_ms > longest_period_ms) {
      std::fprintf(stderr,
                   "pinmon-vcd: --period takes whole milliseconds from 1 to "
                   "%ld, not \"%s\"\n",
                   longest_period_ms, period.c_str());
      *status = exit_usage;
      return false;
    }
  }
  return true;
}

// One line of input, its end of line taken off; returns the exit status
// that ends the run there, or -1 to go on.
int take_line(dump &state, std::string &text, long long number,
              std::chrono::steady_clock::time_point arrival) {
  if (!text.empty() && text.back() == '\r')
    text.pop_back();
  int sample = -1;
  switch (classify(text, &sample)) {
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
  std::fprintf(stderr, "pinmon-vcd: line %lld is not pinmon's output: \"%s\"\n",
               number, text.c_str());
  return exit_usage;
}

} // namespace

int main(int argc, char *argv[]) {
  dump state;
  int status = 0;
  if (!parse_arguments(argc, argv, state, &status))
    return status;
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
  for (;;) {
    const bool stopping = stop_signal != 0;
    const long count = read_input(input, sizeof input, stopping);
    const auto arrival = std::chrono::steady_clock::now();
    if (count == 0)
      break;
    if (count < 0) {
      // A signal: what is in the pipe already is read, then the end.
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
    while (const char *newline = static_cast<const char *>(std::memchr(
               start, '\n', static_cast<std::size_t>(end - start)))) {
      line.append(start, newline);
      start = newline + 1;
      const int ended = take_line(state, line, ++number, arrival);
      if (ended >= 0)
        return ended;
      line.clear();
    }
    line.append(start, end);
    // Live from the monitor a chunk is a line: the file grows with it, and
    // a reader of the output that has gone is seen at once.
    finish_output();
#ifdef _WIN32
    if (stop_signal != 0)
      break;
#endif
  }
  const auto now = std::chrono::steady_clock::now();
  // A last line without its end of line is still a line.
  if (!line.empty()) {
    const int ended = take_line(state, line, ++number, now);
    if (ended >= 0)
      return ended;
  }
  end_dump(state, now);
  if (stop_signal != 0)
    end_for_signal(stop_signal);
  return status;
}
