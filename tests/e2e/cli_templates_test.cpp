// Templates (-p, -o), prompts answered on standard input, and the width
// of the status line.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <string>
#include <utility>
#include <vector>

#include "support/cli_fixture.h"

namespace mirt {
namespace {

using test::CliFileTest;
using test::CliTest;
using test::file_exists;
using test::first_line;
using test::kBuiltInListing;
using test::lower;
using test::read_file;
using test::RunOptions;
using test::RunResult;
using test::write_file;

TEST_F(CliTest, PrintLocationAndStop) {
  ASSERT_TRUE(write_file(file("f"), "data"));
  RunResult r = run({"-p", "/some/where/file", file("f")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: /some/where/file\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(file_exists(file("f.mrt")));
}

struct TemplateCase {
  std::string tmpl;
  std::string expected;  // "HOME" in it stands for the home directory
};

class PrintTemplateTest : public CliFileTest,
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

TEST_F(CliFileTest, SystemMacrosFollowUname) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  std::string release = names.release;
  std::string number = release.substr(0, release.find_first_not_of("0123456789."));
  RunResult r = run({"-p", "@@OSNM@@-@@ARCH@@ @@OSRN@@"});
  EXPECT_EQ(r.err,
            "mirt: " + lower(names.sysname) + "-" + lower(names.machine) + " " + number + "\n");
}

TEST_F(CliFileTest, HomeMacroWithoutOrWithLongHome) {
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

TEST_F(CliFileTest, PromptsAnsweredOnStandardInput) {
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

struct ColumnsCase {
  std::string columns;  // empty: unset
  int width;            // 0: nothing drawn
};

class ColumnsTest : public CliFileTest, public ::testing::WithParamInterface<ColumnsCase> {};

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

}  // namespace
}  // namespace mirt
