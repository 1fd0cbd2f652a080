// The block-sorting codec below its plugin entry: the transform against a
// plain rotation sort, edge cases of the inverse, blocks past the packed
// inverse's 16 MiB, and damaged headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bwt_codec.h"

namespace mirt::bwt {
namespace {

using Bytes = std::vector<unsigned char>;

struct Sample {
  const char* label;
  Bytes (*make)();
};

Bytes from(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes noise(size_t n, uint32_t seed, unsigned alphabet) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng() % alphabet);
  return b;
}

const Sample kSamples[] = {
    {"one_byte", [] { return Bytes{'x'}; }},
    {"zero_byte", [] { return Bytes{0}; }},
    {"two_equal", [] { return Bytes{255, 255}; }},
    {"two_falling", [] { return Bytes{2, 1}; }},
    {"all_equal", [] { return Bytes(5000, 'a'); }},
    {"all_zero", [] { return Bytes(3000, 0); }},
    {"runs", [] {
       Bytes b;
       for (int r = 1; r < 60; ++r) b.insert(b.end(), static_cast<size_t>(r), static_cast<unsigned char>(r * 37));
       return b;
     }},
    {"periodic", [] { return from(std::string(999, 'a') + "ab" + std::string(64, 'b') + "abababab"); }},
    {"banana", [] { return from("banana"); }},
    {"extremes", [] {
       Bytes b;
       for (int i = 0; i < 700; ++i) b.push_back(i % 3 == 0 ? 0 : 255);
       return b;
     }},
    {"every_byte", [] {
       Bytes b(512);
       std::iota(b.begin(), b.begin() + 256, 0);
       std::iota(b.begin() + 256, b.end(), 0);
       return b;
     }},
    {"random", [] { return noise(20000, 5, 256); }},
    {"small_alphabet", [] { return noise(30000, 6, 4); }},
    // Long enough to be rebuilt in several parts at once.
    {"parts", [] {
       Bytes b = noise(70001, 8, 3);
       for (size_t i = 0; i < b.size(); i += 5) b[i] = 'p';
       return b;
     }},
};

class Transform : public testing::TestWithParam<Sample> {};

// The last column of the sorted rotations of block + end marker (smaller
// than every byte), with the marker left out; and the marker's row.
std::pair<Bytes, uint32_t> rotation_sort(const Bytes& block) {
  const size_t n = block.size() + 1;
  auto at = [&](size_t i) { return i < block.size() ? int{block[i]} : -1; };
  std::vector<size_t> rows(n);
  std::iota(rows.begin(), rows.end(), 0);
  std::sort(rows.begin(), rows.end(), [&](size_t a, size_t b) {
    for (size_t k = 0; k < n; ++k) {
      const int x = at((a + k) % n), y = at((b + k) % n);
      if (x != y) return x < y;
    }
    return false;
  });
  Bytes last;
  uint32_t primary = 0;
  for (size_t r = 0; r < n; ++r) {
    const int c = at((rows[r] + n - 1) % n);
    if (c < 0)
      primary = static_cast<uint32_t>(r);
    else
      last.push_back(static_cast<unsigned char>(c));
  }
  return {last, primary};
}

TEST_P(Transform, MatchesARotationSortAndInverts) {
  const Bytes block = GetParam().make();
  const auto n = static_cast<uint32_t>(block.size());
  Bytes last(n);
  uint32_t starts[kMaxChains] = {};
  const uint32_t primary = forward(block.data(), n, last.data(), starts);
  ASSERT_GE(primary, 1u);
  ASSERT_LE(primary, n);
  if (n <= 5000) {
    const auto expected = rotation_sort(block);
    EXPECT_EQ(last, expected.first);
    EXPECT_EQ(primary, expected.second);
  }
  Bytes back(n, 0xA5);
  ASSERT_TRUE(inverse(last.data(), n, primary, starts, back.data()));
  EXPECT_EQ(back, block);
  // In place, as the decoder does it.
  ASSERT_TRUE(inverse(last.data(), n, primary, starts, last.data()));
  EXPECT_EQ(last, block);
}

TEST_P(Transform, CodecRoundTripsWithinExactBuffers) {
  const Bytes block = GetParam().make();
  const auto n = static_cast<uint32_t>(block.size());
  Bytes stored(n + n / 16 + 64);  // noise grows a little
  const uint32_t m = encode(block.data(), n, stored.data(), static_cast<uint32_t>(stored.size()));
  ASSERT_NE(m, kDeclined);
  stored.resize(m);
  Bytes back(n);
  ASSERT_EQ(decode(stored.data(), m, back.data(), n), n);
  EXPECT_EQ(back, block);
  // One byte less room than the block needs, or one byte less output room.
  if (n > 1) {
    EXPECT_EQ(decode(stored.data(), m, back.data(), n - 1), kFailed);
  }
  if (m > 1) {
    Bytes tight(m - 1);
    EXPECT_EQ(encode(block.data(), n, tight.data(), m - 1), kDeclined);
  }
}

INSTANTIATE_TEST_SUITE_P(Blocks, Transform, testing::ValuesIn(kSamples),
                         [](const testing::TestParamInfo<Sample>& info) {
                           return std::string(info.param.label);
                         });

TEST(BwtInverse, RefusesImpossibleIndexes) {
  const Bytes last = from("annb$aa");
  Bytes out(last.size());
  const auto n = static_cast<uint32_t>(last.size());
  EXPECT_FALSE(inverse(last.data(), n, 0, nullptr, out.data()));
  EXPECT_FALSE(inverse(last.data(), n, n + 1, nullptr, out.data()));
  EXPECT_FALSE(inverse(last.data(), 0, 1, nullptr, out.data()));
  // Any index in range gives some block of the right length.
  for (uint32_t p = 1; p <= n; ++p) EXPECT_TRUE(inverse(last.data(), n, p, nullptr, out.data()));

  // Where parts start: out of range is refused, in range stays inside.
  const Bytes big = noise(100000, 4, 16);
  const auto m = static_cast<uint32_t>(big.size());
  ASSERT_GT(chains_for(m), 1);
  Bytes sorted(m), back(m);
  uint32_t starts[kMaxChains] = {};
  const uint32_t primary = forward(big.data(), m, sorted.data(), starts);
  starts[0] = m;
  EXPECT_FALSE(inverse(sorted.data(), m, primary, starts, back.data()));
  starts[0] = m - 1;
  EXPECT_TRUE(inverse(sorted.data(), m, primary, starts, back.data()));
  EXPECT_NE(back, big);
}

// A stored form whose primary index or length was changed never writes past
// the destination (the plugin's check of the plain block rejects the bytes).
TEST(BwtCodec, DamagedHeaderStaysInsideItsBuffers) {
  const Bytes block = from(std::string(3000, 'q') + "the header names the length and the row");
  const auto n = static_cast<uint32_t>(block.size());
  Bytes stored(n);
  const uint32_t m = encode(block.data(), n, stored.data(), n);
  ASSERT_NE(m, kDeclined);
  stored.resize(m);
  // Header: varint length (2 bytes here), varint primary index.
  ASSERT_EQ(stored[0] & 0x80, 0x80);
  ASSERT_EQ(stored[1] & 0x80, 0);
  constexpr size_t kGuard = 32;
  for (int field = 0; field < 2; ++field) {
    for (unsigned delta : {1u, 2u, 0x7Fu}) {
      Bytes bad = stored;
      const size_t at = field == 0 ? 0 : 2;
      bad[at] = static_cast<unsigned char>((bad[at] & 0x80) | ((bad[at] + delta) & 0x7F));
      Bytes out(n + kGuard, 0xEE);
      const uint32_t got = decode(bad.data(), m, out.data(), n);
      // A wrong length gives another length; a primary index one too high
      // only moves the walk's unused last step, so it may still decode.
      if (field == 0) {
        EXPECT_TRUE(got == kFailed || got < n) << delta;
      } else {
        EXPECT_LE(got, n) << delta;
      }
      EXPECT_TRUE(std::all_of(out.begin() + n, out.end(), [](unsigned char c) { return c == 0xEE; }));
    }
  }
  // Headers that end early or run on forever.
  const Bytes endless(12, 0xFF);
  Bytes out(n);
  EXPECT_EQ(decode(endless.data(), 12, out.data(), n), kFailed);
  EXPECT_EQ(decode(stored.data(), 1, out.data(), n), kFailed);
  EXPECT_EQ(decode(stored.data(), 0, out.data(), n), kFailed);
}

// Past 16 MiB the inverse keeps positions and bytes apart; whole blocks
// are sorted at once, with no internal block limit.
TEST(BwtCodec, LargeBlockRoundTrips) {
  const uint32_t n = (17u << 20) + 333;
  Bytes block(n);
  std::mt19937 rng(11);
  static const char* words[] = {"sorted ", "block ", "of ", "seventeen ", "mebibytes\n", "runs "};
  for (uint32_t i = 0; i < n;) {
    const char* w = words[rng() % 6];
    for (; *w != 0 && i < n; ++w) block[i++] = static_cast<unsigned char>(*w);
  }
  Bytes stored(n / 2);
  const uint32_t m = encode(block.data(), n, stored.data(), n / 2);
  ASSERT_NE(m, kDeclined);
  EXPECT_LT(m, n / 8);
  Bytes back(n);
  ASSERT_EQ(decode(stored.data(), m, back.data(), n), n);
  EXPECT_TRUE(back == block);
}

TEST(BwtCodec, DeclinesWhatItCannotStore) {
  const Bytes block = noise(4096, 9, 256);
  Bytes stored(block.size());
  EXPECT_EQ(encode(block.data(), 4096, stored.data(), 4095), kDeclined);
  EXPECT_EQ(encode(block.data(), 0, stored.data(), 4095), kDeclined);
  EXPECT_EQ(encode(block.data(), 4096, stored.data(), 0), kDeclined);
}

}  // namespace
}  // namespace mirt::bwt
