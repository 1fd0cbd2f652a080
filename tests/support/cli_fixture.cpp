#include "support/cli_fixture.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "codec/tables.h"

namespace mirt::test {

void CliTest::SetUp() {
  home = dir.file("home");
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
}

RunResult CliTest::run(std::vector<std::string> args, RunOptions options, bool unset_home) {
  options.args = std::move(args);
  if (!unset_home && options.home.empty()) options.home = home;
  if (options.cwd.empty()) options.cwd = dir.path();
  RunResult result = run_mirt(options);
  EXPECT_FALSE(result.timed_out);
  return result;
}

RunResult CliTest::run_stdin(std::vector<std::string> args, const std::string& input) {
  RunOptions options;
  options.stdin_data = input;
  return run(std::move(args), options);
}

RunResult CliTest::run_env(std::vector<std::string> args,
                           std::vector<std::pair<std::string, std::string>> env) {
  RunOptions options;
  options.env = std::move(env);
  return run(std::move(args), options);
}

std::string CliTest::expand(const std::string& container_path) {
  RunResult r = run({"-d", "-c", container_path});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r.out;
}

void CliTest::write_user_config(const std::string& text) {
  std::filesystem::create_directories(home + "/.mirt");
  ASSERT_TRUE(write_file(home + "/.mirt/mirt.conf", text));
}

void CliFileTest::SetUp() {
  CliTest::SetUp();
  ASSERT_TRUE(write_file(file("f"), "data"));
}

std::string algorithm_listing(bool (*keep)(int)) {
  tables_reset();
  std::string text = kEmptyListing;
  for (int slot = 0; slot < 255; ++slot) {
    if (!algorithm_available(slot) || (keep != nullptr && !keep(slot))) continue;
    char line[300];
    std::snprintf(line, sizeof line, "mirt: %3i | %s\n", slot, algorithm_name(slot));
    text += line;
  }
  return text;
}

std::string first_line(const std::string& err) { return err.substr(0, err.find('\r') + 1); }

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace mirt::test
