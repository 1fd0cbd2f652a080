// The block pipeline as a user meets it: every thread count gives the same
// output, the same messages and the same exit status, and modules that do
// not declare themselves thread-safe are never entered twice at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/cli_fixture.h"
#include "support/files.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

using test::read_file;
using test::RunOptions;
using test::RunResult;
using test::write_file;

constexpr int kThreadCounts[] = {1, 2, 3, 8};

std::string test_module(const std::string& name) {
  return std::string(MIRT_TEST_MODULE_DIR) + "/" + name + ".so";
}

std::string plugin(const std::string& name) {
  const std::string bin = MIRT_BINARY;
  return bin.substr(0, bin.rfind('/')) + "/plugins/" + name + ".so";
}

// Blocks of `block` bytes: runs, text, random bytes and zero fill in turn,
// so that different algorithms win different blocks.
// The time a summary line of "progress detailed" ends with.
std::string without_times(const std::string& err) {
  static const std::regex time(" in [0-9.:]+( s)?\n");
  return std::regex_replace(err, time, " in T\n");
}

std::string mixed_data(size_t blocks, size_t block) {
  std::string data;
  for (size_t i = 0; i < blocks; ++i) {
    const int kind = static_cast<int>(i % 3);
    data += test::make_data(block, kind == 0 ? 2 : kind == 1 ? 1 : 0, static_cast<unsigned>(i));
    if (i % 4 == 3) data.replace(data.size() - block / 2, block / 2, block / 2, '\0');
  }
  return data + "tail";
}

struct Outcome {
  RunResult result;
  std::string output;  // the output file, when one is named
  bool operator==(const Outcome& o) const {
    return result.exit_code == o.result.exit_code && result.out == o.result.out &&
           result.err == o.result.err && output == o.output;
  }
};

class ThreadsTest : public test::CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    // Algorithms that win different kinds of block, thread-safe or not.
    modules = {"-M", "module " + test_module("test_rle"), "-M",
               "module " + test_module("test_picky"), "-M",
               "module " + test_module("test_picky_reentrant"), "-M",
               "module " + test_module("test_twin_a"), "-M",
               "module " + test_module("test_cipher")};
    for (const char* name : {"zlib", "bzip2", "zstd", "lz4hc"})
      if (std::filesystem::exists(plugin(name)))
        modules.insert(modules.end(), {"-M", "module " + plugin(name)});
  }

  // Runs with `threads` set; `output` names a file the run writes (removed
  // first), `env` adds variables, `stdin_file` feeds a file through a pipe.
  Outcome run(int threads, std::vector<std::string> args, const std::string& output = "",
              const std::string& stdin_file = "",
              std::vector<std::pair<std::string, std::string>> env = {}) {
    if (!output.empty()) std::filesystem::remove(dir.file(output));
    RunOptions options;
    options.args = modules;
    options.args.insert(options.args.end(), {"-M", "threads " + std::to_string(threads)});
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.home = home;
    options.cwd = dir.path();
    options.env = std::move(env);
    if (!stdin_file.empty()) options.stdin_data = read_file(dir.file(stdin_file));
    Outcome outcome{test::run_mirt(options), ""};
    EXPECT_FALSE(outcome.result.timed_out);
    outcome.result.err = without_times(outcome.result.err);
    if (!output.empty()) outcome.output = read_file(dir.file(output));
    return outcome;
  }

  // The same run with every thread count; returns the one-thread outcome.
  Outcome same_for_every_count(const std::vector<std::string>& args,
                               const std::string& output = "",
                               const std::string& stdin_file = "",
                               std::vector<std::pair<std::string, std::string>> env = {}) {
    const Outcome serial = run(1, args, output, stdin_file, env);
    for (int threads : kThreadCounts) {
      if (threads == 1) continue;
      const Outcome parallel = run(threads, args, output, stdin_file, env);
      EXPECT_EQ(parallel.result.exit_code, serial.result.exit_code) << threads;
      EXPECT_EQ(parallel.result.err, serial.result.err) << threads;
      EXPECT_TRUE(parallel.result.out == serial.result.out) << threads << " threads";
      EXPECT_TRUE(parallel.output == serial.output) << threads << " threads";
    }
    return serial;
  }

  std::vector<std::string> modules;
};

struct Scenario {
  const char* label;
  std::vector<std::string> compress;  // options before the input
  bool from_pipe;
};

class ThreadsScenarioTest : public ThreadsTest,
                            public ::testing::WithParamInterface<Scenario> {};

// Compression, then decompression of what it wrote, from a file and from a
// pipe, each identical for every thread count (the verbose tables, the
// candidate lines and the status line included).
TEST_P(ThreadsScenarioTest, OutputAndMessagesDoNotDependOnThreads) {
  const Scenario& s = GetParam();
  const std::string data = mixed_data(24, 3000);
  ASSERT_TRUE(write_file(dir.file("in"), data));

  std::vector<std::string> args = s.compress;
  args.insert(args.end(), {"-v", "-v", "-v", "-c"});
  args.push_back(s.from_pipe ? "-" : "in");
  const Outcome packed = same_for_every_count(args, "", s.from_pipe ? "in" : "");
  ASSERT_EQ(packed.result.exit_code, 0) << packed.result.err;
  ASSERT_TRUE(write_file(dir.file("in.mrt"), packed.result.out));

  std::vector<std::string> back{"-v", "-v", "-d", "-c"};
  for (size_t i = 0; i < s.compress.size(); ++i) {
    const std::string& option = s.compress[i];
    if (option == "-E" || option == "stream" || option == "-n") back.push_back(option);
    // A memory limit holds fewer blocks in flight, never other results.
    if (option == "-M") back.insert(back.end(), {option, s.compress[i + 1]});
  }
  back.push_back("in.mrt");
  const Outcome file = same_for_every_count(back);
  EXPECT_EQ(file.result.exit_code, 0) << file.result.err;
  EXPECT_TRUE(file.result.out == data);

  back.back() = "-";
  const Outcome piped = same_for_every_count(back, "", "in.mrt");
  EXPECT_EQ(piped.result.exit_code, 0) << piped.result.err;
  EXPECT_EQ(piped.result.out.substr(0, data.size()), data);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ThreadsScenarioTest,
    ::testing::Values(Scenario{"small_blocks", {"-b", "3000"}, false},
                      Scenario{"odd_blocks_from_pipe", {"-b", "4097"}, true},
                      Scenario{"one_block", {}, false},
                      Scenario{"no_checksums", {"-n", "-b", "2000"}, false},
                      Scenario{"cipher", {"-E", "stream", "-b", "5000"}, false},
                      Scenario{"memory_limit", {"-M", "memory_limit 4200K", "-b", "3000"}, false}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.label); });

// "progress detailed" with -v: standard error (no terminal here) gets one
// plain summary line per file, alike for every thread count; the data
// stream gets nothing of it.
TEST_F(ThreadsTest, DetailedProgressSummarisesEveryFileAlike) {
  const std::string a = mixed_data(24, 3000);
  ASSERT_TRUE(write_file(dir.file("a"), a));
  ASSERT_TRUE(write_file(dir.file("b"), "tiny"));
  const std::vector<std::string> shown{"-M", "progress detailed", "-v", "-f", "-b", "3000"};
  std::vector<std::string> args = shown;
  args.insert(args.end(), {"a", "b"});
  const Outcome files = same_for_every_count(args);
  ASSERT_EQ(files.result.exit_code, 0) << files.result.err;
  const auto b_size = std::filesystem::file_size(dir.file("b.mrt"));
  const std::string b_line = "b: 4 B -> " + std::to_string(b_size) + " B (0.07:1) in T\n";
  const std::regex a_line("a: 70\\.3 KiB -> [0-9.]+ KiB \\([0-9]+\\.[0-9][0-9]:1\\) in T\n");
  const std::string err = files.result.err;
  ASSERT_TRUE(std::regex_match(err.substr(0, err.find('\n') + 1), a_line)) << err;
  EXPECT_EQ(err.substr(err.find('\n') + 1), b_line);

  args.insert(args.end() - 2, "-c");
  const Outcome streamed = same_for_every_count(args);
  // A pipe gets a trailer where a file is patched: only the sizes differ.
  const std::regex sizes("-> .* in T");
  EXPECT_EQ(std::regex_replace(streamed.result.err, sizes, ""), std::regex_replace(err, sizes, ""));
  ASSERT_TRUE(write_file(dir.file("ab.mrt"), streamed.result.out));
  EXPECT_EQ(run(1, {"-d", "-c", "ab.mrt"}).result.out, a + "tiny");

  args = shown;
  args.insert(args.end(), {"-d", "-c", "a.mrt", "b.mrt"});
  const Outcome back = same_for_every_count(args);
  EXPECT_EQ(back.result.out, a + "tiny");
  EXPECT_NE(back.result.err.find(" -> 70.3 KiB ("), std::string::npos) << back.result.err;
  EXPECT_NE(back.result.err.find("\nb.mrt: " + std::to_string(b_size) + " B -> 4 B (0.07:1) in T\n"),
            std::string::npos)
      << back.result.err;
  EXPECT_EQ(back.result.err.find('\r'), std::string::npos);
}

TEST_F(ThreadsTest, OutputFileAndGoldenContainersAreTheSame) {
  ASSERT_TRUE(write_file(dir.file("in"), mixed_data(10, 2500)));
  const Outcome packed = same_for_every_count({"-f", "-b", "2500", "-v", "-v", "in"}, "in.mrt");
  EXPECT_EQ(packed.result.exit_code, 0) << packed.result.err;
  EXPECT_FALSE(packed.output.empty());

  const std::string golden = std::string(MIRT_SOURCE_DIR) + "/tests/golden/";
  for (const auto& entry : std::filesystem::directory_iterator(golden)) {
    SCOPED_TRACE(entry.path().filename().string());
    same_for_every_count({"-d", "-c", entry.path().string()});
    same_for_every_count({"-s", "-v", entry.path().string()});
  }
}

// 0xEE at the start of block 5 makes the only algorithm decline it: the
// run fails there, with the same words, for every thread count.
TEST_F(ThreadsTest, CompressionFailingInTheMiddleFailsAlike) {
  std::string data = test::make_data(30000, 2);
  data[5 * 2000] = static_cast<char>(0xEE);
  ASSERT_TRUE(write_file(dir.file("in"), data));
  const Outcome failed = same_for_every_count(
      {"-e", "0", "-I", "50", "-v", "-v", "-b", "2000", "in"}, "in.mrt");
  EXPECT_EQ(failed.result.exit_code, 255);
  EXPECT_NE(failed.result.err.find("mirt: Compression resulted in 0-byte block.\n"),
            std::string::npos)
      << failed.result.err;
  EXPECT_FALSE(test::file_exists(dir.file("in.mrt")));
}

// A block that cannot be expanded (0xDD first, with the module told to
// fail) stops decompression with the same words for every thread count.
TEST_F(ThreadsTest, DecompressionFailingInTheMiddleFailsAlike) {
  std::string data = test::make_data(30000, 2);
  data[7 * 2000] = static_cast<char>(0xDD);
  ASSERT_TRUE(write_file(dir.file("in"), data));
  ASSERT_EQ(run(1, {"-I", "50", "-b", "2000", "in"}).result.exit_code, 0);
  const Outcome failed =
      same_for_every_count({"-d", "-o", "back", "in.mrt"}, "back", "", {{"MIRT_PICKY_FAIL", "1"}});
  EXPECT_EQ(failed.result.exit_code, 255);
  EXPECT_EQ(failed.result.err, "mirt: in.mrt: corrupt file (block 7 fails its check).\n");
  EXPECT_FALSE(test::file_exists(dir.file("back")));
}

// One block large enough that block sorting splits its work into
// sub-tasks on the run's threads, in both directions.
TEST_F(ThreadsTest, OneLargeBlockSplitAcrossThreadsGivesTheSameBytes) {
  if (!std::filesystem::exists(plugin("bwt"))) GTEST_SKIP() << "no block-sorting plugin";
  const std::string data = test::make_data(1200000, 1);
  ASSERT_TRUE(write_file(dir.file("in"), data));
  const std::vector<std::string> bwt{"-M", "module " + plugin("bwt"), "-I", "22"};
  std::vector<std::string> args = bwt;
  args.insert(args.end(), {"-v", "-v", "-b", "2000000", "-c", "in"});
  const Outcome packed = same_for_every_count(args);
  ASSERT_EQ(packed.result.exit_code, 0) << packed.result.err;
  ASSERT_NE(packed.result.err.find("| 022  |"), std::string::npos) << packed.result.err;
  ASSERT_TRUE(write_file(dir.file("in.mrt"), packed.result.out));
  args = bwt;
  args.insert(args.end(), {"-d", "-c", "in.mrt"});
  EXPECT_EQ(same_for_every_count(args).result.out, data);
}

// The picky module aborts the process when two calls overlap; with many
// blocks and eight threads it would, were the calls not serialised.
TEST_F(ThreadsTest, ModulesWithoutTheDeclarationAreNeverEnteredTwice) {
  ASSERT_TRUE(write_file(dir.file("in"), test::make_data(200000, 2)));
  const Outcome packed = run(8, {"-I", "50", "-b", "4000", "-c", "in"});
  ASSERT_EQ(packed.result.exit_code, 0) << packed.result.err;
  ASSERT_EQ(packed.result.term_signal, 0);
  ASSERT_TRUE(write_file(dir.file("in.mrt"), packed.result.out));
  const Outcome back = run(8, {"-d", "-c", "in.mrt"});
  EXPECT_EQ(back.result.exit_code, 0) << back.result.err;
  EXPECT_EQ(back.result.out, read_file(dir.file("in")));
}

}  // namespace
}  // namespace mirt
