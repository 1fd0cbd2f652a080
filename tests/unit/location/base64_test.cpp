#include "location/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mirt {
namespace {

class Base64Test : public ::testing::Test {
 protected:
  void SetUp() override { bits_reset(); }
  void TearDown() override { bits_reset(); }
};

std::string encode(const std::string& bytes, size_t* length_out = nullptr) {
  size_t length = bytes.size();
  auto text = base64_encode(reinterpret_cast<const uint8_t*>(bytes.data()), length);
  EXPECT_TRUE(text.has_value());
  if (length_out != nullptr) *length_out = length;
  return text.value_or("");
}

std::string decode(const char* text) {
  auto bytes = base64_decode(text);
  EXPECT_TRUE(bytes.has_value());
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

struct Vector {
  std::string plain;
  std::string encoded;
};

class Base64VectorTest : public Base64Test, public ::testing::WithParamInterface<Vector> {};

TEST_P(Base64VectorTest, EncodesAndDecodes) {
  size_t length = 0;
  EXPECT_EQ(encode(GetParam().plain, &length), GetParam().encoded);
  EXPECT_EQ(length, GetParam().encoded.size());
  EXPECT_EQ(decode(GetParam().encoded.c_str()), GetParam().plain);
  EXPECT_EQ(bits_count(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc4648, Base64VectorTest,
    ::testing::Values(Vector{"", ""}, Vector{"f", "Zg=="}, Vector{"fo", "Zm8="},
                      Vector{"foo", "Zm9v"}, Vector{"foob", "Zm9vYg=="},
                      Vector{"fooba", "Zm9vYmE="}, Vector{"foobar", "Zm9vYmFy"},
                      Vector{std::string("\xff\xfe\x00\x80", 4), "//4AgA=="},
                      Vector{"user:password", "dXNlcjpwYXNzd29yZA=="}));

TEST_F(Base64Test, EncodeStringLeavesOutTheTerminator) {
  EXPECT_EQ(base64_encode_string("me:").value_or("?"), "bWU6");
}

TEST_F(Base64Test, DecodeSkipsCharactersOutsideTheAlphabetAndStopsAtPadding) {
  EXPECT_EQ(decode("Zm9v\r\nYm Fy"), "foobar");
  EXPECT_EQ(decode("Zm*9v!"), "foo");
  EXPECT_EQ(decode("Zg==Zm9v"), "f");
  EXPECT_EQ(decode("Zg"), "f");  // missing padding
  EXPECT_EQ(decode("Z"), "");    // six bits make no byte
}

TEST_F(Base64Test, PutNeverLosesHighBits) {
  bits_put(5, 2);
  EXPECT_EQ(bits_count(), 3);
  EXPECT_EQ(bits_take(3), 5u);
  bits_put(0, 0);
  EXPECT_EQ(bits_count(), 0);
}

TEST_F(Base64Test, PutThatDoesNotFitIsDropped) {
  bits_put(0x2AAAAAAA, 30);
  bits_put(0xFF, 8);
  EXPECT_EQ(bits_count(), 30);
  EXPECT_EQ(bits_take(30), 0x2AAAAAAAu);
}

TEST_F(Base64Test, TakeIsCutToWhatIsPending) {
  bits_put(0xB, 4);
  EXPECT_EQ(bits_take(10), 0xBu);
  EXPECT_EQ(bits_count(), 0);
  EXPECT_EQ(bits_take(5), 0u);
}

TEST_F(Base64Test, BitsComeOutInTheOrderTheyWentIn) {
  bits_put(0xDEADBEEF, 32);
  EXPECT_EQ(bits_take(4), 0xDu);
  EXPECT_EQ(bits_take(28), 0xEADBEEFu);
  bits_put(1, 1);
  bits_put(0, 3);
  bits_put(0x3, 2);
  EXPECT_EQ(bits_take(6), 0x23u);
}

TEST_F(Base64Test, PendingBitsSurviveEncodingAndDecoding) {
  bits_put(5, 3);
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(bits_count(), 3);
  EXPECT_EQ(decode("Zm9vYg=="), "foob");
  EXPECT_EQ(bits_count(), 3);
  EXPECT_EQ(bits_take(3), 5u);
}

}  // namespace
}  // namespace mirt
