#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace mirt {
namespace {

struct ShownCase {
  std::string text;
  std::string shown;
};

class ShownTextTest : public ::testing::TestWithParam<ShownCase> {};

// Control bytes and broken UTF-8 are escaped; printable text is not.
TEST_P(ShownTextTest, EscapesWhatCouldDriveATerminal) {
  EXPECT_EQ(shown_text(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShownTextTest,
    ::testing::Values(
        ShownCase{"plain text, with \\ and ~", "plain text, with \\ and ~"},
        ShownCase{"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},
        ShownCase{"\x1b[2J\r\n\t\x7f", "\\x1b[2J\\x0d\\x0a\\x09\\x7f"},
        ShownCase{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc2\xa0", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc2\xa0"},
        // C1 controls, 8-bit CSI, overlong forms, surrogates, cut sequences.
        ShownCase{"\xc2\x9b" "2J", "\\xc2\\x9b2J"},
        ShownCase{"\x9b" "2J", "\\x9b2J"},
        ShownCase{"\xc0\x9b \xe0\x80\x9b", "\\xc0\\x9b \\xe0\\x80\\x9b"},
        ShownCase{"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        ShownCase{"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        ShownCase{"end\xe2\x82", "end\\xe2\\x82"}));

}  // namespace
}  // namespace mirt
