#include "cli/signals.h"

#include <unistd.h>

#include <csignal>
#include <cstring>

namespace mirt {
namespace {

// Only what a handler may touch: a fixed buffer and an atomic flag.
char g_partial_output[4096];
volatile sig_atomic_t g_partial_output_set = 0;

void remove_partial_output(int signal_number) {
  if (g_partial_output_set) ::unlink(g_partial_output);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void install_handlers() {
  static bool installed = false;
  if (installed) return;
  for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ}) {
    if (std::signal(signal_number, remove_partial_output) == SIG_IGN)
      std::signal(signal_number, SIG_IGN);  // keep what the parent chose to ignore
  }
  installed = true;
}

}  // namespace

void watch_partial_output(const std::string& path) {
  g_partial_output_set = 0;
  if (path.size() >= sizeof g_partial_output) return;
  std::memcpy(g_partial_output, path.c_str(), path.size() + 1);
  g_partial_output_set = 1;
  install_handlers();
}

void unwatch_partial_output() { g_partial_output_set = 0; }

}  // namespace mirt
