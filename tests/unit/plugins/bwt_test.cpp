// The block-sorting codec below its plugin entry: the transform against a
// plain rotation sort, edge cases of the inverse, both stored forms, the
// same bytes for every thread count, the long-repeat pass and its damaged
// forms, blocks past the packed inverse's 16 MiB, and damaged headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bwt_codec.h"
#include "common/plugin.h"
#include "support/thread_context.h"

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
    // Long repeats, with the rarest byte (the escape) inside them too.
    {"repeated_text", [] {
       Bytes b;
       const Bytes unit = noise(700, 12, 256);
       for (int k = 0; k < 12; ++k) {
         b.insert(b.end(), unit.begin(), unit.end());
         b.push_back(static_cast<unsigned char>(k));
       }
       return b;
     }},
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

unsigned char identity_byte[256];
const bool identity_ready = [] {
  std::iota(identity_byte, identity_byte + 256, 0);
  return true;
}();

TEST_P(Transform, MatchesARotationSortAndInverts) {
  const Bytes block = GetParam().make();
  const auto n = static_cast<uint32_t>(block.size());
  const auto expected = n <= 5000 ? rotation_sort(block) : std::pair<Bytes, uint32_t>();
  for (const Form form : {Form::kFirst, Form::kParts}) {
    Bytes last(n);
    uint32_t starts[kMaxChains] = {};
    const uint32_t primary = forward(block.data(), n, last.data(), starts, form);
    ASSERT_GE(primary, 1u);
    ASSERT_LE(primary, n);
    if (n <= 5000) {
      EXPECT_EQ(last, expected.first);
      EXPECT_EQ(primary, expected.second);
    }
    // Into another buffer, on two threads, then in place as the decoder does it.
    test::ThreadContext two(2);
    Bytes back(n, 0xA5);
    ASSERT_TRUE(inverse(last.data(), n, primary, starts, form, identity_byte, back.data(), Tasks(two.get())));
    EXPECT_EQ(back, block);
    ASSERT_TRUE(inverse(last.data(), n, primary, starts, form, identity_byte, last.data()));
    EXPECT_EQ(last, block);
  }
}

// Both forms, within exact buffers: one byte less room for the block or
// for the stored form fails.
TEST_P(Transform, CodecRoundTripsWithinExactBuffers) {
  const Bytes block = GetParam().make();
  const auto n = static_cast<uint32_t>(block.size());
  for (const Form form : {Form::kFirst, Form::kParts}) {
    Bytes stored(n + n / 16 + 64);  // noise grows a little
    const uint32_t m = encode(block.data(), n, stored.data(), static_cast<uint32_t>(stored.size()), Tasks(), form);
    ASSERT_NE(m, kDeclined);
    stored.resize(m);
    Bytes back(n);
    ASSERT_EQ(decode(stored.data(), m, back.data(), n), n);
    EXPECT_EQ(back, block);
    if (n > 1) {
      EXPECT_EQ(decode(stored.data(), m, back.data(), n - 1), kFailed);
    }
    if (m > 1) {
      Bytes tight(m - 1);
      EXPECT_EQ(encode(block.data(), n, tight.data(), m - 1, Tasks(), form), kDeclined);
    }
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
  const Form form = Form::kParts;
  EXPECT_FALSE(inverse(last.data(), n, 0, nullptr, form, identity_byte, out.data()));
  EXPECT_FALSE(inverse(last.data(), n, n + 1, nullptr, form, identity_byte, out.data()));
  EXPECT_FALSE(inverse(last.data(), 0, 1, nullptr, form, identity_byte, out.data()));
  // Any index in range gives some block of the right length.
  for (uint32_t p = 1; p <= n; ++p) EXPECT_TRUE(inverse(last.data(), n, p, nullptr, form, identity_byte, out.data()));

  // Where parts start: out of range is refused, in range stays inside.
  const Bytes big = noise(100000, 4, 16);
  const auto m = static_cast<uint32_t>(big.size());
  ASSERT_GT(chains_for(m, form), 1);
  Bytes sorted(m), back(m);
  uint32_t starts[kMaxChains] = {};
  const uint32_t primary = forward(big.data(), m, sorted.data(), starts, form);
  starts[0] = m;
  EXPECT_FALSE(inverse(sorted.data(), m, primary, starts, form, identity_byte, back.data()));
  starts[0] = m - 1;
  EXPECT_TRUE(inverse(sorted.data(), m, primary, starts, form, identity_byte, back.data()));
  EXPECT_NE(back, big);
}

// Decodes into a destination with guard bytes behind it: a damaged form
// is refused or gives some block, never writes past the destination (the
// plugin's check of the plain block rejects wrong bytes).
void decode_stays_inside(const Bytes& stored, uint32_t n, const std::string& what) {
  constexpr size_t kGuard = 32;
  Bytes out(n + kGuard, 0xEE);
  test::ThreadContext two(2);
  const uint32_t got = decode(stored.data(), static_cast<uint32_t>(stored.size()), out.data(), n, Tasks(two.get()));
  EXPECT_TRUE(got == kFailed || got <= n) << what;
  EXPECT_TRUE(std::all_of(out.begin() + n, out.end(), [](unsigned char c) { return c == 0xEE; })) << what;
}

// Every header field of both forms changed a little, and headers cut
// short: n, flags (with repeats removed), escape, reduced length, primary
// index, then (second form) the first start and the first part's length.
TEST(BwtCodec, DamagedHeaderStaysInsideItsBuffers) {
  Bytes block = from(std::string(3000, 'q') + "the header names the length and the row");
  for (int k = 0; k < 3; ++k) block.insert(block.end(), block.begin(), block.begin() + 500);
  const auto n = static_cast<uint32_t>(block.size());
  for (const Form form : {Form::kFirst, Form::kParts}) {
    Bytes stored(n);
    const uint32_t m = encode(block.data(), n, stored.data(), n, Tasks(), form);
    ASSERT_NE(m, kDeclined);
    stored.resize(m);
    std::vector<size_t> fields;
    size_t at = 0;
    for (int f = 0; f < (form == Form::kFirst ? 5 : 6); ++f) {
      fields.push_back(at);
      while (stored[at] & 0x80) ++at;
      ++at;
    }
    ASSERT_EQ(stored[fields[1]], form == Form::kFirst ? 1 : 3) << "the repeat pass should be used";
    for (const size_t field : fields) {
      for (unsigned delta : {1u, 2u, 0x7Fu}) {
        Bytes bad = stored;
        bad[field] = static_cast<unsigned char>((bad[field] & 0x80) | ((bad[field] + delta) & 0x7F));
        decode_stays_inside(bad, n, std::to_string(field) + " " + std::to_string(delta));
      }
    }
    Bytes out(n);
    for (size_t cut = 0; cut <= fields.back(); ++cut)
      EXPECT_EQ(decode(stored.data(), static_cast<uint32_t>(cut), out.data(), n), kFailed);
  }
  // Headers that run on forever.
  const Bytes endless(12, 0xFF);
  Bytes out(n);
  EXPECT_EQ(decode(endless.data(), 12, out.data(), n), kFailed);
}

// A block of several parts (text with long repeats), for the second form.
Bytes several_parts() {
  Bytes b;
  std::mt19937 rng(17);
  static const char* words[] = {"parts ", "of ", "the ", "sorted ", "block\n", "decode ", "side ", "by "};
  while (b.size() < (1u << 20) + 300000) {
    for (int k = 0; k < 40; ++k) {
      const char* w = words[rng() % 8];
      b.insert(b.end(), w, w + std::strlen(w));
    }
    if (rng() % 8 == 0 && b.size() > 5000) b.insert(b.end(), b.end() - 4000, b.end() - 3000);
  }
  return b;
}

// The second form damaged in its streams and cut anywhere.
TEST(BwtCodec, DamagedPartsStayInsideTheirBuffers) {
  const Bytes block = several_parts();
  const auto n = static_cast<uint32_t>(block.size());
  Bytes stored(n);
  const uint32_t m = encode(block.data(), n, stored.data(), n);
  ASSERT_NE(m, kDeclined);
  stored.resize(m);
  std::mt19937 rng(23);
  for (int k = 0; k < 12; ++k) {
    Bytes bad = stored;
    const size_t at = rng() % m;
    bad[at] ^= static_cast<unsigned char>(rng() % 255 + 1);
    decode_stays_inside(bad, n, "flipped at " + std::to_string(at));
  }
  for (uint32_t cut : {1u, 7u, m / 3, m / 2, m - 5, m - 1}) {
    decode_stays_inside(Bytes(stored.begin(), stored.begin() + cut), n, "cut to " + std::to_string(cut));
  }
}

// The stored form depends on the block alone: every thread count writes
// the same bytes, and every thread count decodes them. Progress reports
// never pass the block's length and end at it.
TEST(BwtThreads, EveryThreadCountGivesTheSameBytes) {
  const Bytes block = several_parts();
  const auto n = static_cast<uint32_t>(block.size());
  Bytes first;
  for (uint32_t threads : {1u, 2u, 3u, 8u}) {
    test::ThreadContext context(threads);
    Bytes stored(n);
    const uint32_t m = encode(block.data(), n, stored.data(), n, Tasks(context.get()));
    ASSERT_NE(m, kDeclined);
    stored.resize(m);
    if (first.empty()) first = stored;
    EXPECT_TRUE(stored == first) << threads << " threads";
    EXPECT_EQ(context.progress(), n);
    Bytes back(n);
    test::ThreadContext expand(threads);
    ASSERT_EQ(decode(first.data(), static_cast<uint32_t>(first.size()), back.data(), n, Tasks(expand.get())), n);
    EXPECT_TRUE(back == block) << threads << " threads";
    EXPECT_EQ(expand.progress(), n);
    EXPECT_GT(expand.reports(), 1u);
  }
}

// The check of a large plain block is taken in pieces when the call lends
// threads; combined, they give the block's CRC-32 at any length.
TEST(BwtThreads, CheckInPiecesIsTheBlocksCrc) {
  const Bytes block = noise((5u << 20) + 3, 41, 256);
  for (uint32_t threads : {2u, 3u, 8u}) {
    test::ThreadContext context(threads);
    for (uint32_t len : {1u << 20, 2u << 20, (2u << 20) + 7, (5u << 20) + 3}) {
      const auto whole = static_cast<uint32_t>(crc32_z(crc32_z(0, nullptr, 0), block.data(), len));
      EXPECT_EQ(plugin::plain_check(block.data(), len, context.get()), whole) << threads << " threads, " << len;
    }
  }
}

// ---- The long-repeat pass ----------------------------------------------

struct Reduction {
  const char* label;
  Bytes (*make)();
  unsigned char escape;
  int marks;  // repeats and literal escapes expected, -1: not checked
  int saved;  // at least this many bytes fewer, 0: none
};

// The context (8 bytes) that predicts the next repeat, then `len` bytes of
// `body` twice, each followed by a different byte.
Bytes predicted_repeat(uint32_t len) {
  Bytes b = noise(300, 21, 200);
  const Bytes context = noise(kRepeatOrder, 22, 200), body = noise(len, 23, 200);
  for (unsigned char end : {250, 251}) {
    b.insert(b.end(), context.begin(), context.end());
    b.insert(b.end(), body.begin(), body.end());
    b.push_back(end);
    const Bytes gap = noise(50, end, 200);
    b.insert(b.end(), gap.begin(), gap.end());
  }
  return b;
}

const Reduction kReductions[] = {
    {"no_repeats", [] { return noise(5000, 31, 200); }, 222, 0, 0},
    {"exactly_min", [] { return predicted_repeat(kRepeatMin); }, 222, 1, int{kRepeatMin} - 1},
    {"one_short_of_min", [] { return predicted_repeat(kRepeatMin - 1); }, 222, 0, 0},
    {"long_repeat", [] { return predicted_repeat(5000); }, 222, 1, 4999},
    // The second copy runs into the block's end.
    {"repeat_at_end", [] {
       Bytes b = noise(2000, 32, 256);
       b.insert(b.end(), b.begin(), b.begin() + 1500);
       return b;
     }, 7, -1, 1000},
    // A repeat of its own last bytes: copies overlap what they write.
    {"overlapping", [] { return Bytes(20000, 'a'); }, 0, 1, 19980},
    {"period_three", [] {
       Bytes b;
       for (int i = 0; i < 9000; ++i) b.push_back(static_cast<unsigned char>("xyz"[i % 3]));
       return b;
     }, 'y', -1, 8900},
    // The escape byte in the data, in and out of repeats.
    {"escapes", [] {
       Bytes b = noise(3000, 33, 4);
       b.insert(b.end(), b.begin(), b.begin() + 2000);
       return b;
     }, 2, -1, 1000},
    {"all_escapes", [] { return Bytes(3000, 9); }, 9, -1, 2900},
};

class Repeats : public testing::TestWithParam<Reduction> {};

// With every position remembered (the counts are checked) and every
// fourth; restored into a buffer of its own and in place, from the end of
// the destination.
TEST_P(Repeats, RemoveAndRestoreExactly) {
  const Reduction& r = GetParam();
  const Bytes block = r.make();
  const auto n = static_cast<uint32_t>(block.size());
  for (const uint32_t stride : {1u, 4u}) {
    Bytes reduced(n);
    std::vector<uint32_t> marks(n);
    uint32_t count = 0;
    const uint32_t m = remove_repeats(block.data(), n, r.escape, reduced.data(), n, marks.data(), n, count, stride);
    ASSERT_GT(m, 0u);
    if (r.marks >= 0 && stride == 1) {
      EXPECT_EQ(count, static_cast<uint32_t>(r.marks));
    }
    if (stride == 1) {
      EXPECT_LE(m + static_cast<uint32_t>(r.saved), n);
    }
    if (r.saved == 0) {
      EXPECT_EQ(m, n);
    }
    EXPECT_EQ(static_cast<size_t>(std::count(reduced.begin(), reduced.begin() + m, r.escape)), count);
    Bytes back(n + 16, 0xEE);
    ASSERT_EQ(restore_repeats(reduced.data(), m, r.escape, marks.data(), count, back.data(), n, stride), n);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), back.begin()));
    EXPECT_TRUE(std::all_of(back.begin() + n, back.end(), [](unsigned char c) { return c == 0xEE; }));
    Bytes in_place(n);
    std::copy(reduced.begin(), reduced.begin() + m, in_place.end() - m);
    ASSERT_EQ(restore_repeats(in_place.data() + (n - m), m, r.escape, marks.data(), count, in_place.data(), n, stride),
              n);
    EXPECT_TRUE(in_place == block) << stride;

    // Too little room for the reduced form or its marks.
    if (m > 1) {
      EXPECT_EQ(remove_repeats(block.data(), n, r.escape, reduced.data(), m - 1, marks.data(), n, count, stride), 0u);
    }
    if (count > 0) {
      EXPECT_EQ(remove_repeats(block.data(), n, r.escape, reduced.data(), n, marks.data(), count - 1, count, stride),
                0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Blocks, Repeats, testing::ValuesIn(kReductions),
                         [](const testing::TestParamInfo<Reduction>& info) {
                           return std::string(info.param.label);
                         });

// Reduced forms that do not add up: refused, and nothing written past n.
TEST(BwtRepeats, RestoreRefusesWhatDoesNotAddUp) {
  const Bytes block = predicted_repeat(400);
  const auto n = static_cast<uint32_t>(block.size());
  Bytes reduced(n);
  std::vector<uint32_t> marks(8);
  uint32_t count = 0;
  const uint32_t m = remove_repeats(block.data(), n, 222, reduced.data(), n, marks.data(), 8, count);
  ASSERT_EQ(count, 1u);
  const uint32_t good = marks[0];
  struct Case {
    const char* what;
    uint32_t mark, count, m, n;
  };
  const Case cases[] = {
      {"a mark too few", good, 0, m, n},
      {"a mark too many", good, 2, m, n},
      {"repeat past the end", good + 1, 1, m, n},
      {"repeat one short", good - 1, 1, m, n},
      {"reduced form cut", good, 1, m - 1, n},
      {"block longer", good, 1, m, n + 1},
      {"block shorter", good, 1, m, n - 1},
      {"huge mark", 0xFFFFFFFFu, 1, m, n},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> bad = {c.mark, good};
    Bytes out(n + 17, 0xEE);
    EXPECT_EQ(restore_repeats(reduced.data(), c.m, 222, bad.data(), c.count, out.data(), c.n), kFailed) << c.what;
    EXPECT_TRUE(std::all_of(out.begin() + c.n, out.end(), [](unsigned char v) { return v == 0xEE; })) << c.what;
  }
  // An escape before any position has a prediction is no repeat.
  const Bytes early = {1, 2, 222, 3};
  const uint32_t one = 40;
  Bytes out(64);
  EXPECT_EQ(restore_repeats(early.data(), 4, 222, &one, 1, out.data(), 43), kFailed);
}

// Past 16 MiB the inverse finds bytes from their rows; whole blocks are
// sorted at once, with no internal block limit.
TEST(BwtCodec, LargeBlockRoundTrips) {
  const uint32_t n = (17u << 20) + 333;
  Bytes block(n);
  std::mt19937 rng(11);
  static const char* words[] = {"sorted ", "block ", "of ", "seventeen ", "mebibytes\n", "runs "};
  for (uint32_t i = 0; i < n;) {
    const char* w = words[rng() % 6];
    for (; *w != 0 && i < n; ++w) block[i++] = static_cast<unsigned char>(*w);
  }
  test::ThreadContext two(2);
  Bytes stored(n / 2);
  const uint32_t m = encode(block.data(), n, stored.data(), n / 2, Tasks(two.get()));
  ASSERT_NE(m, kDeclined);
  EXPECT_LT(m, n / 8);
  Bytes back(n);
  ASSERT_EQ(decode(stored.data(), m, back.data(), n, Tasks(two.get())), n);
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
