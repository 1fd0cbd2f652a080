#include "status/status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "support/streams.h"

namespace mirt {
namespace {

// A whole plain line: bar, number, spinner character, text.
std::string plain_line(const std::string& bar, const char* number, char spin,
                       const std::string& text) {
  return "=> [" + bar + "] " + number + "% [" + spin + "] | Status: " + text + "\r";
}

class StatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* c = std::getenv("COLUMNS")) saved_columns_ = c;
    unsetenv("COLUMNS");
    status_reset();
  }
  void TearDown() override {
    status_reset();
    if (saved_columns_) {
      setenv("COLUMNS", saved_columns_->c_str(), 1);
    } else {
      unsetenv("COLUMNS");
    }
  }

  // Output of one redraw.
  static std::string redraw() {
    test::Capture capture(2);
    status_redraw();
    return capture.text();
  }

  std::optional<std::string> saved_columns_;
};

TEST_F(StatusTest, LevelZeroWritesNothingAtAll) {
  test::Capture capture(2);
  status_init();
  status_message(0, "zero");
  status_message(1, "one");
  status_append(0, "+");
  progress_begin(3);
  progress_step(1);
  status_set_percent(50);
  status_redraw();
  status_finish();
  EXPECT_EQ(capture.text(), "");
  // A level-0 message is still kept; a level-1 message is not.
  EXPECT_STREQ(status_text(), "zero+");
}

TEST_F(StatusTest, InitSetsTextAndClearsColour) {
  status_param_set(kStatusColour, 1);
  status_init();
  EXPECT_EQ(status_param_get(kStatusColour), 0);
  EXPECT_STREQ(status_text(), "Initialized.");

  status_reset();
  status_param_set(kStatusColour, 1);
  status_param_set(kStatusLevel, -1);
  test::Capture capture(2);
  status_init();
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(status_param_get(kStatusColour), 0);
  EXPECT_STREQ(status_text(), "");
}

TEST_F(StatusTest, InitDrawsAtLevelOne) {
  status_param_set(kStatusLevel, 1);
  test::Capture capture(2);
  status_init();
  EXPECT_EQ(capture.text(), plain_line("..........", "  0", '|', "Initialized."));
}

TEST_F(StatusTest, ExactPlainLine) {
  status_param_set(kStatusLevel, 1);
  {
    test::Capture discard(2);
    for (int i = 0; i < 6; ++i) status_redraw();
  }
  status_message(2, "not shown at level 1");
  EXPECT_STREQ(status_text(), "");
  test::Capture capture(2);
  status_param_set(kStatusPercent, 55);
  status_message(1, "Decompressing.");
  EXPECT_EQ(capture.text(), "=> [#####.....]  55% [-] | Status: Decompressing.\r");
}

TEST_F(StatusTest, ExactColourLine) {
  status_param_set(kStatusLevel, 1);
  status_param_set(kStatusColour, 7);
  status_param_set(kStatusPercent, 55);
  test::Capture capture(2);
  status_message(1, "Decompressing.");
  EXPECT_EQ(capture.text(),
            "=> \033[1;30m[\033[1;32m#####\033[1;37m.....\033[1;30m] \033[1;37m055\033[0;31m%"
            "\033[0m [|] | Status: Decompressing.\033[K\r");
}

TEST_F(StatusTest, UnknownTotalShowsQuestionMarks) {
  status_param_set(kStatusLevel, 1);
  test::Capture capture(2);
  progress_begin(0);
  EXPECT_EQ(status_param_get(kStatusPercent), -1);
  progress_step(1);
  EXPECT_EQ(status_param_get(kStatusPercent), -1);
  EXPECT_EQ(capture.text(), plain_line("??????????", "  0", '|', "") +
                                plain_line("??????????", "  0", '/', ""));

  status_param_set(kStatusColour, 1);
  std::string colour = redraw();
  EXPECT_NE(colour.find("[\033[1;32m\033[1;37m??????????\033[1;30m] \033[1;37m000\033[0;31m%"),
            std::string::npos)
      << colour;
}

TEST_F(StatusTest, PercentAboveHundredIsClampedOnlyInTheBar) {
  status_param_set(kStatusLevel, 1);
  test::Capture capture(2);
  progress_begin(4);
  for (int i = 0; i < 5; ++i) progress_step(1);
  std::string out = capture.text();
  EXPECT_EQ(status_param_get(kStatusPercent), 125);
  std::string last = out.substr(out.rfind("=> "));
  EXPECT_EQ(last, plain_line("##########", "100", '/', ""));
}

TEST_F(StatusTest, StepOfZeroRestartsTheCount) {
  status_param_set(kStatusLevel, 1);
  test::Capture capture(2);
  progress_begin(3);
  progress_step(2);
  EXPECT_EQ(status_param_get(kStatusPercent), 66);
  progress_step(0);
  EXPECT_EQ(status_param_get(kStatusPercent), 0);
  progress_step(3);
  EXPECT_EQ(status_param_get(kStatusPercent), 100);
  std::string out = capture.text();
  EXPECT_NE(out.find(plain_line("..........", "  0", '-', "")), std::string::npos) << out;
}

TEST_F(StatusTest, HugeOverrunStaysDefined) {
  progress_begin(1);
  progress_step(0xFFFFFFFFu);
  EXPECT_GT(status_param_get(kStatusPercent), 100);
}

TEST_F(StatusTest, NegativePercentIsUnknown) {
  status_param_set(kStatusLevel, 1);
  test::Capture capture(2);
  status_set_percent(-5);
  EXPECT_EQ(capture.text(), plain_line("??????????", "  0", '|', ""));
}

struct ColumnsCase {
  const char* columns;  // nullptr: unset
  int width;            // 0: nothing drawn
};

class StatusColumnsTest : public StatusTest, public ::testing::WithParamInterface<ColumnsCase> {};

TEST_P(StatusColumnsTest, BarWidth) {
  const ColumnsCase& c = GetParam();
  if (c.columns) setenv("COLUMNS", c.columns, 1);
  status_param_set(kStatusLevel, 1);
  status_param_set(kStatusPercent, 100);
  std::string out = redraw();
  if (c.width == 0) {
    EXPECT_EQ(out, "");
    // The spinner did not move either.
    unsetenv("COLUMNS");
    EXPECT_EQ(redraw(), plain_line("##########", "100", '|', ""));
  } else {
    EXPECT_EQ(out, plain_line(std::string(static_cast<size_t>(c.width), '#'), "100", '|', ""));
  }
}

INSTANTIATE_TEST_SUITE_P(Columns, StatusColumnsTest,
                         ::testing::Values(ColumnsCase{nullptr, 10}, ColumnsCase{"9", 0},
                                           ColumnsCase{"10", 5}, ColumnsCase{"30", 5},
                                           ColumnsCase{"31", 10}, ColumnsCase{"200", 10},
                                           ColumnsCase{"wide", 0}, ColumnsCase{"", 0},
                                           ColumnsCase{"-40", 0}, ColumnsCase{"12abc", 5},
                                           ColumnsCase{" 40", 10},
                                           ColumnsCase{"99999999999999999999", 10}));

TEST_F(StatusTest, BarPartsAlwaysFillTheWidth) {
  status_param_set(kStatusLevel, 1);
  for (const char* columns : {"80", "20"}) {
    setenv("COLUMNS", columns, 1);
    size_t width = columns[0] == '8' ? 10 : 5;
    for (int q = 0; q <= 100; ++q) {
      status_param_set(kStatusPercent, q);
      std::string out = redraw();
      size_t open = out.find('[');
      size_t close = out.find(']');
      ASSERT_NE(close, std::string::npos);
      std::string bar = out.substr(open + 1, close - open - 1);
      EXPECT_EQ(bar.size(), width) << "percent " << q << " at width " << width;
      size_t hashes = bar.find_first_not_of('#');
      if (hashes == std::string::npos) hashes = bar.size();
      EXPECT_EQ(bar.find_first_not_of('.', hashes), std::string::npos) << bar;
      EXPECT_EQ(hashes, static_cast<size_t>(static_cast<float>(q) / 100.0f * static_cast<float>(width)));
    }
  }
  setenv("COLUMNS", "20", 1);
  status_param_set(kStatusPercent, 33);
  EXPECT_EQ(redraw().substr(0, 11), "=> [#....] ");
}

TEST_F(StatusTest, SpinnerCycles) {
  status_param_set(kStatusLevel, 2);
  std::string spins;
  for (int i = 0; i < 9; ++i) {
    std::string out = redraw();
    spins += out.substr(out.find("% [") + 3, 1);
  }
  EXPECT_EQ(spins, "|/-\\|/-\\|");
}

TEST_F(StatusTest, MessageKeepsAtMost127Characters) {
  status_param_set(kStatusLevel, 1);
  std::string longtext(200, 'x');
  test::Capture capture(2);
  status_message(1, longtext.c_str());
  EXPECT_EQ(std::string(status_text()), std::string(127, 'x'));
  EXPECT_NE(capture.text().find(std::string(127, 'x') + "\r"), std::string::npos);
}

TEST_F(StatusTest, AppendStopsAt126Characters) {
  status_param_set(kStatusLevel, 1);
  test::Capture capture(2);
  status_message(1, std::string(120, 'a').c_str());
  status_append(1, "0123456789");
  EXPECT_EQ(std::string(status_text()), std::string(120, 'a') + "012345");
  status_append(1, "more");
  EXPECT_EQ(std::string(status_text()), std::string(120, 'a') + "012345");
  status_message(1, std::string(127, 'b').c_str());
  status_append(1, "c");
  EXPECT_EQ(std::string(status_text()), std::string(127, 'b'));
  // Every call above redrew, also the ones that appended nothing.
  std::string out = capture.text();
  size_t lines = 0;
  for (char ch : out) lines += ch == '\r';
  EXPECT_EQ(lines, 5u);
}

TEST_F(StatusTest, AppendAboveTheLevelDoesNothing) {
  status_param_set(kStatusLevel, 1);
  status_message(1, "Algorithm ");
  test::Capture capture(2);
  status_append(2, "copy");
  EXPECT_EQ(capture.text(), "");
  EXPECT_STREQ(status_text(), "Algorithm ");
}

TEST_F(StatusTest, FinishEndsTheLine) {
  status_param_set(kStatusLevel, 3);
  test::Capture capture(2);
  status_finish();
  EXPECT_EQ(capture.text(), "\n");
}

TEST_F(StatusTest, ParameterIndexes) {
  for (int32_t i = 0; i < 10; ++i) {
    EXPECT_EQ(status_param_set(i, 100 + i), 100 + i);
    EXPECT_EQ(status_param_get(i), 100 + i);
  }
  for (int32_t bad : {10, -1, INT32_MIN, 1000}) {
    EXPECT_EQ(status_param_get(bad), -1);
    EXPECT_EQ(status_param_set(bad, 5), -1);
    EXPECT_EQ(status_param_access(0, bad, 5), -1);
    EXPECT_EQ(status_param_access(1, bad, 5), -1);
  }
  EXPECT_EQ(status_param_access(0, 7, 42), 42);
  EXPECT_EQ(status_param_access(1, 7, 0), 42);
  EXPECT_EQ(status_param_access(2, 7, 9), -1);
  EXPECT_EQ(status_param_get(7), 42);
  for (int32_t i = 0; i < 10; ++i) EXPECT_EQ(status_param_get(i), i == 7 ? 42 : 100 + i);
}

}  // namespace
}  // namespace mirt
