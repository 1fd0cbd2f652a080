// Process-wide state of the program's layers, for tests that call them in
// process: a clean slate, HOME, and command lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace mirt::test {

// Every owner's table back as at start-up: module registry (first, so no
// table entry outlives its module), algorithm and cipher tables, extension
// buffer, status parameters, network flags, reopen table, module path,
// the algorithms tried; and no installed configuration (as for run_mirt).
void reset_process_state();

// HOME set to `path` while alive; the old value, or its absence, after.
class ScopedHome {
 public:
  explicit ScopedHome(const std::string& path);
  ~ScopedHome();
  ScopedHome(const ScopedHome&) = delete;
  ScopedHome& operator=(const ScopedHome&) = delete;

 private:
  std::optional<std::string> saved_;
};

// An argument vector: "mirt", then `args`, then a null pointer.
class Argv {
 public:
  explicit Argv(std::vector<std::string> args);
  int argc() const { return static_cast<int>(args_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> args_;
  std::vector<char*> pointers_;
};

}  // namespace mirt::test
