// The command line as a user meets it: the built binary, a fresh HOME and
// explicit standard streams.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "build_config.h"
#include "codec/tables.h"
#include "location/template.h"
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

std::string usage_text() {
  return std::string("MIRT 0.8.42-rel ") + MIRT_MAKER + "\n" + "usage: " + MIRT_BINARY +
         " [options...] [file ...]\n"
         "Options:\n"
         "  -d          Decompress instead of compressing.\n"
         "  -s          Give statistics rather than compress or decompress.\n"
         "  -f          Force unsafe things to happen.\n"
         "  -c          (De)compress to stdout.\n"
         "  -v          Increase verbosity.\n"
         "  -l          List available algorithms.\n"
         "  -n          Toggle use of CRCs.\n"
         "  -i          Use stdin to read information from instead of /dev/tty.\n"
         "  -C          Complain when compression errors occur.\n"
         "  -H          Write only header (no data).\n"
         "  -O          Toggle writing original file name.\n"
         "  -S          Use speed-size as a metric rather than size.\n"
         "  -h          Give this help.\n"
         "  -V          Display MIRT version (0.8.42-rel).\n"
         "  -N          Upgrade MIRT.\n"
         "  -a          Upgrade MIRT modules.\n"
         "  -x          Create self-extracting MIRT file.\n"
         "  -b NN       Use a block size of NN bytes for compression.\n"
         "  -e NN       Exclude algorithm NN from being used.\n"
         "  -m CONF     Load config file CONF.\n"
         "  -o FILE     Send output to FILE.\n"
         "  -u URL      Specify download location as URL.\n"
         "  -p URL      Parse URL and print results, then exit.\n"
         "  -M COMMAND  Execute COMMAND as if it had appeared in a config file.\n"
         "  -D DESC     Specify a description of DESC.\n"
         "  -I NN       Use ONLY 2 algorithms, NN and 0.\n"
         "  -U FILE     Use FILE to select download location.\n"
         "  -E CIPHER   Use CIPHER to encrypt data (LIST  lists available ciphers.)\n"
         "  file...     File(s) to (de)compress.  (If none given, use standard input).\n";
}

// The listing the program prints for its built-in table, optionally with
// only the slots kept by `keep`.
std::string algorithm_listing(bool (*keep)(int) = nullptr) {
  tables_reset();
  std::string text = "mirt: Num | Name\n";
  for (int slot = 0; slot < 255; ++slot) {
    if (!algorithm_available(slot) || (keep != nullptr && !keep(slot))) continue;
    char line[300];
    std::snprintf(line, sizeof line, "mirt: %3i | %s\n", slot, algorithm_name(slot));
    text += line;
  }
  return text;
}

std::string error_text(int err) { return std::strerror(err); }

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home = dir.file("home");
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  }
  RunResult run(std::vector<std::string> args, RunOptions options = {}) {
    options.args = std::move(args);
    if (options.home.empty()) options.home = home;
    if (options.cwd.empty()) options.cwd = dir.path();
    RunResult result = test::run_mirt(options);
    EXPECT_FALSE(result.timed_out);
    return result;
  }
  RunResult run_stdin(std::vector<std::string> args, const std::string& input) {
    RunOptions options;
    options.stdin_data = input;
    return run(std::move(args), options);
  }
  std::string file(const std::string& name) const { return dir.file(name); }
  // Decompresses a container to standard output.
  std::string expand(const std::string& container_path) {
    RunResult r = run({"-d", "-c", container_path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
  }

  test::TempDir dir;
  std::string home;
};

TEST_F(CliTest, HelpAndVersion) {
  RunResult r = run({"-h", "-V"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, usage_text());
  EXPECT_EQ(r.err, "");

  r = run({"-V", "-h"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  std::regex line(std::string("MIRT 0\\.8\\.42-rel  built on [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} "
                              "at [0-9]{2}:[0-9]{2}:[0-9]{2} ") +
                  MIRT_MAKER + "\n");
  EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;
}

// -h and -V exist to print their text: one that cannot be written fails.
TEST_F(CliTest, HelpAndVersionToAFullDeviceFail) {
  for (const char* option : {"-h", "-V"}) {
    RunOptions options;
    options.stdout_file = "/dev/full";
    RunResult r = run({option}, options);
    EXPECT_EQ(r.exit_code, 255) << option;
    EXPECT_EQ(r.err, "mirt: write: " + std::string(std::strerror(ENOSPC)) + "\n") << option;
  }
}

TEST_F(CliTest, BadOptionsPrintDiagnosticAndUsage) {
  for (const char* bad : {"-z", "-b", "-W"}) {
    RunResult r = run({"-v", bad});
    EXPECT_EQ(r.exit_code, 0) << bad;
    EXPECT_EQ(r.out, usage_text()) << bad;
    EXPECT_NE(r.err.find(MIRT_BINARY), std::string::npos) << r.err;
  }
}

TEST_F(CliTest, UpgradeOnlyAsFirstArgument) {
  RunResult r = run({"-v", "-N"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: The `-N' option must be the first and only argument passed to mirt.\n");
  // As the first argument it runs the upgrade, which cannot reach the
  // server here; the rest of the line is not looked at.
  ASSERT_TRUE(write_file(file("f"), "data"));
  r = run({"-N", "-v", file("f")});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_FALSE(file_exists(file("f.mrt")));
}

TEST_F(CliTest, CipherListAndUnknownCipher) {
  for (const char* list : {"LIST", "list", "List all"}) {
    RunResult r = run({"-E", list});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err.rfind("mirt: Num | Name\n", 0), 0u) << r.err;
  }
  ASSERT_TRUE(write_file(file("f"), "data"));
  RunResult r = run({"-E", "chaos", file("f")});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.err, "mirt: No such cipher.\n");
  EXPECT_FALSE(file_exists(file("f.mrt")));
}

TEST_F(CliTest, ListingReflectsEarlierOptions) {
  ASSERT_TRUE(write_file(file("f"), "data"));
  RunResult r = run({"-l", file("f")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, algorithm_listing());
  EXPECT_FALSE(file_exists(file("f.mrt")));

  r = run({"-e", "0", "-l"});
  EXPECT_EQ(r.err, algorithm_listing([](int) { return false; }));
  r = run({"-l", "-e", "0"});
  EXPECT_EQ(r.err, algorithm_listing());
  r = run({"-I", "0", "-l"});
  EXPECT_EQ(r.err, algorithm_listing([](int slot) { return slot == 0; }));

  // A later mode option wins over the listing.
  ASSERT_EQ(run({file("f")}).exit_code, 0);
  ASSERT_TRUE(file_exists(file("f.mrt")));
  ASSERT_EQ(unlink(file("f").c_str()), 0);
  r = run({"-l", "-d", file("f.mrt")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(read_file(file("f")), "data");
}

TEST_F(CliTest, PrintLocationAndStop) {
  ASSERT_TRUE(write_file(file("f"), "data"));
  RunResult r = run({"-p", "/some/where/file", file("f")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: /some/where/file\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(file_exists(file("f.mrt")));
}

TEST_F(CliTest, TerminalOutputRefused) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"-d"}, {"-s"}, {"-c", "-o", "x"}}) {
    RunOptions options;
    options.stdout_tty = true;
    options.stdin_data = "input";
    RunResult r = run(args, options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "mirt: Refusing to write compressed output to a terminal.\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(file_exists(file("x")));
}

TEST_F(CliTest, PipesBothWays) {
  const std::string data = test::make_data(100000, 1);
  RunResult packed = run_stdin({}, data);
  ASSERT_EQ(packed.exit_code, 0) << packed.err;
  // No inputs: -o and -c do not matter.
  EXPECT_EQ(run_stdin({"-o", file("ignored")}, data).out, packed.out);
  EXPECT_FALSE(file_exists(file("ignored")));
  // Written to a pipe, the container ends in a trailer that only a
  // seekable input can use.
  ASSERT_TRUE(write_file(file("piped.mrt"), packed.out));
  RunOptions from_file;
  from_file.stdin_file = file("piped.mrt");
  RunResult unpacked = run({"-d"}, from_file);
  ASSERT_EQ(unpacked.exit_code, 0) << unpacked.err;
  EXPECT_EQ(unpacked.out, data);

  ASSERT_TRUE(write_file(file("f"), data));
  ASSERT_EQ(run({file("f")}).exit_code, 0);
  unpacked = run_stdin({"-d"}, read_file(file("f.mrt")));
  ASSERT_EQ(unpacked.exit_code, 0) << unpacked.err;
  EXPECT_EQ(unpacked.out, data);
}

TEST_F(CliTest, StatisticsReadWithoutWriting) {
  ASSERT_TRUE(write_file(file("f"), test::make_data(5000, 1)));
  ASSERT_EQ(run({file("f")}).exit_code, 0);
  RunResult r = run({"-s", file("f.mrt")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out, "");
  RunOptions from_file;
  from_file.stdin_file = file("f.mrt");
  RunResult piped = run({"-s"}, from_file);
  EXPECT_EQ(piped.exit_code, 0) << piped.err;
  EXPECT_NE(piped.out, "");
}

TEST_F(CliTest, EachInputGetsItsOwnName) {
  ASSERT_TRUE(write_file(file("a"), "alpha"));
  ASSERT_TRUE(write_file(file("b"), "beta"));
  RunResult r = run({file("a"), file("b")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(expand(file("a.mrt")), "alpha");
  EXPECT_EQ(expand(file("b.mrt")), "beta");

  // Existing outputs are kept without -f.
  const std::string before = read_file(file("a.mrt"));
  ASSERT_TRUE(write_file(file("a"), "changed"));
  r = run({file("a")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: " + file("a.mrt") + " exists.\n");
  EXPECT_EQ(read_file(file("a.mrt")), before);
  EXPECT_EQ(run({"-f", file("a")}).exit_code, 0);
  EXPECT_EQ(expand(file("a.mrt")), "changed");
}

TEST_F(CliTest, OneOutputNameForSeveralInputs) {
  ASSERT_TRUE(write_file(file("a"), "alpha"));
  ASSERT_TRUE(write_file(file("b"), "beta"));
  RunResult r = run({"-o", file("out"), file("a"), file("b")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: " + file("out") + " exists.\n");
  EXPECT_EQ(expand(file("out")), "alpha");
  EXPECT_FALSE(file_exists(file("b.mrt")));

  r = run({"-f", "-o", file("out"), file("a"), file("b")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(expand(file("out")), "beta");
}

TEST_F(CliTest, StandardOutputForSeveralInputs) {
  ASSERT_TRUE(write_file(file("a"), "alpha"));
  ASSERT_TRUE(write_file(file("b"), "beta"));
  const std::string a = run({"-c", file("a")}).out;
  const std::string b = run({"-c", file("b")}).out;
  ASSERT_NE(a, "");
  RunResult r = run({"-c", file("a"), file("b")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, a + b);
  // An output name "-" sets standard output for the rest of the run.
  r = run({"-o", "-", file("a"), file("b")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, a + b);
  EXPECT_FALSE(file_exists(file("-")));
  EXPECT_FALSE(file_exists(file("a.mrt")));
}

TEST_F(CliTest, DashReadsStandardInput) {
  RunResult r = run_stdin({"-"}, "from a pipe");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(expand(file("-.mrt")), "from a pipe");
}

TEST_F(CliTest, InputsThatCannotBeUsed) {
  ASSERT_EQ(mkdir(file("d").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(file("x.txt"), "plain"));
  ASSERT_TRUE(write_file(file("f"), "data"));
  RunResult r = run({file("d"), file("absent"), file("f")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: " + file("d") + " is a directory.\nmirt: Can't open " + file("absent") +
                       ".\nmirt: open: " + error_text(ENOENT) + "\n");
  EXPECT_TRUE(file_exists(file("f.mrt")));

  // Decompressing a name without a known suffix does nothing, silently.
  r = run({"-d", file("x.txt")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(file("x.txt")), "plain");

  r = run({"-o", file("no/such/dir"), file("f")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: Can't open " + file("no/such/dir") + " for writing.\nmirt: open: " +
                       error_text(ENOENT) + "\n");
}

TEST_F(CliTest, ArgumentsAreNotReordered) {
  ASSERT_TRUE(write_file(file("f"), "data"));
  RunResult r = run({file("f"), "-d"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(expand(file("f.mrt")), "data");
  EXPECT_EQ(r.err, "mirt: Can't open -d.\nmirt: open: " + error_text(ENOENT) + "\n");
}

TEST_F(CliTest, FailureStopsRunAndRemovesOutput) {
  const std::string data = test::make_data(20000, 1);
  ASSERT_TRUE(write_file(file("a"), data));
  ASSERT_TRUE(write_file(file("c"), data));
  ASSERT_EQ(run({file("a"), file("c")}).exit_code, 0);
  const std::string container = read_file(file("a.mrt"));
  ASSERT_GT(container.size(), 1000u);
  ASSERT_TRUE(write_file(file("b.mrt"), container.substr(0, container.size() / 2)));
  ASSERT_EQ(unlink(file("a").c_str()), 0);
  ASSERT_EQ(unlink(file("c").c_str()), 0);

  RunResult r = run({"-d", file("a.mrt"), file("b.mrt"), file("c.mrt")});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(read_file(file("a")), data);
  EXPECT_FALSE(file_exists(file("b")));
  EXPECT_FALSE(file_exists(file("c")));
}

TEST_F(CliTest, SelfExtractSuffix) {
  ASSERT_TRUE(write_file(file("f"), "data"));
  ASSERT_TRUE(write_file(file("f.bin"), "kept"));
  for (std::vector<std::string> args :
       {std::vector<std::string>{"-x", file("f")}, {"-x", "-x", file("f")}}) {
    RunResult r = run(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "mirt: " + file("f.bin") + " exists.\n");
  }
  EXPECT_EQ(read_file(file("f.bin")), "kept");
  EXPECT_FALSE(file_exists(file("f.mrt")));
}

TEST_F(CliTest, OversizedBlockSizeIgnored) {
  ASSERT_TRUE(write_file(file("f"), test::make_data(30000, 1)));
  const std::string chosen = run({"-c", file("f")}).out;
  RunResult r = run({"-c", "-b", "3000000000", file("f")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, chosen);
  EXPECT_NE(run({"-c", "-b", "1024", file("f")}).out, chosen);
}

TEST_F(CliTest, AcceptsSpeedMetricToggle) {
  ASSERT_TRUE(write_file(file("f"), "data"));
  RunResult r = run({"-S", "-T", "-P", file("f")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(expand(file("f.mrt")), "data");
}

TEST_F(CliTest, OverlongHeaderRecordStopsRun) {
  ASSERT_TRUE(write_file(file("f"), "data"));
  for (const char* option : {"-D", "-u", "-U"}) {
    RunResult r = run({option, std::string(65536, 'd'), file("f")});
    EXPECT_EQ(r.exit_code, 255) << option;
    EXPECT_NE(r.err, "");
    EXPECT_FALSE(file_exists(file("f.mrt")));
  }
  RunResult r = run({"-D", std::string(65535, 'd'), file("f")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(expand(file("f.mrt")), "data");
}

TEST_F(CliTest, UserConfigurationFromHome) {
  ASSERT_EQ(mkdir((home + "/.mirt").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(home + "/.mirt/mirt.conf", "exclude_algorithm 0"));
  RunResult r = run({"-l"});
  EXPECT_EQ(r.err, algorithm_listing([](int) { return false; }));
  // -M comes after the files and can undo nothing here, but -m reads more.
  ASSERT_TRUE(write_file(file("more.conf"), "# nothing\n"));
  r = run({"-m", file("more.conf"), "-M", "colour on", "-l"});
  EXPECT_EQ(r.err, algorithm_listing([](int) { return false; }));

  // A HOME so long that the whole path is cut finds no file.
  std::string long_home = dir.file(std::string(250 - dir.path().size() - 1, 'h'));
  ASSERT_EQ(long_home.size(), 250u);
  ASSERT_EQ(mkdir(long_home.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((long_home + "/.mirt").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(long_home + "/.mirt/mirt.conf", "exclude_algorithm 0\n"));
  RunOptions options;
  options.home = long_home;
  r = run({"-l"}, options);
  EXPECT_EQ(r.err, algorithm_listing());
}

TEST_F(CliTest, RunsPerUserCopyWhenConfigured) {
  const std::string user_dir = home + "/.mirt/" + expand_template("@@OSNM@@-@@ARCH@@", "");
  ASSERT_TRUE(std::filesystem::create_directories(user_dir));
  ASSERT_TRUE(write_file(user_dir + "/mirt", "#!/bin/sh\necho \"user copy $0 $*\"\n", 0755));
  RunResult r = run({"-V", "x"});
  EXPECT_EQ(r.out.rfind("MIRT 0.8.42-rel", 0), 0u) << r.out;

  ASSERT_TRUE(write_file(home + "/.mirt/mirt.conf", "user_binary on\n"));
  r = run({"-V", "x"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "user copy " + user_dir + "/mirt -V x\n");

  // Not executable: this program carries on.
  ASSERT_EQ(chmod((user_dir + "/mirt").c_str(), 0644), 0);
  r = run({"-V"});
  EXPECT_EQ(r.out.rfind("MIRT 0.8.42-rel", 0), 0u) << r.out;
}

TEST_F(CliTest, FreshHomeSeesBuiltInTable) {
  // A system-wide configuration is read by every run; with a fresh HOME
  // nothing else may change the table.
  RunResult r = run({"-l"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, algorithm_listing());
}

// Size, block size (0 lets the compressor choose) and kind of data.
class CliRoundTripTest : public CliTest,
                      public ::testing::WithParamInterface<std::tuple<size_t, int, int>> {};

TEST_P(CliRoundTripTest, RestoresBytes) {
  const auto [size, block, kind] = GetParam();
  const std::string data = test::make_data(size, kind, static_cast<unsigned>(size));
  ASSERT_TRUE(write_file(file("f"), data));
  std::vector<std::string> args{file("f")};
  if (block != 0) args = {"-b", std::to_string(block), file("f")};
  RunResult r = run(args);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(unlink(file("f").c_str()), 0);
  r = run({"-d", file("f.mrt")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(read_file(file("f")) == data);

  // From a pipe, a patched container restores exactly.
  RunResult unpacked = run_stdin({"-d"}, read_file(file("f.mrt")));
  ASSERT_EQ(unpacked.exit_code, 0) << unpacked.err;
  EXPECT_TRUE(unpacked.out == data);

  // To a pipe: the container gets a trailer, which a file input reads.
  RunResult packed = run_stdin(block != 0 ? std::vector<std::string>{"-b", std::to_string(block)}
                                          : std::vector<std::string>{},
                               data);
  ASSERT_EQ(packed.exit_code, 0) << packed.err;
  ASSERT_TRUE(write_file(file("g.mrt"), packed.out));
  ASSERT_EQ(run({"-d", file("g.mrt")}).exit_code, 0);
  EXPECT_TRUE(read_file(file("g")) == data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CliRoundTripTest,
                         ::testing::Combine(::testing::Values(1, 4095, 70001, 300000),
                                            ::testing::Values(0, 1024, 65536),
                                            ::testing::Values(0, 1)));

}  // namespace
}  // namespace mirt
