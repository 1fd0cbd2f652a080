// Inputs and outputs: names derived or given, standard streams and
// terminals, inputs that cannot be used, failures mid-run and round trips.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "support/cli_fixture.h"

namespace mirt {
namespace {

using test::CliFileTest;
using test::CliTest;
using test::file_exists;
using test::read_file;
using test::RunOptions;
using test::RunResult;
using test::write_file;

std::string error_text(int err) { return std::strerror(err); }

TEST_F(CliTest, TerminalOutputRefused) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"-d"}, {"-s"}, {"-c", "-o", "x"}}) {
    RunOptions options;
    options.stdout_tty = true;
    options.stdin_data = "input";
    RunResult r = run(args, options);
    EXPECT_EQ(r.exit_code, 1);
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
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "mirt: " + file("a.mrt") + " exists.\n");
  EXPECT_EQ(read_file(file("a.mrt")), before);
  EXPECT_EQ(run({"-f", file("a")}).exit_code, 0);
  EXPECT_EQ(expand(file("a.mrt")), "changed");
}

// -o with several inputs: one file, the outputs one after another, as -c
// gives them; only a complete run gives it its name.
TEST_F(CliTest, OneOutputNameForSeveralInputs) {
  ASSERT_TRUE(write_file(file("a"), "alpha"));
  ASSERT_TRUE(write_file(file("b"), "beta"));
  ASSERT_EQ(run({"a", "b"}).exit_code, 0);
  const std::string both = read_file(file("a.mrt")) + read_file(file("b.mrt"));
  RunResult r = run({"-o", "out", "a", "b"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(file("out")), both);
  r = run({"-d", "-o", "plain", "out", "a.mrt"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(file("plain")), "alphabetaalpha");

  // An existing name is refused once, for every input; -f replaces it.
  r = run({"-o", "out", "b", "a"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "mirt: out exists.\n");
  EXPECT_EQ(read_file(file("out")), both);
  // An input that is the output is refused alone.
  r = run({"-f", "-o", "out", "out", "a"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "mirt: out: input and output are the same file.\n");
  EXPECT_EQ(expand(file("out")), "alpha");
  r = run({"-f", "-o", "out", "b", "absent", "a"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(expand(file("out")), "betaalpha");
  // A failure on the way leaves the old file as it was.
  ASSERT_TRUE(write_file(file("bad.mrt"), both.substr(0, both.size() - 3)));
  r = run({"-d", "-f", "-o", "out", "a.mrt", "bad.mrt"});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(expand(file("out")), "betaalpha");
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

// Every input that is not processed is named on standard error with the
// reason; the other inputs are, and the run ends with status 1.
struct StatusCase {
  const char* name;
  std::vector<std::string> args;  // in a folder with d/, f, x.txt and f.bin
  int status;
  std::string err;
  bool f_compressed;  // whether f.mrt was written
};

class ExitStatusTest : public CliFileTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ExitStatusTest, NamesEachRefusedInput) {
  const StatusCase& c = GetParam();
  ASSERT_EQ(mkdir(file("d").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(file("x.txt"), "plain"));
  ASSERT_TRUE(write_file(file("f.bin"), "kept"));
  RunResult r = run(c.args);
  EXPECT_EQ(r.exit_code, c.status);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(file_exists(file("f.mrt")), c.f_compressed);
  EXPECT_EQ(read_file(file("x.txt")), "plain");
  EXPECT_EQ(read_file(file("f.bin")), "kept");
}

const std::string kNoSuchFile = error_text(ENOENT);

INSTANTIATE_TEST_SUITE_P(
    Inputs, ExitStatusTest,
    ::testing::Values(
        StatusCase{"written", {"f"}, 0, "", true},
        StatusCase{"directory", {"d", "f"}, 1, "mirt: d is a directory.\n", true},
        StatusCase{"missing", {"absent", "f"}, 1,
                   "mirt: Can't open absent.\nmirt: open: " + kNoSuchFile + "\n", true},
        // Arguments are not reordered: a later -d is an input name.
        StatusCase{"option_after_input", {"f", "-d"}, 1,
                   "mirt: Can't open -d.\nmirt: open: " + kNoSuchFile + "\n", true},
        StatusCase{"output_exists", {"-o", "x.txt", "f"}, 1, "mirt: x.txt exists.\n", false},
        StatusCase{"output_not_opened", {"-o", "no/such/dir", "f"}, 1,
                   "mirt: Can't open no/such/dir for writing.\nmirt: open: " + kNoSuchFile + "\n",
                   false},
        StatusCase{"output_is_directory", {"-f", "-o", "d", "f"}, 1,
                   "mirt: Can't open d for writing.\nmirt: open: " + error_text(EISDIR) + "\n",
                   false},
        StatusCase{"unknown_suffix", {"-d", "x.txt", "f.bin"}, 1,
                   "mirt: x.txt: unknown suffix, not decompressed (use -c or -o).\n"
                   "mirt: f exists.\n",
                   false},
        StatusCase{"unknown_suffix_decompressed", {"-d", "-c", "x.txt"}, 255,
                   "mirt: x.txt: not a compressed file.\n", false},
        StatusCase{"misplaced_upgrade", {"-v", "-N", "f"}, 1,
                   "mirt: The `-N' option must be the first and only argument passed to mirt.\n",
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

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
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "mirt: " + file("f.bin") + " exists.\n");
  }
  EXPECT_EQ(read_file(file("f.bin")), "kept");
  EXPECT_FALSE(file_exists(file("f.mrt")));
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

TEST_F(CliFileTest, OutputNameIsExpanded) {
  RunResult r = run({"-o", "@@HOME@@/out.@@VERS@@", "f"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(file_exists(home + "/out.0.8"));
  EXPECT_FALSE(file_exists(file("f.mrt")));
  EXPECT_EQ(run({"-d", "-c", home + "/out.0.8"}).out, "data");
}

TEST_F(CliFileTest, DashInputDecompressesOnlyToStandardOutput) {
  ASSERT_EQ(run({"f"}).exit_code, 0);
  RunOptions options;
  options.stdin_data = read_file(file("f.mrt"));  // patched, so exact from a pipe
  RunResult r = run({"-d", "-"}, options);  // no name can be derived from "-"
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "mirt: -: unknown suffix, not decompressed (use -c or -o).\n");
  EXPECT_EQ(r.out, "");
  r = run({"-d", "-c", "-"}, options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "data");
}

TEST_F(CliFileTest, ForceWritesToTerminal) {
  RunOptions options;
  options.stdout_tty = true;
  options.stdin_data = "input";
  RunResult r = run({"-f"}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("MRT"), std::string::npos);
}

}  // namespace
}  // namespace mirt
