#include "cli/options.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/process_state.h"

namespace mirt {
namespace {

struct NameCase {
  const char* input;
  int mode;
  const char* suffix;
  std::optional<std::string> expected;
};

class DeriveOutputNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(DeriveOutputNameTest, DerivesName) {
  const NameCase& c = GetParam();
  EXPECT_EQ(derive_output_name(c.input, c.mode, c.suffix), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DeriveOutputNameTest,
    ::testing::Values(NameCase{"data", kModeCompress, ".mrt", "data.mrt"},
                      NameCase{"data.mrt", kModeCompress, ".mrt", "data.mrt.mrt"},
                      NameCase{"file", kModeCompress, ".bin", "file.bin"},
                      NameCase{"-", kModeCompress, ".mrt", "-.mrt"},
                      NameCase{"data.mrt", kModeDecompress, ".mrt", "data"},
                      NameCase{"data.exe", kModeDecompress, ".mrt", "data"},
                      NameCase{"data.bin", kModeDecompress, ".mrt", "data"},
                      NameCase{"x.bz2", kModeDecompress, ".mrt", "x"},
                      NameCase{"x.tbz2", kModeDecompress, ".mrt", "x"},
                      NameCase{"data.tgz", kModeDecompress, ".mrt", "data"},
                      NameCase{"a.b.gz", kModeDecompress, ".mrt", "a.b"},
                      NameCase{"dir.d/f.gz", kModeDecompress, ".mrt", "dir.d/f"},
                      NameCase{".mrt", kModeDecompress, ".mrt", ""},
                      NameCase{"x.txt", kModeDecompress, ".mrt", std::nullopt},
                      NameCase{"X.MRT", kModeDecompress, ".mrt", std::nullopt},
                      NameCase{"mrt", kModeDecompress, ".mrt", std::nullopt},
                      NameCase{"data.mrt", kModeStatistics, ".mrt", std::nullopt},
                      NameCase{"data", kModeListOnly, ".mrt", std::nullopt},
                      NameCase{nullptr, kModeCompress, ".mrt", std::nullopt}));

class ParseDecimalTest : public ::testing::TestWithParam<std::pair<const char*, uint32_t>> {};

TEST_P(ParseDecimalTest, Parses) {
  EXPECT_EQ(parse_decimal(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseDecimalTest,
    ::testing::Values(std::pair<const char*, uint32_t>{"8192", 8192u},
                      std::pair<const char*, uint32_t>{"0", 0u},
                      std::pair<const char*, uint32_t>{"", 0u},
                      std::pair<const char*, uint32_t>{nullptr, 0u},
                      std::pair<const char*, uint32_t>{"1.5", 1u},
                      std::pair<const char*, uint32_t>{".5", 0u},
                      std::pair<const char*, uint32_t>{"1a", 59u},
                      std::pair<const char*, uint32_t>{"-1", 4294967267u},
                      std::pair<const char*, uint32_t>{"4294967296", 0u},
                      std::pair<const char*, uint32_t>{"99999999999", 1215752191u},
                      std::pair<const char*, uint32_t>{"2147483646", 2147483646u},
                      std::pair<const char*, uint32_t>{"3000000000", 3000000000u}));

TEST(NameKeyTest, PacksUpToFourBytesLowFirst) {
  EXPECT_EQ(name_key("list", ' '), 0x7473696Cu);
  EXPECT_EQ(name_key("ab", ' '), 0x6261u);
  EXPECT_EQ(name_key("", ' '), 0u);
  EXPECT_EQ(name_key(nullptr, ' '), 0u);
}

TEST(NameKeyTest, StopsAtStopCharacterAndAfterFourBytes) {
  EXPECT_EQ(name_key("ab cd", ' '), name_key("ab", ' '));
  EXPECT_EQ(name_key("serpentine", ' '), name_key("serpent", ' '));
  EXPECT_EQ(name_key("list all", ' '), name_key("list", ' '));
  EXPECT_NE(name_key("lis", ' '), name_key("list", ' '));
  EXPECT_EQ(name_key("a,b", ','), name_key("a", ' '));
}

// ---- Block size: -b and the blocksize directive ------------------------------
// -b takes what parse_decimal gives (so it wraps modulo 2^32) up to
// 2147483646 and ignores anything larger; the directive takes any value.

struct BlockSizeCase {
  std::vector<std::string> args;
  uint32_t expected;
};

class BlockSizeOptionTest : public ::testing::TestWithParam<BlockSizeCase> {
 protected:
  void SetUp() override { test::reset_process_state(); }
  void TearDown() override { test::reset_process_state(); }
};

TEST_P(BlockSizeOptionTest, SettlesOnExpectedSize) {
  test::Argv argv(GetParam().args);
  CommandLine line;
  EXPECT_EQ(parse_options(argv.argc(), argv.argv(), line), std::nullopt);
  EXPECT_EQ(line.settings.algorithms.block_size.fixed, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, BlockSizeOptionTest,
    ::testing::Values(BlockSizeCase{{"-b", "8192"}, 8192u},
                      BlockSizeCase{{"-b", "2147483646"}, 2147483646u},
                      BlockSizeCase{{"-b", "8192", "-b", "2147483647"}, 8192u},
                      BlockSizeCase{{"-b", "3000000000"}, 0u},
                      BlockSizeCase{{"-b", "99999999999"}, 1215752191u},  // wrapped, then taken
                      BlockSizeCase{{"-b", "4294967296"}, 0u},
                      BlockSizeCase{{"-b", "1024.9"}, 1024u},
                      BlockSizeCase{{"-M", "blocksize 3000000000"}, 3000000000u},
                      BlockSizeCase{{"-M", "blocksize 1024.9"}, 1024u},
                      BlockSizeCase{{"-b", "1024", "-M", "blocksize 4294967296"}, 0u},
                      BlockSizeCase{{"-M", "blocksize 4096", "-b", "3000000000"}, 4096u}));

}  // namespace
}  // namespace mirt
