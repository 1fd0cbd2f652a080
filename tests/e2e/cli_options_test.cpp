// Options as a user gives them: help and version, bad options, listings,
// ciphers, excluded algorithms, block sizes and header records.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "build_config.h"
#include "support/cli_fixture.h"

namespace mirt {
namespace {

using test::algorithm_listing;
using test::CliFileTest;
using test::CliTest;
using test::file_exists;
using test::kBuiltInListing;
using test::kEmptyListing;
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
    EXPECT_EQ(r.exit_code, 1) << bad;
    EXPECT_EQ(r.out, usage_text()) << bad;
    EXPECT_NE(r.err.find(MIRT_BINARY), std::string::npos) << r.err;
  }
}

TEST_F(CliTest, UpgradeOnlyAsFirstArgument) {
  RunResult r = run({"-v", "-N"});
  EXPECT_EQ(r.exit_code, 1);
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

// Every container of a run carries the records the command line added;
// the name and the checksums stay each file's own.
TEST_F(CliTest, HeaderRecordsReachEveryContainer) {
  ASSERT_TRUE(write_file(file("a"), "alpha"));
  ASSERT_TRUE(write_file(file("b"), "beta"));
  ASSERT_EQ(run({"-D", "nightly", "-U", "list", "a", "b"}).exit_code, 0);
  for (const char* name : {"a", "b"}) {
    RunResult r = run({"-s", file(name) + ".mrt"});
    EXPECT_NE(r.out.find(std::string("Description       :   nightly\nDownload Loc File :   list\n"
                                     "Original Name     :   ") + name + "\n"),
              std::string::npos)
        << r.out;
  }
  // Containers to a pipe keep no records; those in one file do.
  ASSERT_EQ(run({"-D", "nightly", "-o", "ab.mrt", "a", "b"}).exit_code, 0);
  EXPECT_EQ(test::count_of(run({"-s", file("ab.mrt")}).out, "nightly"), 2u);
  EXPECT_EQ(expand(file("ab.mrt")), "alphabeta");
}

struct BadOptionCase {
  std::vector<std::string> args;
  std::string err_before;  // what earlier options printed
  std::string diagnostic;
};

class BadOptionTest : public CliFileTest,
                      public ::testing::WithParamInterface<BadOptionCase> {};

TEST_P(BadOptionTest, DiagnosticOnStandardErrorUsageOnStandardOutput) {
  const BadOptionCase& c = GetParam();
  RunResult r = run(c.args);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, c.err_before + MIRT_BINARY + ": " + c.diagnostic + "\n");
  EXPECT_EQ(r.out.rfind(std::string("MIRT 0.8.42-rel ") + MIRT_MAKER + "\nusage: " + MIRT_BINARY +
                            " [options...] [file ...]\nOptions:\n",
                        0),
            0u)
      << r.out;
  EXPECT_FALSE(file_exists(file("f.mrt")));
}

INSTANTIATE_TEST_SUITE_P(
    Getopt, BadOptionTest,
    ::testing::Values(BadOptionCase{{"-z", "f"}, "", "invalid option -- 'z'"},
                      BadOptionCase{{"-b"}, "", "option requires an argument -- 'b'"},
                      BadOptionCase{{"-o"}, "", "option requires an argument -- 'o'"},
                      BadOptionCase{{"-E"}, "", "option requires an argument -- 'E'"},
                      // Options before the bad one have already acted.
                      BadOptionCase{{"-l", "-p", "x", "-q"},
                                    kBuiltInListing + "mirt: x\n",
                                    "invalid option -- 'q'"}));

TEST_F(CliFileTest, ListOnlyOptionsPrintInCommandLineOrder) {
  RunResult r = run({"-v", "-p", "a", "-l", "-p", "b", "f"});
  EXPECT_EQ(r.exit_code, 0);
  // No status_finish: no closing newline even at -v.
  EXPECT_EQ(r.err, "mirt: a\n" + kBuiltInListing + "mirt: b\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(file_exists(file("f.mrt")));
}

struct ExcludeCase {
  std::string value;
  bool slot0_excluded;
};

class ExcludeTest : public CliFileTest,
                    public ::testing::WithParamInterface<ExcludeCase> {};

// The option and the directive take the slot as atoi's value modulo 256.
TEST_P(ExcludeTest, OptionAndDirectiveHitTheSameSlot) {
  const ExcludeCase& c = GetParam();
  const std::string expected = c.slot0_excluded ? kEmptyListing : kBuiltInListing;
  RunResult r = run({"-e", c.value, "-l"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, expected) << "-e " << c.value;
  r = run({"-M", "exclude_algorithm " + c.value, "-l"});
  EXPECT_EQ(r.err, expected) << "exclude_algorithm " << c.value;
}

INSTANTIATE_TEST_SUITE_P(Values, ExcludeTest,
                         ::testing::Values(ExcludeCase{"0", true}, ExcludeCase{"abc", true},
                                           ExcludeCase{"256", true}, ExcludeCase{"-256", true},
                                           ExcludeCase{"0x5", true}, ExcludeCase{"-1", false},
                                           ExcludeCase{"255", false}, ExcludeCase{"1", false}));

TEST_F(CliFileTest, CipherNamesCompareFourLowerCasedCharacters) {
  for (const char* list : {"LISTING", "lIsT", "list ciphers"}) {
    RunResult r = run({"-E", list, "f"});
    EXPECT_EQ(r.exit_code, 0) << list;
    EXPECT_EQ(r.err, kEmptyListing) << list;  // every cipher slot holds the stub
  }
  for (const char* name : {"lis", "", "SERPENTINE", "chaos"}) {
    RunResult r = run({"-E", name, "f"});
    EXPECT_EQ(r.exit_code, 255) << name;
    EXPECT_EQ(r.err, "mirt: No such cipher.\n") << name;
  }
  EXPECT_FALSE(file_exists(file("f.mrt")));
}

// How -b and the directive wrap and which values -b takes is tested on
// parse_options (tests/unit/cli/options_test.cpp); compressing with a
// wrapped 1.2 GB block here only cost time.
TEST_F(CliFileTest, BlockSizeDirectiveWrapsAndTakesTheWholeNumber) {
  ASSERT_TRUE(write_file(file("g"), test::make_data(30000, 0)));
  const std::string automatic = run({"-c", "g"}).out;
  ASSERT_NE(automatic, "");
  // The directive wraps 4294967296 to 0: the compressor chooses again.
  EXPECT_EQ(run({"-c", "-b", "1024", "-M", "blocksize 4294967296", "g"}).out, automatic);
  EXPECT_EQ(run({"-c", "-M", "blocksize 1024.9", "g"}).out, run({"-c", "-b", "1024", "g"}).out);
}

}  // namespace
}  // namespace mirt
