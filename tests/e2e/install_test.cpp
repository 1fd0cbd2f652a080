// An installation into a temporary prefix, used the way a new user would:
// the installed program, plugins, presets and system configuration.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

using test::file_exists;
using test::read_file;
using test::RunOptions;
using test::RunResult;
using test::write_file;

const char* const kPlugins[] = {
    "Zlib Compression",        "Bzip2 Compression", "Zstandard Compression",
    "LZMA2 Compression",       "Brotli Compression", "LZ4 HC Compression",
    "x86 + LZMA2 Compression", "Delta + LZMA2 Compression", "BWT Compression",
    "Context Mixing",          "Zstandard Fast Compression",
};

std::string build_dir() {
  const std::string bin = MIRT_BINARY;
  return bin.substr(0, bin.rfind('/'));
}

class Installed : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!file_exists(build_dir() + "/plugins/lzma2.so")) return;
    dir_ = new test::TempDir;
    prefix_ = dir_->file("prefix");
    install_ = install();
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (dir_ == nullptr) GTEST_SKIP() << "plugins not built";
    ASSERT_EQ(install_.exit_code, 0) << install_.out << install_.err;
    std::filesystem::create_directories(home_.path());
  }

  static RunResult install() {
    RunOptions o;
    o.args = {"-c", "cmake --install '" + build_dir() + "' --prefix '" + prefix_ + "'"};
    o.timeout_ms = 120000;
    return test::run_process("/bin/sh", o);
  }

  // The installed program with the installed configuration. The program
  // reads the system file its build was configured with, which is not
  // this prefix's, so the test names it explicitly.
  RunResult mirt(std::vector<std::string> args) {
    RunOptions o;
    o.args = {"-m", prefix_ + "/etc/mirt.conf"};
    o.args.insert(o.args.end(), args.begin(), args.end());
    o.home = home_.path();
    o.cwd = work_.path();
    return test::run_process(prefix_ + "/bin/mirt", o);
  }

  static test::TempDir* dir_;
  static std::string prefix_;
  static RunResult install_;
  test::TempDir home_;
  test::TempDir work_;
};

test::TempDir* Installed::dir_ = nullptr;
std::string Installed::prefix_;
RunResult Installed::install_;

TEST_F(Installed, PutsEveryPartInPlace) {
  for (const char* part : {"bin/mirt", "share/man/man1/mirt.1", "share/mirt/fast.conf",
                           "share/mirt/max.conf", "etc/mirt.conf", "lib/mirt/zlib.so",
                           "lib/mirt/bzip2.so", "lib/mirt/zstd.so", "lib/mirt/lzma2.so",
                           "lib/mirt/brotli.so", "lib/mirt/lz4hc.so", "lib/mirt/x86_lzma2.so",
                           "lib/mirt/delta_lzma2.so", "lib/mirt/bwt.so", "lib/mirt/cm.so",
                           "lib/mirt/zstd_fast.so"})
    EXPECT_TRUE(file_exists(prefix_ + "/" + part)) << part;
  const std::string conf = read_file(prefix_ + "/etc/mirt.conf");
  EXPECT_NE(conf.find("\nmodule_dir " + prefix_ + "/lib/mirt\n"), std::string::npos) << conf;
  EXPECT_NE(conf.find("\nall_modules on\n"), std::string::npos) << conf;
}

TEST_F(Installed, ListsEveryBundledPlugin) {
  // The default leaves two out; loading every module again lists all.
  const RunResult r = mirt({"-M", "all_modules on", "-l"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* name : kPlugins) EXPECT_NE(r.err.find(name), std::string::npos) << name;
}

TEST_F(Installed, CompressesAndExpandsThroughThePlugins) {
  const std::string data = test::make_data(300000, 1);
  ASSERT_TRUE(write_file(work_.file("notes.txt"), data));
  RunResult r = mirt({"notes.txt"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_LT(read_file(work_.file("notes.txt.mrt")).size(), data.size() / 2);

  r = mirt({"-s", "-v", "notes.txt.mrt"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  bool named = false;
  for (const char* name : kPlugins) named = named || r.out.find(name) != std::string::npos;
  EXPECT_TRUE(named) << r.out;

  std::filesystem::remove(work_.file("notes.txt"));
  r = mirt({"-d", "notes.txt.mrt"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(read_file(work_.file("notes.txt")) == data);
}

TEST_F(Installed, PresetsChooseTheirPlugins) {
  // By name, as installed: fast keeps the fast Zstandard level alone, max
  // brings context mixing back, the default has neither.
  RunResult r = mirt({"-m", "fast", "-l"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "mirt: Num | Name\nmirt:   0 | Uncompressed\n"
                   "mirt:  24 | Zstandard Fast Compression\n");
  r = mirt({"-m", "max", "-l"});
  EXPECT_NE(r.err.find(" 23 | Context Mixing"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Zstandard"), std::string::npos) << r.err;
  r = mirt({"-l"});
  EXPECT_EQ(r.err.find("Context Mixing"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Zstandard Fast"), std::string::npos) << r.err;
}

TEST_F(Installed, NeverReplacesAnExistingConfiguration) {
  const std::string conf = prefix_ + "/etc/mirt.conf";
  const std::string before = read_file(conf);
  const std::string edited = before + "exclude_algorithm 19\n";
  ASSERT_TRUE(write_file(conf, edited));
  const RunResult again = install();
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(read_file(conf), edited);
  ASSERT_TRUE(write_file(conf, before));
}

}  // namespace
}  // namespace mirt
