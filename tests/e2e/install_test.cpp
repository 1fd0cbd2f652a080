// An installation into a temporary prefix, used the way a new user would:
// the installed program, plugins, presets and system configuration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

struct Plugin {
  int slot;
  const char* name;
};
const Plugin kPlugins[] = {
    {4, "Zlib Compression"},         {9, "Bzip2 Compression"},
    {16, "Zstandard Compression"},   {17, "LZMA2 Compression"},
    {18, "Brotli Compression"},      {19, "LZ4 HC Compression"},
    {20, "x86 + LZMA2 Compression"}, {21, "Delta + LZMA2 Compression"},
    {22, "BWT Compression"},         {23, "Context Mixing"},
    {24, "Zstandard Fast Compression"},
};

// What -l shows with every plugin loaded and only `tried` tried (all when
// empty); `only`: -I emptied every other slot.
std::string listing(const std::vector<int>& tried, int only = -1) {
  std::string text = "mirt: Num | Name\nmirt:   0 | Uncompressed\n";
  for (const Plugin& p : kPlugins) {
    if (only >= 0 && p.slot != only) continue;
    const bool mark = !tried.empty() && std::find(tried.begin(), tried.end(), p.slot) == tried.end();
    text += "mirt: " + std::string(p.slot < 10 ? "  " : " ") + std::to_string(p.slot) + " | " +
            p.name + (mark ? " (decompression only)" : "") + "\n";
  }
  return text;
}

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

  // The installed program, as a user runs it: it finds the configuration
  // and presets of its own prefix.
  RunResult mirt(std::vector<std::string> args) {
    RunOptions o;
    o.args = std::move(args);
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
  const RunResult r = mirt({"-l"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const Plugin& p : kPlugins) EXPECT_NE(r.err.find(p.name), std::string::npos) << p.name;
}

// The build had the tests on and the prefix was chosen at installation:
// the program still reads that prefix's configuration and presets, not
// the ones of the build or of another installation on the machine.
TEST_F(Installed, ReadsTheConfigurationAndPresetsOfItsPrefix) {
  const std::string conf = prefix_ + "/etc/mirt.conf";
  const std::string before = read_file(conf);
  ASSERT_TRUE(write_file(conf, before + "try_algorithms 19\n"));
  ASSERT_TRUE(write_file(prefix_ + "/share/mirt/probe.conf", "try_algorithms 9\n"));
  RunResult r = mirt({"-l"});
  EXPECT_NE(r.err.find("mirt:  19 | LZ4 HC Compression\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("mirt:   9 | Bzip2 Compression (decompression only)\n"), std::string::npos);
  r = mirt({"-m", "probe", "-l"});
  EXPECT_NE(r.err.find("mirt:   9 | Bzip2 Compression\n"), std::string::npos) << r.err;
  ASSERT_TRUE(write_file(conf, before));
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
  for (const Plugin& p : kPlugins) named = named || r.out.find(p.name) != std::string::npos;
  EXPECT_TRUE(named) << r.out;

  std::filesystem::remove(work_.file("notes.txt"));
  r = mirt({"-d", "notes.txt.mrt"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(read_file(work_.file("notes.txt")) == data);
}

// Each configuration tries its own slots and keeps the others for
// decoding: whichever wrote a file, every one reads it back.
struct Writer {
  const char* name;
  std::vector<std::string> args;  // PRESET_PATH: the max preset copied elsewhere
  std::string listing;            // what -l shows
  int used;                       // a slot the written blocks must show
};

class InstalledWriter : public Installed, public testing::WithParamInterface<Writer> {};

TEST_P(InstalledWriter, EveryConfigurationReadsWhatItWrote) {
  const Writer& w = GetParam();
  std::vector<std::string> args = w.args;
  for (std::string& arg : args)
    if (arg == "PRESET_PATH") {
      arg = work_.file("my-max.conf");
      ASSERT_TRUE(write_file(arg, read_file(prefix_ + "/share/mirt/max.conf")));
    }
  std::vector<std::string> list = args;
  list.push_back("-l");
  EXPECT_EQ(mirt(list).err, w.listing);

  const std::string data = read_file(std::string(MIRT_SOURCE_DIR) + "/tests/golden/stored/mixed");
  ASSERT_TRUE(write_file(work_.file("mixed"), data));
  args.insert(args.end(), {"-o", "mixed.mrt", "mixed"});
  RunResult r = mirt(args);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = mirt({"-s", "-v", "mixed.mrt"});
  char used[16];
  std::snprintf(used, sizeof used, "| %03d  |", w.used);
  EXPECT_NE(r.out.find(used), std::string::npos) << r.out;
  for (const std::vector<std::string>& reader :
       {std::vector<std::string>{}, {"-m", "fast"}, {"-m", "max"}}) {
    std::vector<std::string> read = reader;
    read.insert(read.end(), {"-d", "-c", "mixed.mrt"});
    r = mirt(read);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(r.out == data) << w.name << " read with " << testing::PrintToString(reader);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Presets, InstalledWriter,
    testing::Values(Writer{"default", {}, listing({17, 18, 20, 21, 22}), 20},
                    Writer{"fast", {"-m", "fast"}, listing({24}), 24},
                    Writer{"max", {"-m", "max"}, listing({17, 18, 20, 21, 22, 23}), 23},
                    Writer{"max_by_path", {"-m", "PRESET_PATH"}, listing({17, 18, 20, 21, 22, 23}),
                           23},
                    // -I tries its slot whatever the configuration lists.
                    Writer{"only_zlib", {"-I", "4"}, listing({}, 4), 4}),
    [](const auto& info) { return std::string(info.param.name); });

// A sanitized library needs its runtime loaded first, which a plain
// program built against it does not do.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

TEST_F(Installed, LibraryServesAProgramBuiltWithPkgConfig) {
  // Nothing but the interface leaves the library.
  RunOptions symbols;
  symbols.args = {"-c", "nm -D --defined-only '" + prefix_ +
                            "/lib/libmirt.so.0' | grep -v -e ' mirt_' -e ' MIRT_0$'"};
  EXPECT_EQ(test::run_process("/bin/sh", symbols).out, "");
  if (kSanitized) GTEST_SKIP() << "a sanitized library cannot serve a plain program";
  RunOptions build;
  build.args = {"-c", "cc -Wall -Werror -o program '" MIRT_SOURCE_DIR
                      "/tests/e2e/data/libmirt_program.c' $(pkg-config --cflags --libs mirt)"};
  build.env = {{"PKG_CONFIG_PATH", prefix_ + "/lib/pkgconfig"}};
  build.cwd = work_.path();
  RunResult r = test::run_process("/bin/sh", build);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  // Without a configuration named, the library reads its own prefix's: one
  // that tries nothing but bzip2, which no other configuration tries.
  const std::string conf = prefix_ + "/etc/mirt.conf";
  const std::string installed = read_file(conf);
  ASSERT_TRUE(write_file(conf, installed + "try_algorithms 9\n"));
  RunOptions run;
  run.args = {conf};
  run.env = {{"LD_LIBRARY_PATH", prefix_ + "/lib"}};
  r = test::run_process(work_.file("program"), run);
  ASSERT_TRUE(write_file(conf, installed));
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "damaged: corrupt data\ninstalled: algorithm 9\nok\n");
  EXPECT_EQ(r.err, "");  // the library never prints
}

// A configuration the administrator changed is kept; one exactly as an
// earlier version installed it (which kept the presets' algorithms from
// decoding) is brought up to date.
TEST_F(Installed, ReplacesOnlyAnUnchangedEarlierConfiguration) {
  const std::string conf = prefix_ + "/etc/mirt.conf";
  const std::string before = read_file(conf);
  std::string earlier = read_file(std::string(MIRT_SOURCE_DIR) + "/plugins/earlier-conf/mirt-5.conf.in");
  const std::string marker = "@MIRT_INSTALLED_PLUGIN_DIR@";
  earlier.replace(earlier.find(marker), marker.size(), prefix_ + "/lib/mirt");
  for (const std::string& existing : {earlier + "try_algorithms 19\n", earlier}) {
    ASSERT_TRUE(write_file(conf, existing));
    const RunResult again = install();
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(read_file(conf), existing == earlier ? before : existing);
  }
  ASSERT_TRUE(write_file(conf, before));
}

}  // namespace
}  // namespace mirt
