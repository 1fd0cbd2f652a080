// Command-line tests: the built binary run as a user would, with a fresh
// HOME and working directory inside a temporary directory and explicit
// standard streams.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/files.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace mirt::test {

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // HOME is the fresh home unless the options name another one;
  // `unset_home` leaves it out of the environment.
  RunResult run(std::vector<std::string> args, RunOptions options = {}, bool unset_home = false);
  RunResult run_stdin(std::vector<std::string> args, const std::string& input);
  RunResult run_env(std::vector<std::string> args,
                    std::vector<std::pair<std::string, std::string>> env);
  std::string file(const std::string& name) const { return dir.file(name); }
  // Decompresses a container to standard output.
  std::string expand(const std::string& container_path);
  void write_user_config(const std::string& text);

  TempDir dir;
  std::string home;
};

// The same, with a file "f" holding "data" in the working directory.
class CliFileTest : public CliTest {
 protected:
  void SetUp() override;
};

// The listing -l prints for the built-in table (every slot kept by
// `keep`, all when null), and the empty one.
std::string algorithm_listing(bool (*keep)(int) = nullptr);
inline const std::string kEmptyListing = "mirt: Num | Name\n";
inline const std::string kBuiltInListing = kEmptyListing + "mirt:   0 | Uncompressed\n";

// The first redraw of the status line in standard error, up to its '\r'.
std::string first_line(const std::string& err);

// ASCII lower case, as the program folds system names.
std::string lower(std::string text);

}  // namespace mirt::test
