#include "codec/checksum.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/checksum_kernels.h"

namespace mirt {
namespace {

using detail::AdlerKernel;

const uint8_t* bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

// Byte-at-a-time Adler-32 with the reduction after every byte, as the
// container format defines it; slow but obviously right.
uint32_t reference_adler(uint32_t seed, const uint8_t* p, size_t n) {
  if (seed == 0) seed = 1;
  uint32_t s1 = seed & 0xFFFF;
  uint32_t s2 = seed >> 16;
  for (size_t i = 0; i < n; ++i) {
    s1 += p[i];
    if (s1 >= 65521) s1 -= 65521;
    s2 = (s2 + s1) % 65521;
  }
  return s2 << 16 | s1;
}

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// ---- Fixed values ----------------------------------------------------------

struct Known {
  const char* name;
  uint32_t seed;
  std::vector<uint8_t> data;
  uint32_t adler;
};

class AdlerKnownTest : public ::testing::TestWithParam<Known> {};

TEST_P(AdlerKnownTest, EveryKernel) {
  const Known& k = GetParam();
  EXPECT_EQ(adler32(k.seed, k.data.data(), k.data.size()), k.adler);
  for (AdlerKernel kernel : {AdlerKernel::scalar, AdlerKernel::ssse3, AdlerKernel::avx2}) {
    if (!detail::adler32_kernel_available(kernel)) continue;
    EXPECT_EQ(detail::adler32_using(kernel, k.seed, k.data.data(), k.data.size()), k.adler)
        << "kernel " << static_cast<int>(kernel);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, AdlerKnownTest,
    ::testing::Values(Known{"empty", 0, {}, 0x00000001},
                      Known{"abc", 0, {0x61, 0x62, 0x63}, 0x024D0127},
                      Known{"a", 0, {0x61}, 0x00620062},
                      Known{"seed_one", 1, {0x61, 0x62, 0x63}, 0x024D0127},
                      Known{"zeros8192", 0, std::vector<uint8_t>(8192, 0), 0x20000001},
                      Known{"padded_block", 0, {0x61, 0x62, 0x63, 0, 0, 0, 0, 0}, 0x08100127},
                      Known{"empty_keeps_seed", 0xFFFFFFFF, {}, 0xFFFFFFFF},
                      Known{"wiki", 0, std::vector<uint8_t>(bytes("Wikipedia"), bytes("Wikipedia") + 9),
                            0x11E60398}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Adler32, Continuation) {
  uint32_t ab = adler32(0, bytes("ab"), 2);
  EXPECT_EQ(adler32(ab, bytes("c"), 1), 0x024D0127u);
}

// ---- Against zlib and the byte-at-a-time definition ---------------------

class AdlerKernelTest : public ::testing::TestWithParam<AdlerKernel> {
 protected:
  void SetUp() override {
    if (!detail::adler32_kernel_available(GetParam())) GTEST_SKIP() << "kernel not available here";
  }
  uint32_t run(uint32_t seed, const uint8_t* p, size_t n) {
    return detail::adler32_using(GetParam(), seed, p, n);
  }
};

TEST_P(AdlerKernelTest, MatchesZlibOverLengthsAlignmentsAndSeeds) {
  std::mt19937 rng(12345);
  std::vector<uint8_t> buf = random_bytes(rng, 3 * 5552 + 200);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {511, 512, 513, 1023, 1024, 4095, 4096, 5520, 5535, 5536, 5551, 5552, 5553, 5584,
                   5585, 11103, 11104, 11105, 3 * 5552 + 100})
    lengths.push_back(n);
  for (size_t n : lengths) {
    for (size_t align = 0; align < 64; align += (n < 64 ? 1 : 7)) {
      // A running value as zlib would leave it, including the ends of the range.
      uint32_t seeds[] = {0, 1, adler32(0, buf.data() + 50, rng() % 40),
                          65520u << 16 | 65520u, 65520u, 65520u << 16 | 1u};
      for (uint32_t seed : seeds) {
        uLong zseed = seed == 0 ? 1 : seed;
        uint32_t want = static_cast<uint32_t>(::adler32(zseed, buf.data() + align, static_cast<uInt>(n)));
        ASSERT_EQ(run(seed, buf.data() + align, n), want)
            << "length " << n << " alignment " << align << " seed " << std::hex << seed;
      }
    }
  }
}

TEST_P(AdlerKernelTest, RandomRunsMatchZlib) {
  std::mt19937 rng(777);
  std::vector<uint8_t> buf = random_bytes(rng, 1 << 20);
  uLong z = 1;
  uint32_t m = 0;
  size_t pos = 0;
  while (pos < buf.size()) {
    size_t n = std::min<size_t>(buf.size() - pos, rng() % 70000);
    z = ::adler32(z, buf.data() + pos, static_cast<uInt>(n));
    m = run(m, buf.data() + pos, n);
    ASSERT_EQ(m, static_cast<uint32_t>(z)) << "after " << pos + n << " bytes";
    pos += n;
  }
}

TEST_P(AdlerKernelTest, AllOnesWorstCaseDoesNotOverflow) {
  // 0xFF bytes from the largest reduced sums push every accumulator to
  // its limit before the reduction.
  std::vector<uint8_t> ones(1 << 20, 0xFF);
  for (size_t n : {size_t{5552}, size_t{5553}, size_t{65536}, ones.size()}) {
    uint32_t seed = 65520u << 16 | 65520u;
    EXPECT_EQ(run(seed, ones.data(), n), static_cast<uint32_t>(::adler32(seed, ones.data(), static_cast<uInt>(n))))
        << n;
  }
}

TEST_P(AdlerKernelTest, UnreducedSeedsAreReducedFirst) {
  // Seeds no Adler-32 produces (halves at or above 65521) behave as if the
  // sums were reduced after the first byte, as the byte-wise definition does.
  std::mt19937 rng(99);
  std::vector<uint8_t> buf = random_bytes(rng, 20000);
  for (uint32_t seed : {0xFFFFFFFFu, 0xFFF1FFF1u, 0x0000FFFFu, 0xFFFF0000u, 0x12345678u}) {
    for (size_t n : {size_t{1}, size_t{2}, size_t{17}, size_t{100}, size_t{5552}, size_t{20000}}) {
      EXPECT_EQ(run(seed, buf.data(), n), reference_adler(seed, buf.data(), n))
          << std::hex << seed << std::dec << " length " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, AdlerKernelTest,
                         ::testing::Values(AdlerKernel::scalar, AdlerKernel::ssse3, AdlerKernel::avx2),
                         [](const auto& info) {
                           switch (info.param) {
                             case AdlerKernel::ssse3: return std::string("ssse3");
                             case AdlerKernel::avx2: return std::string("avx2");
                             default: return std::string("scalar");
                           }
                         });

TEST(Adler32, DispatchedMatchesReference) {
  std::mt19937 rng(5);
  std::vector<uint8_t> buf = random_bytes(rng, 100000);
  for (size_t n : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{99999}})
    EXPECT_EQ(adler32(0, buf.data() + 1, n), reference_adler(0, buf.data() + 1, n)) << n;
}

// ---- Combine ---------------------------------------------------------------

TEST(Adler32Combine, EqualsOnePass) {
  std::mt19937 rng(4242);
  std::vector<uint8_t> buf = random_bytes(rng, 300000);
  for (int round = 0; round < 300; ++round) {
    size_t total = rng() % buf.size();
    size_t split = total == 0 ? 0 : rng() % (total + 1);
    if (round % 10 == 0) split = 0;
    if (round % 10 == 1) split = total;
    uint32_t a = adler32(0, buf.data(), split);
    uint32_t b = adler32(0, buf.data() + split, total - split);
    uint32_t whole = adler32(0, buf.data(), total);
    ASSERT_EQ(adler32_combine(a, b, total - split), whole) << split << " + " << total - split;
    ASSERT_EQ(adler32_combine(a, b, total - split),
              static_cast<uint32_t>(::adler32_combine64(a, b, static_cast<z_off64_t>(total - split))));
  }
}

TEST(Adler32Combine, ZeroMeansNothingYet) {
  const uint8_t* abc = bytes("abc");
  uint32_t whole = adler32(0, abc, 3);
  // A running value that never saw a byte is 0 and counts as the empty input.
  EXPECT_EQ(adler32_combine(0, whole, 3), whole);
  EXPECT_EQ(adler32_combine(whole, 0, 0), whole);
  EXPECT_EQ(adler32_combine(0, 0, 0), 1u);
  EXPECT_EQ(adler32_combine(adler32(0, abc, 2), adler32(0, abc + 2, 1), 1), whole);
}

TEST(Adler32Combine, LongSecondPart) {
  // B's length enters modulo 65521; lengths past it and past 4 GiB wrap.
  std::vector<uint8_t> zeros(200000, 0);
  uint32_t a = adler32(0, bytes("xyz"), 3);
  for (size_t n : {size_t{65520}, size_t{65521}, size_t{65522}, size_t{131042}, size_t{200000}}) {
    uint32_t b = adler32(0, zeros.data(), n);
    EXPECT_EQ(adler32_combine(a, b, n), adler32(a, zeros.data(), n)) << n;
  }
  uint64_t huge = (uint64_t{1} << 40) + 12345;
  EXPECT_EQ(adler32_combine(a, 0x12340001u, huge),
            static_cast<uint32_t>(::adler32_combine64(a, 0x12340001u, static_cast<z_off64_t>(huge))));
}

}  // namespace
}  // namespace mirt
