#include "common/ascii.h"

#include <gtest/gtest.h>

namespace mirt {
namespace {

TEST(LowercaseString, AsciiOnly) {
  char text[] = "MiXeD 123 @[`{ \xC9\xE9 Z";
  lowercase_string(text);
  EXPECT_STREQ(text, "mixed 123 @[`{ \xC9\xE9 z");
  char empty[] = "";
  lowercase_string(empty);
  EXPECT_STREQ(empty, "");
  lowercase_string(nullptr);
  EXPECT_EQ(lowercase_copy("Linux \xC9X"), "linux \xC9x");
  EXPECT_EQ(lowercase_copy(nullptr), "");
}

struct FoldCase {
  const char* text;
  const char* lower;
  bool starts;
  bool equals;
};

TEST(FoldedComparison, PrefixAndWhole) {
  const FoldCase cases[] = {
      {"Content-Length: 5", "content-length:", true, false},
      {"CONTENT-LENGTH:", "content-length:", true, true},
      {"Content-Lengt", "content-length:", false, false},
      {"HTTP", "http", true, true},
      {"HTTPS", "http", true, false},
      {"\xC8TTP", "\xE8ttp", false, false},  // no folding above 127
      {"", "", true, true},
  };
  for (const FoldCase& c : cases) {
    EXPECT_EQ(starts_with_lower(c.text, c.lower), c.starts) << c.text;
    EXPECT_EQ(equals_lower(c.text, c.lower), c.equals) << c.text;
  }
}

}  // namespace
}  // namespace mirt
