#include "codec/tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec_test_util.h"

namespace mirt {
namespace {

using testing::Capture;

uint32_t fake_algorithm(uint32_t mode, void*, const unsigned char* src, unsigned char* dst,
                        uint32_t len, uint32_t) {
  if (mode != 1 && mode != 2) return static_cast<uint32_t>(-1);
  std::memcpy(dst, src, len);
  return len;
}

uint32_t other_algorithm(uint32_t, void*, const unsigned char*, unsigned char*, uint32_t,
                         uint32_t) {
  return 7;
}

int32_t fake_cipher(const unsigned char*, unsigned char*, uint32_t len, unsigned char*,
                    int32_t) {
  return static_cast<int32_t>(len);
}

class TablesTest : public ::testing::Test {
 protected:
  void SetUp() override { tables_reset(); }
  void TearDown() override { tables_reset(); }
};

TEST_F(TablesTest, InitialAlgorithmTable) {
  EXPECT_EQ(algorithm_entry(0), copy_algorithm);
  EXPECT_STREQ(algorithm_name(0), "Uncompressed");
  EXPECT_STREQ(algorithm_name(9), "Bzip2 Compression");
  EXPECT_STREQ(algorithm_name(15), "Unsupported Algorithm (comp_lzota)");
  for (int slot = 1; slot <= 15; ++slot) {
    EXPECT_EQ(algorithm_entry(slot), unavailable_algorithm) << slot;
    EXPECT_FALSE(algorithm_available(slot)) << slot;
  }
  for (int slot = 16; slot <= 255; ++slot) {
    EXPECT_EQ(algorithm_entry(slot), nullptr) << slot;
    EXPECT_EQ(algorithm_name(slot), nullptr) << slot;
  }
  EXPECT_TRUE(algorithm_available(0));
  EXPECT_EQ(highest_available_algorithm(), 0);
}

TEST_F(TablesTest, InitialCipherTable) {
  const char* names[] = {"chaos", "subst", "serpent", "psubst"};
  for (int slot = 0; slot < 4; ++slot) {
    EXPECT_STREQ(cipher_name(slot), names[slot]);
    EXPECT_NE(cipher_entry(slot), nullptr);
    EXPECT_FALSE(cipher_available(slot));
  }
  EXPECT_EQ(cipher_entry(4), nullptr);
  EXPECT_EQ(cipher_name(4), nullptr);
  EXPECT_FALSE(cipher_available(-1));
  EXPECT_FALSE(cipher_available(5));
}

TEST_F(TablesTest, CopyAlgorithmCopiesAndRejectsOtherModes) {
  const unsigned char src[] = {1, 2, 3};
  unsigned char dst[3] = {};
  EXPECT_EQ(copy_algorithm(1, nullptr, src, dst, 3, 0), 3u);
  EXPECT_EQ(0, std::memcmp(src, dst, 3));
  EXPECT_EQ(copy_algorithm(2, nullptr, src, dst, 3, 0), 3u);
  Capture out(1);
  EXPECT_EQ(copy_algorithm(5, nullptr, src, dst, 3, 6), static_cast<uint32_t>(-1));
  EXPECT_EQ(out.text(), "Unsupported mode: 5\n");
}

TEST_F(TablesTest, StubDeclinesAndWarnsOnStdout) {
  const unsigned char src[] = {1};
  unsigned char dst[1] = {};
  {
    Capture out(1);
    EXPECT_EQ(unavailable_algorithm(1, nullptr, src, dst, 1, 2), static_cast<uint32_t>(-1));
    EXPECT_EQ(out.text(), "");
  }
  {
    Capture out(1);
    EXPECT_EQ(unavailable_algorithm(2, nullptr, src, dst, 1, 1), 0u);
    EXPECT_EQ(out.text(),
              "You tried to decompress a file with an algorithm that is not compiled into your "
              "version.  Output will be unusable.\n");
  }
  {
    Capture out(1);
    EXPECT_EQ(unavailable_algorithm(0, nullptr, src, dst, 1, 1), static_cast<uint32_t>(-1));
    EXPECT_EQ(out.text(), "Unsupported mode: 0\n");
  }
}

TEST_F(TablesTest, DecompressBlockLookup) {
  const uint8_t src[] = {9, 8};
  uint8_t dst[2] = {};
  EXPECT_EQ(decompress_block(0, src, 2, dst, 2), 2u);
  EXPECT_EQ(dst[0], 9);
  {
    Capture out(1);
    EXPECT_EQ(decompress_block(3, src, 2, dst, 2), 0u);
    EXPECT_NE(out.text().find("not compiled into your version"), std::string::npos);
  }
  {
    Capture err(2);
    EXPECT_EQ(decompress_block(200, src, 2, dst, 2), 0u);
    EXPECT_EQ(err.text(), "mirt: Algorithm unavailble.\n");
  }
  {
    Capture err(2);
    Capture out(1);
    EXPECT_EQ(decompress_block(255, src, 2, dst, 2), 0u);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
  }
}

TEST_F(TablesTest, InstallOnlyIntoEmptyOrStubSlots) {
  EXPECT_TRUE(algorithm_install(9, fake_algorithm, "fake nine"));
  EXPECT_STREQ(algorithm_name(9), "fake nine");
  EXPECT_TRUE(algorithm_available(9));
  EXPECT_FALSE(algorithm_install(9, other_algorithm, "again"));
  EXPECT_EQ(algorithm_entry(9), fake_algorithm);
  EXPECT_FALSE(algorithm_install(0, fake_algorithm, "copy"));
  EXPECT_FALSE(algorithm_install(255, fake_algorithm, "marker"));
  EXPECT_FALSE(algorithm_available(255));
  EXPECT_TRUE(algorithm_install(200, fake_algorithm, "two hundred"));
  EXPECT_EQ(highest_available_algorithm(), 200);
}

TEST_F(TablesTest, DisableKeepsNameAndAllowsRefill) {
  algorithm_disable(0);
  EXPECT_STREQ(algorithm_name(0), "Uncompressed");
  EXPECT_FALSE(algorithm_available(0));
  EXPECT_EQ(highest_available_algorithm(), 0);
  EXPECT_TRUE(algorithm_install(0, fake_algorithm, "refilled"));
  EXPECT_TRUE(algorithm_available(0));
  algorithm_disable(255);  // the end marker never holds anything
  EXPECT_EQ(algorithm_entry(255), nullptr);
}

TEST_F(TablesTest, RestrictEmptiesAllButChosenAndSlotZero) {
  ASSERT_TRUE(algorithm_install(1, fake_algorithm, "one"));
  ASSERT_TRUE(algorithm_install(5, fake_algorithm, "five"));
  algorithm_restrict(5);
  EXPECT_EQ(algorithm_entry(1), nullptr);
  EXPECT_EQ(algorithm_name(1), nullptr);
  EXPECT_TRUE(algorithm_available(5));
  EXPECT_TRUE(algorithm_available(0));
  EXPECT_EQ(algorithm_entry(2), nullptr);
  algorithm_restrict(0);
  EXPECT_EQ(highest_available_algorithm(), 0);
  EXPECT_EQ(algorithm_entry(5), nullptr);
}

TEST_F(TablesTest, CipherInstall) {
  EXPECT_TRUE(cipher_install(4, fake_cipher, "fifth"));
  EXPECT_TRUE(cipher_available(4));
  EXPECT_STREQ(cipher_name(4), "fifth");
  EXPECT_FALSE(cipher_install(4, fake_cipher, "again"));
  EXPECT_TRUE(cipher_install(0, fake_cipher, "chaos"));
  EXPECT_TRUE(cipher_available(0));
  EXPECT_FALSE(cipher_install(5, fake_cipher, "out of range"));
}

TEST_F(TablesTest, ResetRestoresInitialContents) {
  algorithm_install(20, fake_algorithm, "x");
  algorithm_disable(0);
  cipher_install(4, fake_cipher, "y");
  tables_reset();
  EXPECT_EQ(algorithm_entry(20), nullptr);
  EXPECT_TRUE(algorithm_available(0));
  EXPECT_EQ(cipher_entry(4), nullptr);
}

}  // namespace
}  // namespace mirt
