#include "support/process_state.h"

#include <cstdlib>

#include "codec/tables.h"
#include "location/net.h"
#include "location/stream.h"
#include "modules/loader.h"
#include "status/status.h"
#include "support/process.h"

namespace mirt::test {

void reset_process_state() {
  // The driver called in this process reads no installed configuration.
  for (const auto& [name, value] : installation_override()) setenv(name.c_str(), value.c_str(), 1);
  module_registry_reset();
  tables_reset();
  status_reset();
  network_reset();
  reopen_table_reset();
  module_path_reset();
}

ScopedHome::ScopedHome(const std::string& path) {
  if (const char* home = std::getenv("HOME")) saved_ = home;
  setenv("HOME", path.c_str(), 1);
}

ScopedHome::~ScopedHome() {
  if (saved_)
    setenv("HOME", saved_->c_str(), 1);
  else
    unsetenv("HOME");
}

Argv::Argv(std::vector<std::string> args) : args_(std::move(args)) {
  args_.insert(args_.begin(), "mirt");
  for (std::string& arg : args_) pointers_.push_back(arg.data());
  pointers_.push_back(nullptr);
}

}  // namespace mirt::test
