// Exact texts, streams and exit statuses of the command line, checked
// against the built binary with a fresh HOME.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "build_config.h"
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

const std::string kEmptyListing = "mirt: Num | Name\n";
const std::string kBuiltInListing = kEmptyListing + "mirt:   0 | Uncompressed\n";

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

class ConformanceCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home = dir.file("home");
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    ASSERT_TRUE(write_file(file("f"), "data"));
  }
  // HOME is the fresh home unless the options name another one;
  // `unset_home` leaves it out of the environment.
  RunResult run(std::vector<std::string> args, RunOptions options = {},
                bool unset_home = false) {
    options.args = std::move(args);
    if (!unset_home && options.home.empty()) options.home = home;
    if (options.cwd.empty()) options.cwd = dir.path();
    RunResult result = test::run_mirt(options);
    EXPECT_FALSE(result.timed_out);
    return result;
  }
  RunResult run_env(std::vector<std::string> args,
                    std::vector<std::pair<std::string, std::string>> env) {
    RunOptions options;
    options.env = std::move(env);
    return run(std::move(args), options);
  }
  std::string file(const std::string& name) const { return dir.file(name); }
  void write_user_config(const std::string& text) {
    std::filesystem::create_directories(home + "/.mirt");
    ASSERT_TRUE(write_file(home + "/.mirt/mirt.conf", text));
  }

  test::TempDir dir;
  std::string home;
};

// --- Options ---------------------------------------------------------------

struct BadOptionCase {
  std::vector<std::string> args;
  std::string err_before;  // what earlier options printed
  std::string diagnostic;
};

class BadOptionTest : public ConformanceCliTest,
                      public ::testing::WithParamInterface<BadOptionCase> {};

TEST_P(BadOptionTest, DiagnosticOnStandardErrorUsageOnStandardOutput) {
  const BadOptionCase& c = GetParam();
  RunResult r = run(c.args);
  EXPECT_EQ(r.exit_code, 0);
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

TEST_F(ConformanceCliTest, ListOnlyOptionsPrintInCommandLineOrder) {
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

class ExcludeTest : public ConformanceCliTest,
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

TEST_F(ConformanceCliTest, CipherNamesCompareFourLowerCasedCharacters) {
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

TEST_F(ConformanceCliTest, BlockSizeWrapsAndDirectiveHasNoLimit) {
  ASSERT_TRUE(write_file(file("g"), test::make_data(30000, 0)));
  const std::string automatic = run({"-c", "g"}).out;
  ASSERT_NE(automatic, "");
  // 99999999999 wraps to 1215752191, which -b accepts; the header's
  // block size field follows magic, version, size and block count.
  RunResult wrapped = run({"-c", "-b", "99999999999", "f"});
  EXPECT_EQ(wrapped.exit_code, 0) << wrapped.err;
  ASSERT_GT(wrapped.out.size(), 23u);
  EXPECT_EQ(wrapped.out.substr(19, 4), std::string("\x48\x76\xE7\xFF", 4));
  // The directive wraps 4294967296 to 0: the compressor chooses again.
  EXPECT_EQ(run({"-c", "-b", "1024", "-M", "blocksize 4294967296", "g"}).out, automatic);
  EXPECT_EQ(run({"-c", "-M", "blocksize 1024.9", "g"}).out, run({"-c", "-b", "1024", "g"}).out);
}

// --- Templates ---------------------------------------------------------------

struct TemplateCase {
  std::string tmpl;
  std::string expected;  // "HOME" in it stands for the home directory
};

class PrintTemplateTest : public ConformanceCliTest,
                          public ::testing::WithParamInterface<TemplateCase> {};

TEST_P(PrintTemplateTest, PrintsExpansionOnStandardError) {
  const TemplateCase& c = GetParam();
  std::string expected = c.expected;
  if (size_t at = expected.find("HOME"); at != std::string::npos) expected.replace(at, 4, home);
  RunResult r = run({"-p", c.tmpl, "f"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: " + expected + "\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(file_exists(file("f.mrt")));
}

INSTANTIATE_TEST_SUITE_P(
    Macros, PrintTemplateTest,
    ::testing::Values(
        TemplateCase{"@@HOME@@/x", "HOME/x"}, TemplateCase{"@@HOMExy/x", "HOME/x"},
        TemplateCase{"@@HON5@@", "HOME"},  // same ELF hash as HOME
        TemplateCase{"@@FILE@@.so", "@@file@@.so"}, TemplateCase{"v@@VERF@@-@@VERS@@", "v0.8.42-0.8"},
        TemplateCase{"@@BLDS@@", "mirt-0.8.42-rel-modules-nodebian-network-vercheck"},
        TemplateCase{"a@@ATSG@@b", "a@b"}, TemplateCase{"a@@ZZZZ@@b", "ab"},
        TemplateCase{"@@@@@@@@", ""}, TemplateCase{"a@@b", "a@@b"}, TemplateCase{"x@@HOM", "x@@HOM"},
        TemplateCase{"abc", "abc"},
        // Past 896 characters the rest after the macro is kept verbatim.
        TemplateCase{std::string(896, 'a') + "@@VERF@@x@@VERS@@y@@VERS@@",
                     std::string(896, 'a') + "0.8.42xy@@VERS@@"},
        TemplateCase{std::string(897, 'a') + "@@VERF@@x@@VERS@@", std::string(897, 'a') + "x@@VERS@@"},
        // Results stay within 1023 characters.
        TemplateCase{std::string(1100, 'a') + "@@VERF@@", std::string(1023, 'a')}));

TEST_F(ConformanceCliTest, SystemMacrosFollowUname) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  std::string release = names.release;
  std::string number = release.substr(0, release.find_first_not_of("0123456789."));
  RunResult r = run({"-p", "@@OSNM@@-@@ARCH@@ @@OSRN@@"});
  EXPECT_EQ(r.err,
            "mirt: " + lower(names.sysname) + "-" + lower(names.machine) + " " + number + "\n");
}

TEST_F(ConformanceCliTest, HomeMacroWithoutOrWithLongHome) {
  RunResult r = run({"-p", "@@HOME@@/x"}, {}, /*unset_home=*/true);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: /x\n");

  // 128 characters or more are not inserted; past 255 the user file's
  // path is cut and nothing is read.
  for (size_t length : {128u, 300u}) {
    RunOptions options;
    options.home = "/" + std::string(length - 1, 'h');
    r = run({"-p", "@@HOME@@/x", "-l"}, options);
    EXPECT_EQ(r.exit_code, 0) << length;
    EXPECT_EQ(r.err, "mirt: /x\n" + kBuiltInListing) << length;
  }
}

TEST_F(ConformanceCliTest, OutputNameIsExpanded) {
  RunResult r = run({"-o", "@@HOME@@/out.@@VERS@@", "f"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(file_exists(home + "/out.0.8"));
  EXPECT_FALSE(file_exists(file("f.mrt")));
  EXPECT_EQ(run({"-d", "-c", home + "/out.0.8"}).out, "data");
}

TEST_F(ConformanceCliTest, PromptsAnsweredOnStandardInput) {
  RunOptions options;
  options.stdin_data = "bob\nalice\n";
  RunResult r = run({"-i", "-p", "u=@@USRN@@ v=@@USRN@@"}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "Enter username: Enter username: mirt: u=bob v=alice\n");

  // The directive's value is not looked at: "off" also switches it on.
  options.stdin_data = "carol\r\n";
  r = run({"-M", "prompt_stdin off", "-o", "@@USRN@@.out", "f"}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "Enter username: ");
  EXPECT_TRUE(file_exists(file("carol.out")));

  // An answer of 128 characters or more is skipped whole, and its rest
  // does not answer the next prompt.
  options.stdin_data = std::string(127, 'a') + "\n" + std::string(200, 'b') + "\nc\n";
  r = run({"-i", "-p", "[@@USRN@@][@@USRN@@][@@USRN@@]"}, options);
  EXPECT_EQ(r.err, "Enter username: Enter username: Enter username: mirt: [" +
                       std::string(127, 'a') + "][][c]\n");
}

// --- Configuration -------------------------------------------------------------

struct ConfigCase {
  std::string text;
  bool slot0_excluded;
};

class ConfigFileTest : public ConformanceCliTest,
                       public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigFileTest, UserFileAndExtraFileReadAlike) {
  const ConfigCase& c = GetParam();
  const std::string expected = c.slot0_excluded ? kEmptyListing : kBuiltInListing;
  ASSERT_TRUE(write_file(file("extra.conf"), c.text));
  EXPECT_EQ(run({"-m", file("extra.conf"), "-l"}).err, expected);
  write_user_config(c.text);
  EXPECT_EQ(run({"-l"}).err, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ConfigFileTest,
    ::testing::Values(
        ConfigCase{"exclude_algorithm 0", true},  // last line without a newline
        ConfigCase{"  exclude_algorithm \t  0  three four five six\n", true},
        ConfigCase{"#exclude_algorithm 0\n", false}, ConfigCase{" #\nexclude_algorithm 0\r\n", true},
        ConfigCase{" #exclude_algorithm 0\n", false}, ConfigCase{"EXCLUDE_ALGORITHM 0\n", false},
        ConfigCase{"exclude_algorithm\n", false},
        ConfigCase{"exclude_algorithm\xE9 0\n", false},
        // Lines are read 510 characters at a time, each piece a line.
        ConfigCase{"#" + std::string(509, 'x') + "exclude_algorithm 0\n", true},
        ConfigCase{"#" + std::string(510, 'x') + "exclude_algorithm 0\n", false},
        ConfigCase{std::string(509, ' ') + "e" + "xclude_algorithm 0\n", false}));

// The first redraw of a compression at -v: the bar at 0 percent with the
// text status_init left behind.
std::string first_line(const std::string& err) { return err.substr(0, err.find('\r') + 1); }

const std::string kPlainFirst = "=> [..........]   0% [|] | Status: Initialized.\r";
const std::string kColourFirst =
    "=> \033[1;30m[\033[1;32m\033[1;37m..........\033[1;30m] \033[1;37m000\033[0;31m%\033[0m"
    " [|] | Status: Initialized.\033[K\r";

struct ColourCase {
  std::string user_file;
  std::vector<std::string> args;
  bool colour;
};

class ColourTest : public ConformanceCliTest, public ::testing::WithParamInterface<ColourCase> {};

TEST_P(ColourTest, LaterSettingWins) {
  const ColourCase& c = GetParam();
  ASSERT_TRUE(write_file(file("on.conf"), "colour on\n"));
  if (!c.user_file.empty()) write_user_config(c.user_file);
  std::vector<std::string> args = c.args;
  for (std::string& arg : args) {
    if (arg == "ON_FILE") arg = file("on.conf");
  }
  args.insert(args.end(), {"-v", "-c", "f"});
  RunResult r = run(args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(first_line(r.err), c.colour ? kColourFirst : kPlainFirst);
  EXPECT_EQ(r.err.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(
    Order, ColourTest,
    ::testing::Values(ColourCase{"", {}, false}, ColourCase{"colour on\n", {}, true},
                      ColourCase{"colour on\ncolour off\n", {}, false},
                      ColourCase{"colour on\ncolour off\xE9\xFF\r\n", {}, false},
                      ColourCase{"colour OFF\n", {}, true}, ColourCase{"colovb on\n", {}, true},
                      ColourCase{"colour on\n", {"-M", "colour off"}, false},
                      ColourCase{"", {"-M", "colour off", "-m", "ON_FILE"}, true},
                      ColourCase{"", {"-m", "ON_FILE", "-M", "colour off"}, false}));

// --- Status line ---------------------------------------------------------------

struct ColumnsCase {
  std::string columns;  // empty: unset
  int width;            // 0: nothing drawn
};

class ColumnsTest : public ConformanceCliTest, public ::testing::WithParamInterface<ColumnsCase> {};

TEST_P(ColumnsTest, BarWidthFollowsColumns) {
  const ColumnsCase& c = GetParam();
  std::vector<std::pair<std::string, std::string>> env;
  if (!c.columns.empty()) env.emplace_back("COLUMNS", c.columns);
  RunResult r = run_env({"-v", "-c", "f"}, env);
  EXPECT_EQ(r.exit_code, 0);
  if (c.width == 0) {
    EXPECT_EQ(r.err, "\n");  // only the closing newline
  } else {
    EXPECT_EQ(first_line(r.err), "=> [" + std::string(static_cast<size_t>(c.width), '.') +
                                     "]   0% [|] | Status: Initialized.\r");
    EXPECT_EQ(r.err.back(), '\n');
  }
  // Without -v nothing at all is written.
  EXPECT_EQ(run_env({"-c", "f"}, env).err, "");
}

INSTANTIATE_TEST_SUITE_P(Widths, ColumnsTest,
                         ::testing::Values(ColumnsCase{"", 10}, ColumnsCase{"31", 10},
                                           ColumnsCase{"30", 5}, ColumnsCase{"10", 5},
                                           ColumnsCase{" +12x", 5}, ColumnsCase{"9", 0},
                                           ColumnsCase{"wide", 0}, ColumnsCase{"-40", 0}));

// --- Start-up ------------------------------------------------------------------

TEST_F(ConformanceCliTest, UserCopyThatCannotRunStillNamesArgumentZero) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  const std::string user_dir =
      home + "/.mirt/" + lower(names.sysname) + "-" + lower(names.machine);
  const std::string copy = user_dir + "/mirt";
  ASSERT_TRUE(std::filesystem::create_directories(user_dir));
  ASSERT_TRUE(write_file(copy, std::string("\x01\x02\x03 not a program"), 0755));
  write_user_config("user_binary on\n");

  // The execution fails; this program goes on with the copy's name.
  RunResult r = run({"-h"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("\nusage: " + copy + " [options...] [file ...]\n"), std::string::npos)
      << r.out;
  r = run({"-z"});
  EXPECT_EQ(r.err, copy + ": invalid option -- 'z'\n");
  EXPECT_EQ(run({"f"}).exit_code, 0);
  EXPECT_TRUE(file_exists(file("f.mrt")));
}

// --- Inputs and outputs ------------------------------------------------------

TEST_F(ConformanceCliTest, DashInputDecompressesOnlyToStandardOutput) {
  ASSERT_EQ(run({"f"}).exit_code, 0);
  RunOptions options;
  options.stdin_data = read_file(file("f.mrt"));  // patched, so exact from a pipe
  RunResult r = run({"-d", "-"}, options);  // no name can be derived from "-"
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  r = run({"-d", "-c", "-"}, options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "data");
}

TEST_F(ConformanceCliTest, ForceWritesToTerminal) {
  RunOptions options;
  options.stdout_tty = true;
  options.stdin_data = "input";
  RunResult r = run({"-f"}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("MRT"), std::string::npos);
}

TEST_F(ConformanceCliTest, ExistingDirectoryAsOutput) {
  ASSERT_EQ(mkdir(file("out").c_str(), 0755), 0);
  RunResult r = run({"-o", "out", "f"});
  EXPECT_EQ(r.err, "mirt: out exists.\n");
  r = run({"-f", "-o", "out", "f"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: Can't open out for writing.\nmirt: open: " +
                       std::string(std::strerror(EISDIR)) + "\n");
}

}  // namespace
}  // namespace mirt
