// Configuration: the user's file under HOME, extra files and -M lines, the
// per-user copy of the program, and which colour setting wins.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <filesystem>
#include <string>
#include <vector>

#include "location/template.h"
#include "support/cli_fixture.h"

namespace mirt {
namespace {

using test::algorithm_listing;
using test::CliFileTest;
using test::CliTest;
using test::file_exists;
using test::first_line;
using test::kBuiltInListing;
using test::kEmptyListing;
using test::lower;
using test::read_file;
using test::RunOptions;
using test::RunResult;
using test::write_file;

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

struct ConfigCase {
  std::string text;
  bool slot0_excluded;
};

class ConfigFileTest : public CliFileTest,
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

const std::string kPlainFirst = "=> [..........]   0% [|] | Status: Initialized.\r";
const std::string kColourFirst =
    "=> \033[1;30m[\033[1;32m\033[1;37m..........\033[1;30m] \033[1;37m000\033[0;31m%\033[0m"
    " [|] | Status: Initialized.\033[K\r";

struct ColourCase {
  std::string user_file;
  std::vector<std::string> args;
  bool colour;
};

class ColourTest : public CliFileTest, public ::testing::WithParamInterface<ColourCase> {};

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

TEST_F(CliFileTest, UserCopyThatCannotRunStillNamesArgumentZero) {
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

}  // namespace
}  // namespace mirt
