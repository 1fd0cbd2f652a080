// Runs a program with an explicit argument vector and environment and
// captures what it writes.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mirt::test {

struct RunOptions {
  std::vector<std::string> args;  // not including argument 0
  std::string home;               // HOME; empty: leave HOME unset
  std::vector<std::pair<std::string, std::string>> env;  // extra variables (e.g. COLUMNS)
  std::optional<std::string> stdin_data;  // fed through a pipe
  std::string stdin_file;                 // or read from this file
  std::string cwd;                        // working directory; empty: unchanged
  bool stdout_tty = false;                // standard output is a pseudo terminal
  std::string stdout_file;                // or this file (e.g. /dev/full), opened for writing
  bool new_session = false;               // no controlling terminal: /dev/tty cannot open
  int timeout_ms = 60000;
};

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal
  int term_signal = 0;
  bool timed_out = false;
  long max_rss_kb = 0;  // the child's peak resident memory
  std::string out;
  std::string err;
};

// Anything but PATH, HOME and the given variables is dropped from the
// child's environment.
RunResult run_process(const std::string& program, const RunOptions& options);
// The mirt binary under test, kept away from any installed configuration
// and presets: no system file, and the presets of the source tree, unless
// the options set the variables of installation_override themselves. The
// test process has them in its own environment as well.
RunResult run_mirt(const RunOptions& options);
std::vector<std::pair<std::string, std::string>> installation_override();

}  // namespace mirt::test
