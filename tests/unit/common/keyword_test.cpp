#include "common/keyword.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace mirt {
namespace {

const uint8_t* bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

TEST(ElfHash, KnownValues) {
  EXPECT_EQ(elf_hash(0, nullptr, 0), 0u);
  EXPECT_EQ(elf_hash(0x1234, nullptr, 0), 0x1234u);
  EXPECT_EQ(elf_hash(0, bytes("abc"), 3), 0x00006783u);
  EXPECT_EQ(elf_hash(elf_hash(0, bytes("ab"), 2), bytes("c"), 1), 0x00006783u);
  std::vector<uint8_t> zeros(8192, 0);
  EXPECT_EQ(elf_hash(0, zeros.data(), zeros.size()), 0u);
  EXPECT_EQ(elf_hash("ftp"), 28080u);
  EXPECT_EQ(elf_hash("HOME"), 316437u);
  EXPECT_EQ(elf_hash(""), 0u);
  EXPECT_EQ(elf_hash(nullptr), 0u);
  EXPECT_EQ(elf_hash("http"), elf_hash(0, bytes("http"), 4));
  EXPECT_EQ(elf_hash4("HOME/rest"), elf_hash("HOME"));
}

TEST(ElfHash, TopBitsClearAfterAByte) {
  std::mt19937 rng(3);
  for (int i = 0; i < 1000; ++i) {
    std::vector<uint8_t> data(1 + rng() % 64);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    uint32_t seed = static_cast<uint32_t>(rng());
    EXPECT_EQ(elf_hash(seed, data.data(), data.size()) & 0xF0000000u, 0u);
  }
}

struct Word {
  const char* name;
  int value;
};

TEST(FindKeyword, FirstEntryWithTheKeyWins) {
  constexpr Word kWords[] = {{"module", 1}, {"use_module", 2}, {"module", 3}};
  ASSERT_NE(find_keyword(kWords, elf_hash("module")), nullptr);
  EXPECT_EQ(find_keyword(kWords, elf_hash("module"))->value, 1);
  EXPECT_EQ(find_keyword(kWords, elf_hash("use_module"))->value, 2);
  EXPECT_EQ(find_keyword(kWords, elf_hash("Module")), nullptr);
  EXPECT_EQ(find_keyword(kWords, elf_hash4("use_")), nullptr);
}

}  // namespace
}  // namespace mirt
