#include "location/template.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "status/status.h"
#include "support/files.h"
#include "support/process_state.h"
#include "support/streams.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

// Keeps HOME as it was and the system facts fixed for every test.
class TemplateTest : public ::testing::Test {
 protected:
  void SetUp() override { template_reset("Linux", "5.15.0-91-generic", "x86_64"); }
  void TearDown() override {
    template_reset();
    status_reset();
  }

 private:
  test::ScopedHome home_{"/home/u"};
};

struct ExpandCase {
  const char* tmpl;
  const char* file_value;
  const char* expected;
};

class TemplateExpandTest : public TemplateTest, public ::testing::WithParamInterface<ExpandCase> {};

TEST_P(TemplateExpandTest, GivesExpectedText) {
  const ExpandCase& c = GetParam();
  EXPECT_EQ(expand_template(c.tmpl, c.file_value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Macros, TemplateExpandTest,
    ::testing::Values(
        ExpandCase{"abc", "", "abc"}, ExpandCase{"", "", ""},
        ExpandCase{"@@HOME@@/x", "", "/home/u/x"},
        // The closing pair is not examined.
        ExpandCase{"@@HOMExy/x", "", "/home/u/x"}, ExpandCase{"a@@ZZZZ@@b", "", "ab"},
        ExpandCase{"a@@b", "", "a@@b"}, ExpandCase{"x@@HOM", "", "x@@HOM"},
        ExpandCase{"x@@HOME@", "", "x@@HOME@"}, ExpandCase{"x@@HOME@@", "", "x/home/u"},
        ExpandCase{"@@OSNM@@-@@ARCH@@", "", "linux-x86_64"},
        ExpandCase{"@@FILE@@.so", "zlib", "zlib.so"},
        ExpandCase{"@@FILE@@", "@@file@@", "@@file@@"}, ExpandCase{"[@@FILE@@]", "", "[]"},
        ExpandCase{"a@@ATSG@@b", "", "a@b"}, ExpandCase{"@@VERF@@ @@VERS@@", "", "0.8.42 0.8"},
        ExpandCase{"@@BLDS@@", "", "mirt-0.8.42-rel-modules-nodebian-network-vercheck"},
        ExpandCase{"@@OSRN@@|@@OSRM@@|@@OSRM@@", "", "5.15.0|5.15|5.15"},
        ExpandCase{"@@@@HOME@@", "", "@@"},
        ExpandCase{"http://h/@@OSNM@@-@@ARCH@@/@@FILE@@.ver", "m", "http://h/linux-x86_64/m.ver"}));

TEST_F(TemplateTest, HomeUnsetExpandsToNothing) {
  unsetenv("HOME");
  EXPECT_EQ(expand_template("@@HOME@@/x", ""), "/x");
}

TEST_F(TemplateTest, OtherSystemsAreLowerCasedAndHaveNoDistribution) {
  template_reset("FreeBSD", "13.2-RELEASE", "AMD64");
  EXPECT_EQ(expand_template("@@OSNM@@-@@ARCH@@", ""), "freebsd-amd64");
  EXPECT_EQ(expand_template("[@@DIST@@]", ""), "[]");
  EXPECT_EQ(expand_template("@@OSRN@@ @@OSRM@@", ""), "13.2 13.2-RELEASE");
}

TEST_F(TemplateTest, LinuxShowsTheDistribution) {
  std::string dist = distribution_name();
  EXPECT_FALSE(dist.empty());
  EXPECT_LT(dist.size(), 128u);
  EXPECT_EQ(expand_template("@@DIST@@", ""), dist);
}

TEST_F(TemplateTest, ReleaseMacrosSkipEmptyAndOverlongReleases) {
  template_reset("Linux", "", "x86_64");
  EXPECT_EQ(expand_template("<@@OSRN@@@@OSRM@@>", ""), "<>");
  template_reset("Linux", ("1." + std::string(126, '2')).c_str(), "x86_64");
  EXPECT_EQ(expand_template("<@@OSRN@@@@OSRM@@>", ""), "<>");
  template_reset("Linux", ("1." + std::string(125, '2')).c_str(), "x86_64");
  EXPECT_EQ(expand_template("<@@OSRM@@>", ""), "<1." + std::string(125, '2') + ">");
}

TEST_F(TemplateTest, InsertionsOf128OrMoreAreDropped) {
  std::string v127(127, 'f');
  std::string v128(128, 'f');
  EXPECT_EQ(expand_template("<@@FILE@@>", v127.c_str()), "<" + v127 + ">");
  EXPECT_EQ(expand_template("<@@FILE@@>", v128.c_str()), "<>");
  setenv("HOME", v128.c_str(), 1);
  EXPECT_EQ(expand_template("<@@HOME@@>", ""), "<>");
}

TEST_F(TemplateTest, TextPast896StaysVerbatim) {
  std::string over(897, 'x');
  EXPECT_EQ(expand_template((over + "@@HOME@@@@ATSG@@/y").c_str(), ""), over + "@@ATSG@@/y");
  // At exactly 896 the macro still expands; the next one is past the mark.
  std::string at(896, 'x');
  EXPECT_EQ(expand_template((at + "@@HOME@@@@ATSG@@/y").c_str(), ""), at + "/home/u/y");
}

struct CapCase {
  std::string tmpl;
  std::string expected_prefix;
};

class TemplateCapTest : public TemplateTest, public ::testing::WithParamInterface<int> {};

TEST_P(TemplateCapTest, ResultNeverExceeds1023Characters) {
  const std::string x(2000, 'x');
  const std::string y(500, 'y');
  const CapCase cases[] = {
      {x + "@@ATSG@@", x},
      {"@@ATSG@@" + x, "@" + x},
      {std::string(900, 'x') + "@@HOME@@" + y, std::string(900, 'x') + y},
      {x + "@@b", x},
      {std::string(1020, 'x') + "@@HOME@@", std::string(1020, 'x')},
      {std::string(890, 'x') + "@@FILE@@" + y, std::string(890, 'x') + std::string(127, 'f') + y},
  };
  const CapCase& c = cases[GetParam()];
  std::string got = expand_template(c.tmpl.c_str(), std::string(127, 'f').c_str());
  EXPECT_EQ(got, c.expected_prefix.substr(0, 1023));
}

INSTANTIATE_TEST_SUITE_P(LongLiterals, TemplateCapTest, ::testing::Range(0, 6));

TEST_F(TemplateTest, TemplateWithoutMacrosIsCopiedWhole) {
  std::string long_path(3000, 'p');
  EXPECT_EQ(expand_template(long_path.c_str(), ""), long_path);
}

struct ReleaseCase {
  const char* release;
  const char* number;
  const char* major_minor;
};

class TemplateReleaseTest : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(TemplateReleaseTest, CutsAsDocumented) {
  EXPECT_EQ(release_number(GetParam().release), GetParam().number);
  EXPECT_EQ(release_major_minor(GetParam().release), GetParam().major_minor);
}

INSTANTIATE_TEST_SUITE_P(Releases, TemplateReleaseTest,
                         ::testing::Values(ReleaseCase{"13.2-RELEASE", "13.2", "13.2-RELEASE"},
                                           ReleaseCase{"5.15.0-91-generic", "5.15.0", "5.15"},
                                           ReleaseCase{"2.6.32", "2.6.32", "2.6"},
                                           ReleaseCase{"abc1.2x", "", "1.2x"},
                                           ReleaseCase{"6", "6", "6"},
                                           ReleaseCase{".5.1", ".5.1", ".5"},
                                           ReleaseCase{"", "", ""}));

class TemplatePromptTest : public TemplateTest {
 protected:
  void SetUp() override {
    TemplateTest::SetUp();
    status_param_set(kStatusPromptStdin, 1);
  }
  std::string answers(const std::string& text) {
    std::string path = dir_.file("answers");
    EXPECT_TRUE(test::write_file(path, text));
    return path;
  }
  test::TempDir dir_;
};

TEST_F(TemplatePromptTest, UsernamesAreAskedAgainForEveryMacro) {
  test::StdinFrom in(answers("alice\r\nbob\n"));
  testing::internal::CaptureStderr();
  std::string got = expand_template("ftp://@@USRN@@:x@h/@@USRN@@", "");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(got, "ftp://alice:x@h/bob");
  EXPECT_EQ(err, "Enter username: Enter username: ");
}

TEST_F(TemplatePromptTest, EndOfInputExpandsToNothing) {
  test::StdinFrom in(answers(""));
  testing::internal::CaptureStderr();
  EXPECT_EQ(expand_template("u=@@USRN@@.", ""), "u=.");
  EXPECT_EQ(read_prompt("? ", 128, false), std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Enter username: ? ");
}

TEST_F(TemplatePromptTest, OverlongAnswerIsSkippedWithoutFeedingTheNextPrompt) {
  std::string fits(127, 'a');
  test::StdinFrom in(answers(std::string(200, 'z') + "\n" + fits + "\n" + "last"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_prompt("? ", 128, false), std::nullopt);
  EXPECT_EQ(read_prompt("? ", 128, false), fits);
  EXPECT_EQ(read_prompt("? ", 128, false), "last");
  testing::internal::GetCapturedStderr();
}

TEST_F(TemplatePromptTest, HiddenPromptNeedsRoomFor127Characters) {
  EXPECT_EQ(read_prompt("Enter password: ", 127, true), std::nullopt);
}

}  // namespace
}  // namespace mirt
