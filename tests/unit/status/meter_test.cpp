#include "status/meter.h"

#include <gtest/gtest.h>

#include <string>

namespace mirt {
namespace {

constexpr uint64_t kMiB = 1 << 20;

struct LineCase {
  const char* what;
  MeterView view;
  size_t width;
  const char* line;
};

class MeterLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(MeterLineTest, FieldsFitTheWidth) {
  const LineCase& c = GetParam();
  const std::string line = meter_line(c.view, c.width);
  EXPECT_EQ(line, c.line) << c.what;
  EXPECT_LE(line.size(), c.width) << c.what;
}

const MeterView kHalf{"a.tar", 5 * kMiB, 10 * kMiB, 4 * kMiB, kMiB, 2.0};
const MeterView kPipe{"(standard input)", 5 * kMiB, 0, 4 * kMiB, kMiB, 2.0};
const MeterView kLongName{"backups/2026/december/home.tar", 5 * kMiB, 10 * kMiB, 0, 0, 2.0};

INSTANTIATE_TEST_SUITE_P(
    Table, MeterLineTest,
    ::testing::Values(
        LineCase{"known total", kHalf, 79,
                 "a.tar  5.0 MiB / 10.0 MiB  50%  2.0 s left  2.5 MiB/s  4.00:1"},
        LineCase{"pipe: bytes so far, no percent or time", kPipe, 79,
                 "(standard input)  5.0 MiB  2.5 MiB/s  4.00:1"},
        LineCase{"no block finished yet: no ratio", kLongName, 79,
                 "backups/2026/december/home.tar  5.0 MiB / 10.0 MiB  50%  2.0 s left  2.5 MiB/s"},
        LineCase{"ratio and speed go first", kHalf, 45, "a.tar  5.0 MiB / 10.0 MiB  50%  2.0 s left"},
        LineCase{"then the name is shortened from the front", kLongName, 48,
                 "...home.tar  5.0 MiB / 10.0 MiB  50%  2.0 s left"},
        LineCase{"a name too short to tell is left out", kHalf, 24, "5.0 MiB / 10.0 MiB  50%"},
        LineCase{"then the total", kHalf, 16, "5.0 MiB  50%"},
        LineCase{"then cut", kHalf, 5, "5.0 M"},
        LineCase{"more than announced stays at the total",
                 MeterView{"g", 11 * kMiB, 10 * kMiB, 0, 0, 0}, 79, "g  10.0 MiB / 10.0 MiB  100%"},
        LineCase{"nothing yet", MeterView{"e", 0, 0, 0, 0, 0}, 79, "e  0 B"}));

TEST(MeterSummaryTest, SizesRatioAndTimeInTheDirectionOfTheWork) {
  EXPECT_EQ(meter_summary("a", 10 * kMiB, 5 * kMiB / 2, 83, false),
            "a: 10.0 MiB -> 2.5 MiB (4.00:1) in 1:23");
  EXPECT_EQ(meter_summary("a.mrt", 5 * kMiB / 2, 10 * kMiB, 0.5, true),
            "a.mrt: 2.5 MiB -> 10.0 MiB (4.00:1) in 0.5 s");
  EXPECT_EQ(meter_summary("empty", 0, 40, 3725, false), "empty: 0 B -> 40 B in 1:02:05");
}

}  // namespace
}  // namespace mirt
