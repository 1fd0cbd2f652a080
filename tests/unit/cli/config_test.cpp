#include "cli/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/tables.h"
#include "location/net.h"
#include "modules/loader.h"
#include "status/status.h"
#include "support/files.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { test::reset_process_state(); }
  void TearDown() override { test::reset_process_state(); }
  int apply(const std::string& line) { return apply_config_line(line.c_str(), settings); }
  std::string path_tail() const {
    return std::string(module_path()).substr(std::strlen(kInitialModulePath));
  }

  Settings settings = with_block_size(77);
  const uint32_t& block_size = settings.algorithms.block_size.fixed;

 private:
  static Settings with_block_size(uint32_t size) {
    Settings made;
    made.algorithms.block_size.fixed = size;
    return made;
  }
};

// One directive line and the state it should leave behind.
struct DirectiveCase {
  const char* lines;  // separated by '\n', applied one by one
  int (*observe)(const Settings&);
  int expected;
};

int colour(const Settings&) { return status_param_get(kStatusColour); }
int prompt_stdin(const Settings&) { return status_param_get(kStatusPromptStdin); }
int version_check(const Settings& s) { return s.options.version_check; }
int user_binary(const Settings& s) { return s.options.run_user_binary; }
int upgrade(const Settings& s) { return s.options.upgrade; }
int use_urls(const Settings& s) { return s.options.use_urls; }
int network_off(const Settings&) { return network_disabled() ? 1 : 0; }
int timeout(const Settings&) { return static_cast<int>(network_timeout()); }
int copy_available(const Settings&) { return algorithm_available(0) ? 1 : 0; }
int block(const Settings& s) { return static_cast<int>(s.algorithms.block_size.fixed); }
int pipe_block(const Settings& s) { return static_cast<int>(s.algorithms.block_size.pipe); }
int block_limit(const Settings& s) { return static_cast<int>(s.algorithms.block_size.limit); }
int even_blocks(const Settings& s) { return s.algorithms.block_size.even ? 1 : 0; }
int threads(const Settings& s) { return static_cast<int>(s.resources.threads); }
// Which of the slots 0, 17, 18, 19, 20, 22, 254 the compressor tries, one
// decimal digit each: 1101101 is 0, 17, 19, 20 and 254.
int tried(const Settings& s) {
  int digits = 0;
  for (int slot : {0, 17, 18, 19, 20, 22, 254})
    digits = digits * 10 + (s.algorithms.tries(slot) ? 1 : 0);
  return digits;
}
int memory_kib(const Settings& s) { return static_cast<int>(s.resources.memory_limit >> 10); }

class DirectiveTest : public ConfigTest, public ::testing::WithParamInterface<DirectiveCase> {};

TEST_P(DirectiveTest, LeavesExpectedState) {
  std::string all = GetParam().lines;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    apply(all.substr(start, end - start));
    start = end + 1;
  }
  EXPECT_EQ(GetParam().observe(settings), GetParam().expected) << GetParam().lines;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DirectiveTest,
    ::testing::Values(DirectiveCase{"colour on", colour, 1},
                      DirectiveCase{"colour on\ncolour off", colour, 0},
                      DirectiveCase{"colour yes", colour, 1},
                      DirectiveCase{"colour OFF", colour, 1},
                      DirectiveCase{"Colour on", colour, 0},
                      DirectiveCase{"colour", colour, 0},
                      DirectiveCase{"check_version on", version_check, 1},
                      DirectiveCase{"check_version on\ncheck_version off", version_check, 0},
                      DirectiveCase{"  check_version   on  x y last", version_check, 1},
                      DirectiveCase{"check_version\toff\tx", version_check, 0},
                      DirectiveCase{"check_version off\r", version_check, 0},
                      DirectiveCase{"check_version off\xE9", version_check, 0},
                      DirectiveCase{"check_version off\xE9\n\xFF", version_check, 0},
                      DirectiveCase{"prompt_stdin off", prompt_stdin, 1},
                      DirectiveCase{"stdin_prompt x", prompt_stdin, 1},
                      DirectiveCase{"user_binary on", user_binary, 1},
                      DirectiveCase{"user_binary on\nuser_binary off", user_binary, 0},
                      DirectiveCase{"auto_upgrade on", upgrade, 1},
                      DirectiveCase{"auto_upgrade yes", upgrade, 0},
                      DirectiveCase{"auto_upgrade on\nauto_upgrade off", upgrade, 1},
                      DirectiveCase{"try_urls on", use_urls, 1},
                      DirectiveCase{"try_urls on\ntry_urls off", use_urls, 0},
                      DirectiveCase{"network off", network_off, 1},
                      DirectiveCase{"network off\nnetwork Off", network_off, 0},
                      DirectiveCase{"net_timeout 5", timeout, 5},
                      DirectiveCase{"net_timeout 0", timeout, 0},
                      DirectiveCase{"net_timeout 5\nnet_timeout five", timeout, 5},
                      DirectiveCase{"net_timeout 99999999999", timeout, 2147483},
                      DirectiveCase{"exclude_algorithm 0", copy_available, 0},
                      DirectiveCase{"exclude_algorithm 256", copy_available, 0},
                      DirectiveCase{"exclude_algorithm abc", copy_available, 0},
                      DirectiveCase{"exclude_algorithm 1", copy_available, 1},
                      DirectiveCase{"try_algorithms 17,18,20-22", tried, 1110110},
                      DirectiveCase{"try_algorithms 254,19", tried, 1001001},
                      DirectiveCase{"try_algorithms 0", tried, 1000000},
                      // A later list replaces an earlier one; "all" lifts it.
                      DirectiveCase{"try_algorithms 17\ntry_algorithms 19", tried, 1001000},
                      DirectiveCase{"try_algorithms 17\ntry_algorithms all", tried, 1111111},
                      // Anything but a list is ignored.
                      DirectiveCase{"try_algorithms 17\ntry_algorithms 18,x", tried, 1100000},
                      DirectiveCase{"try_algorithms 20-18", tried, 1111111},
                      DirectiveCase{"try_algorithms 255", tried, 1111111},
                      DirectiveCase{"try_algorithms 17,,18", tried, 1111111},
                      DirectiveCase{"try_algorithms -1", tried, 1111111},
                      DirectiveCase{"blocksize 8192", block, 8192},
                      DirectiveCase{"blocksize 4294967296", block, 0},
                      DirectiveCase{"blocksize", block, 77},
                      DirectiveCase{"pipe_blocksize 65536", pipe_block, 65536},
                      DirectiveCase{"pipe_blocksize 2147483647", pipe_block, 2147483646},
                      DirectiveCase{"blocksize_limit 2147483647", block_limit, 2147483641},
                      DirectiveCase{"blocksize_even on\nblocksize_even off", even_blocks, 0},
                      DirectiveCase{"blocksize_even yes", even_blocks, 1},
                      DirectiveCase{"threads 3", threads, 3},
                      DirectiveCase{"memory_limit 512M", memory_kib, 512 << 10},
                      DirectiveCase{"memory_limit 2gib", memory_kib, 2 << 20},
                      DirectiveCase{"memory_limit 300kB", memory_kib, 300},
                      DirectiveCase{"memory_limit 0", memory_kib, 0},
                      DirectiveCase{"memory_limit 12X", memory_kib, 1 << 20},
                      DirectiveCase{"memory_limit 99999999999999999999", memory_kib, 1 << 20},
                      DirectiveCase{"memory_limit 20000000T", memory_kib, 1 << 20},
                      DirectiveCase{"#colour on", colour, 0},
                      DirectiveCase{" #colour on", colour, 0}));

TEST_F(ConfigTest, BlockSizeTakenWithoutRangeCheck) {
  apply("blocksize 3000000000");
  EXPECT_EQ(block_size, 3000000000u);
}

// A library context takes what the codec needs and leaves the program's
// process-wide state (status line, network) and switches alone.
TEST_F(ConfigTest, LibraryReaderLeavesProgramDirectives) {
  for (const char* line : {"colour on", "prompt_stdin on", "network off", "net_timeout 5",
                           "try_urls on", "check_version on", "threads 3", "memory_limit 1M"})
    EXPECT_EQ(apply_config_line(line, settings, ConfigReader::kLibrary), 1);
  EXPECT_EQ(colour(settings) + prompt_stdin(settings) + network_off(settings), 0);
  EXPECT_NE(timeout(settings), 5);
  EXPECT_EQ(use_urls(settings) + version_check(settings), 0);
  EXPECT_EQ(threads(settings), 3);
  EXPECT_EQ(memory_kib(settings), 1024);
}

TEST_F(ConfigTest, ResultsAndTextUntouched) {
  EXPECT_EQ(apply("# comment here"), 0);
  EXPECT_EQ(apply("colour"), 0);
  EXPECT_EQ(apply(""), 0);
  EXPECT_EQ(apply("   \t "), 0);
  EXPECT_EQ(apply("unknown_keyword value"), 1);
  EXPECT_EQ(apply(" #not_comment value"), 1);
  EXPECT_EQ(apply("colour on"), 1);
  char text[] = "colour\toff\n";
  apply_config_line(text, settings);
  EXPECT_STREQ(text, "colour\toff\n");
}

TEST_F(ConfigTest, ModuleDirectivesInitialiseRegistry) {
  apply("all_modules off");
  EXPECT_EQ(unload_modules(), -1);
  apply("all_modules on");
  EXPECT_EQ(module_registry_init(), -1);
  module_registry_reset();
  apply("use_module none-such");
  EXPECT_EQ(module_registry_init(), -1);
}

TEST_F(ConfigTest, ModuleDirAppends) {
  apply("module_dir /opt/a");
  apply("module_dir /opt/a");
  EXPECT_EQ(path_tail(), ":/opt/a:/opt/a");
}

// Length of the module path before the append, and what the append adds.
class ModuleDirLimitTest : public ConfigTest,
                           public ::testing::WithParamInterface<std::pair<size_t, std::string>> {};

TEST_P(ModuleDirLimitTest, CutsAtBufferEnd) {
  const size_t initial = std::strlen(module_path());
  const size_t before = GetParam().first;
  module_path_append(std::string(before - initial - 1, 'd').c_str());
  ASSERT_EQ(std::strlen(module_path()), before);
  apply("module_dir /opt/abcdef");
  std::string path = module_path();
  EXPECT_EQ(path.substr(before), GetParam().second);
  EXPECT_LE(path.size(), 2047u);
}

INSTANTIATE_TEST_SUITE_P(Limits, ModuleDirLimitTest,
                         ::testing::Values(std::pair<size_t, std::string>{2047, ""},
                                           std::pair<size_t, std::string>{2046, ":"},
                                           std::pair<size_t, std::string>{2040, ":/opt/a"},
                                           std::pair<size_t, std::string>{2030,
                                                                          ":/opt/abcdef"}));

class ConfigFileTest : public ConfigTest {
 protected:
  void read(const std::string& contents) {
    ASSERT_TRUE(test::write_file(dir.file("mirt.conf"), contents));
    read_config_file(dir.file("mirt.conf").c_str(), settings);
  }
  test::TempDir dir;
};

TEST_F(ConfigFileTest, EveryLineAppliedOnce) {
  read("module_dir /a\n\n# module_dir /no\nmodule_dir /b");
  EXPECT_EQ(path_tail(), ":/a:/b");
  module_path_reset();
  read("module_dir /a\nmodule_dir /b\n");
  EXPECT_EQ(path_tail(), ":/a:/b");
  module_path_reset();
  read("");
  EXPECT_EQ(path_tail(), "");
}

TEST_F(ConfigFileTest, LaterLinesWin) {
  read("colour on\r\nblocksize 4096\ncolour off\n");
  EXPECT_EQ(status_param_get(kStatusColour), 0);
  EXPECT_EQ(block_size, 4096u);
}

TEST_F(ConfigFileTest, LongLineAppliedInPieces) {
  // 600 characters: the first 510 and the last 90 are two directives.
  std::string first = "module_dir " + std::string(499, 'a');
  std::string second = "module_dir " + std::string(79, 'b');
  ASSERT_EQ(first.size() + second.size(), 600u);
  read(first + second + "\n");
  EXPECT_EQ(path_tail(), ":" + std::string(499, 'a') + ":" + std::string(79, 'b'));
}

TEST_F(ConfigFileTest, MissingFileIgnored) {
  read_config_file(dir.file("absent.conf").c_str(), settings);
  read_config_file(dir.path().c_str(), settings);
  EXPECT_EQ(block_size, 77u);
  EXPECT_EQ(path_tail(), "");
}

}  // namespace
}  // namespace mirt
