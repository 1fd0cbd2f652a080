// Files people keep: every stored form a bundled plugin or preset ever
// wrote (tests/golden/stored, made by make.sh there) decodes to its input
// with the plugins of this build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/cli_fixture.h"
#include "support/files.h"

namespace mirt {
namespace {

const std::string kStored = std::string(MIRT_SOURCE_DIR) + "/tests/golden/stored/";

std::string plugin_dir() {
  const std::string bin = MIRT_BINARY;
  return bin.substr(0, bin.rfind('/')) + "/plugins";
}

// slot22-bwt-text.mrt and preset-max-mixed.mrt decode to the file "text"
// and "mixed": the last word of the name.
std::string input_of(const std::string& container) {
  const std::string stem = container.substr(0, container.size() - 4);
  return stem.substr(stem.rfind('-') + 1);
}

std::vector<std::string> containers() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(kStored))
    if (entry.path().extension() == ".mrt") names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

using GoldenStoredTest = test::CliTest;

TEST_F(GoldenStoredTest, EveryStoredFormDecodesToItsInput) {
  if (!test::file_exists(plugin_dir() + "/lzma2.so")) GTEST_SKIP() << "plugins not built";
  const std::vector<std::string> names = containers();
  ASSERT_GE(names.size(), 19u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string expected = test::read_file(kStored + input_of(name));
    ASSERT_FALSE(expected.empty());
    for (const char* threads : {"threads 1", "threads 2"}) {
      const test::RunResult r = run({"-M", "module_dir " + plugin_dir(), "-M", "all_modules on",
                                     "-M", threads, "-d", "-c", kStored + name});
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_TRUE(r.out == expected) << threads << ": " << r.out.size() << " bytes";
    }
  }
}

}  // namespace
}  // namespace mirt
