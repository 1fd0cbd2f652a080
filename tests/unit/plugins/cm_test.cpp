// The context-mixing codec below its plugin entry: every parameter choice
// round trips, the stored form is the same on every build, the x86
// transform is its own exact inverse, damaged headers are refused, and the
// models that cost the most time earn it.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cm_codec.h"
#include "text_transform.h"

namespace mirt::cm {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return b;
}

Bytes prose(size_t n, uint32_t seed) {
  static const char* words[] = {"block ", "sorted ", "Every ", "candidate ", "is ", "verified, ",
                                "and ", "the ", "smallest ", "wins.\n", "mixing ", "context "};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += words[rng() % 12];
  return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

// Calls to a few hundred functions among other instruction bytes.
Bytes machine_code(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng() % 32 + 0x40);
  for (uint32_t i = 0; i + 5 <= n; i += 7 + rng() % 16) {
    const uint32_t rel = 0x4000 + (rng() % 300) * 48 - (i + 5);
    b[i] = rng() % 4 ? 0xE8 : 0xE9;
    std::memcpy(&b[i + 1], &rel, 4);
  }
  return b;
}

// Fixed-width records: a counter, a slowly changing field and padding.
Bytes table(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  for (uint32_t r = 0; b.size() < n; ++r) {
    char line[40];
    std::snprintf(line, sizeof line, "%08u|%05u|......", r * 3,
                  static_cast<unsigned>(40000 + r / 16 + rng() % 3));
    b.insert(b.end(), line, line + 21);
  }
  b.resize(n);
  return b;
}

// Encodes with the given parameters into a buffer with guard bytes behind
// the limit, and decodes into an exactly sized one.
Bytes encode_checked(const Bytes& in, Params params) {
  const auto limit = static_cast<uint32_t>(in.size() + in.size() / 8 + 64);
  Bytes out(limit + 64, 0xA5);
  const uint32_t n = encode_with(in.data(), static_cast<uint32_t>(in.size()), out.data(), limit, params);
  EXPECT_NE(n, kDeclined);
  for (size_t i = limit; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5) << "wrote past the limit";
  out.resize(n == kDeclined ? 0 : n);
  return out;
}

void expect_round_trip(const Bytes& in, Params params) {
  const Bytes stored = encode_checked(in, params);
  ASSERT_FALSE(stored.empty());
  // The third set marks itself with the text transform without the second.
  const Params first = params & kModel3 ? (params & (kTableMask | kX86 | kText)) | kWords : params;
  EXPECT_EQ(stored[0] | kWords, first | kWords);  // the transform is dropped where it does not shorten
  Bytes back(in.size());
  ASSERT_EQ(decode(stored.data(), static_cast<uint32_t>(stored.size()), back.data(),
                   static_cast<uint32_t>(back.size())),
            in.size());
  EXPECT_TRUE(back == in);
}

struct Sample {
  const char* label;
  Bytes data;
};

std::vector<Sample> samples() {
  Bytes runs;
  for (int r = 1; r < 90; ++r) runs.insert(runs.end(), static_cast<size_t>(r), static_cast<unsigned char>(r * 29));
  return {{"one_byte", Bytes{0x7F}},
          {"zeros", Bytes(4000, 0)},
          {"runs", runs},
          {"noise", noise(30000, 1)},
          {"prose", prose(60000, 2)},
          {"machine_code", machine_code(50000, 3)},
          {"table", table(40000, 4)},
          // E8 bytes everywhere, overlapping each other's displacements.
          {"dense_calls", [] {
             Bytes b = noise(20000, 5);
             for (size_t i = 0; i < b.size(); i += 3) b[i] = 0xE8;
             for (size_t i = 4; i < b.size(); i += 5) b[i] = (i & 8) ? 0 : 0xFF;
             return b;
           }()}};
}

// Every option of every model set, with the smallest table and the one
// the length calls for: the decoder mirrors the encoder whatever the
// encoder chose.
TEST(CmCodec, RoundTripsEverySampleWithEveryParameterChoice) {
  for (const Sample& s : samples()) {
    const auto len = static_cast<uint32_t>(s.data.size());
    for (Params model : {Params{0}, kModel2, kModel3}) {
      for (Params table : {Params{0}, table_param_for(len, model)}) {
        for (Params options : {Params{0}, kX86, kText, kX86 | kText, kText | kWords}) {
          if ((options & kWords) && !model) continue;
          const Params params = model | table | options;
          SCOPED_TRACE(std::string(s.label) + " params " + std::to_string(params));
          expect_round_trip(s.data, params);
        }
      }
    }
  }
}

// A block of several MiB: the largest table, positions past 2^21, matches
// a long way back, and the text/binary choice of the encoder.
TEST(CmCodec, RoundTripsALargeMixedBlock) {
  Bytes big = prose(1 << 20, 7);
  const Bytes code = machine_code(1 << 20, 8);
  big.insert(big.end(), code.begin(), code.end());
  big.insert(big.end(), big.begin(), big.begin() + (1 << 19));  // a long repeat
  const Bytes tail = noise(3 << 18, 9);
  big.insert(big.end(), tail.begin(), tail.end());
  const auto len = static_cast<uint32_t>(big.size());
  const Params params = choose_params(big.data(), len);
  EXPECT_EQ(params & kTableMask, table_param_for(len));
  EXPECT_LE(memory_for(params, len), memory_bound(true, len));
  EXPECT_LE(memory_bound(true, 8u << 20), uint64_t{300} << 20);  // two threads of max stay within 1 GiB
  expect_round_trip(big, params);
}

// The stored form is a function of the input alone: the same on every
// compiler and platform, or blocks written elsewhere would not decode.
TEST(CmCodec, StoredFormIsTheSameOnEveryBuild) {
  const struct {
    Bytes data;
    Params params;
    uint32_t size;
    uint32_t crc;
  } cases[] = {
      {prose(20000, 11), uint8_t(kText | 2), 1517, 0xea12ab8f},
      {machine_code(20000, 12), uint8_t(kX86 | 2), 11333, 0x93f93888},
      {prose(20000, 11), uint8_t(kModel2 | kText | 2), 1512, 0xaa1825ba},
      {prose(20000, 11), uint8_t(kModel2 | kText | kWords | 2), 1721, 0x15df3f02},
      {machine_code(20000, 12), uint8_t(kModel2 | kX86 | 2), 11118, 0xa7998d59},
      {table(20000, 13), uint8_t(kModel2 | 2), 569, 0x082689c8},
      {prose(20000, 11), kModel3 | kText | kWords | 2, 1720, 0xb5431ce4},
      {prose(20000, 11), kModel3 | 2, 1519, 0x23a83f63},
      {table(20000, 13), kModel3 | 2, 571, 0x06a59578},
      {prose(20000, 11), kModel3 | kText | 2, 1519, 0xe32d648d},
      {machine_code(20000, 12), kModel3 | kX86 | 2, 11119, 0x18e9fcdc},
  };
  for (const auto& c : cases) {
    const Bytes stored = encode_checked(c.data, c.params);
    const auto crc = static_cast<uint32_t>(crc32(0, stored.data(), static_cast<uInt>(stored.size())));
    EXPECT_EQ(stored.size(), c.size) << c.params;
    EXPECT_EQ(crc, c.crc) << std::hex << crc;
  }
}

// The vector kernels of the mixer must compute exactly what the portable
// ones do: a block written on one machine is read on another.
TEST(CmCodec, VectorAndPortableKernelsWriteTheSameStoredForm) {
  for (const Sample& s : samples()) {
    const auto len = static_cast<uint32_t>(s.data.size());
    const Params params = choose_params(s.data.data(), len);
    const auto limit = len + len / 8 + 64;
    Bytes fast(limit);
    Bytes portable(limit);
    const uint32_t n = encode_with(s.data.data(), len, fast.data(), limit, params, Kernels::kBest);
    ASSERT_EQ(encode_with(s.data.data(), len, portable.data(), limit, params, Kernels::kPortable), n) << s.label;
    fast.resize(n);
    portable.resize(n);
    EXPECT_TRUE(fast == portable) << s.label;
    Bytes back(len);
    ASSERT_EQ(decode(fast.data(), n, back.data(), len, Kernels::kPortable), len) << s.label;
    EXPECT_TRUE(back == s.data) << s.label;
  }
}

TEST(CmCodec, X86TransformIsExactlyReversibleAndAlignsCallTargets) {
  for (const Sample& s : samples()) {
    Bytes b = s.data;
    x86_forward(b.data(), static_cast<uint32_t>(b.size()));
    x86_inverse(b.data(), static_cast<uint32_t>(b.size()));
    EXPECT_TRUE(b == s.data) << s.label;
  }
  // Two calls to one target, from different places, look alike afterwards.
  Bytes code(64, 0x90);
  const auto put_call = [&](uint32_t at, uint32_t target) {
    const uint32_t rel = target - (at + 5);
    code[at] = 0xE8;
    std::memcpy(&code[at + 1], &rel, 4);
  };
  put_call(3, 40);
  put_call(20, 40);
  ASSERT_NE(std::memcmp(&code[4], &code[21], 4), 0);
  x86_forward(code.data(), static_cast<uint32_t>(code.size()));
  EXPECT_EQ(std::memcmp(&code[4], &code[21], 4), 0);
}

TEST(CmCodec, DamagedHeadersAreRefused) {
  const Bytes in = prose(5000, 13);
  const Bytes good = encode_checked(in, choose_params(in.data(), 5000));
  Bytes out(5000);
  const auto try_decode = [&](Bytes stored, uint32_t cap) {
    return decode(stored.data(), static_cast<uint32_t>(stored.size()), out.data(), cap);
  };
  ASSERT_EQ(try_decode(good, 5000), 5000u);
  ASSERT_EQ(good[1] & 0x0F, 3);  // the third set's own byte
  Bytes unknown = good;
  unknown[1] = static_cast<unsigned char>(good[1] + 1);  // a model set this codec does not know
  EXPECT_EQ(try_decode(unknown, 5000), kFailed);
  unknown[1] = static_cast<unsigned char>(good[1] | 0x20);  // an option it does not know
  EXPECT_EQ(try_decode(unknown, 5000), kFailed);
  Bytes big_table = good;
  big_table[0] = static_cast<uint8_t>((good[0] & ~kTableMask) | (table_param_for(5000) + 1));
  EXPECT_EQ(try_decode(big_table, 5000), kFailed);  // more memory than the length calls for
  EXPECT_EQ(try_decode(good, 4999), kFailed);        // longer than the capacity
  Bytes zero_length = good;  // the length after the two parameter bytes
  zero_length[2] = 0;
  zero_length[3] = 0;
  EXPECT_EQ(try_decode(zero_length, 5000), kFailed);
  EXPECT_EQ(try_decode(Bytes(good.begin(), good.begin() + 3), 5000), kFailed);
  EXPECT_EQ(try_decode(Bytes(good.begin(), good.begin() + 1), 5000), kFailed);
  Bytes endless = good;
  endless[2] = 0xFF;
  endless[3] = 0xFF;
  endless.insert(endless.begin() + 4, {0xFF, 0xFF, 0xFF, 0x7F});
  EXPECT_EQ(try_decode(endless, 5000), kFailed);  // a length field that never ends
  // Encoding refuses what decoding would refuse.
  EXPECT_EQ(encode_with(in.data(), 5000, out.data(), 5000, 0x80), kDeclined);
  EXPECT_EQ(encode_with(in.data(), 5000, out.data(), 5000, table_param_for(5000) + 1), kDeclined);
  EXPECT_EQ(encode_with(in.data(), 5000, out.data(), 5000, kModel2 | kModel3), kDeclined);
}

// The models that cost the most time must pay for themselves.
TEST(CmCodec, MatchModelAndX86TransformEarnTheirKeep) {
  // A random block repeated: the second copy should cost next to nothing.
  Bytes twice = noise(40000, 14);
  twice.insert(twice.end(), twice.begin(), twice.end());
  const Params plain = table_param_for(80000);
  EXPECT_LT(encode_checked(twice, plain).size(), 40000u + 1500u);

  const Bytes code = machine_code(60000, 15);
  const Params small = table_param_for(60000);
  EXPECT_LT(encode_checked(code, small | kX86).size() * 10,
            encode_checked(code, small).size() * 9);
  EXPECT_TRUE(choose_params(code.data(), 60000) & kX86);
  const Bytes text = prose(60000, 16);
  EXPECT_TRUE(choose_params(text.data(), 60000) & kText);
  EXPECT_FALSE(choose_params(text.data(), 60000) & kX86);
}

// The text transform gives back every byte, whatever the spelling; blocks
// that leave too few byte values free for its marks are not transformed.
TEST(CmCodec, TextTransformRoundTripsEveryKindOfSpelling) {
  const std::string base =
      "The THE the tHe I a A McDonald mcdonald abc123DEF 42 x86_64 Zebra ZEBRA zebra "
      "\xc3\xa9t\xc3\xa9 caf\xc3\xa9 Caf\xc3\xa9 \x01\x02 tab\there\n";
  std::string text;
  for (int i = 0; i < 40; ++i) text += base;
  Bytes crowded = Bytes(text.begin(), text.end());
  for (int c = 0; c < 256; ++c) crowded.push_back(static_cast<unsigned char>(c));  // no byte free
  const Bytes cases[] = {Bytes(text.begin(), text.end()), prose(30000, 17), Bytes{'A'}, Bytes{'I', ' ', 'I'},
                         crowded};
  for (const Bytes& in : cases) {
    const auto len = static_cast<uint32_t>(in.size());
    const std::vector<unsigned char> t = words::forward(in.data(), len);
    if (&in == &cases[4]) {
      EXPECT_TRUE(t.empty());
      continue;
    }
    ASSERT_FALSE(t.empty());
    Bytes back(len + 16, 0xA5);
    ASSERT_TRUE(words::inverse(t.data(), static_cast<uint32_t>(t.size()), back.data(), len));
    EXPECT_TRUE(std::equal(in.begin(), in.end(), back.begin()));
    for (size_t i = len; i < back.size(); ++i) ASSERT_EQ(back[i], 0xA5);
  }
  // Through the codec, where the transform shortens prose.
  const Bytes text_block = prose(60000, 18);
  const Params params = kModel2 | kText | kWords | table_param_for(60000);
  expect_round_trip(text_block, params);
  EXPECT_TRUE(encode_checked(text_block, params)[0] & kWords);
}

// A damaged or cut transformed block is refused or decodes to other
// bytes, never past its output.
TEST(CmCodec, TextTransformRefusesDamageInsideItsBuffers) {
  const Bytes in = prose(8000, 19);
  const std::vector<unsigned char> good = words::forward(in.data(), 8000);
  ASSERT_FALSE(good.empty());
  std::mt19937 rng(20);
  for (int round = 0; round < 400; ++round) {
    std::vector<unsigned char> bad = good;
    for (int k = 0; k < 1 + round % 4; ++k) bad[rng() % bad.size()] ^= static_cast<unsigned char>(1 + rng() % 255);
    if (round % 3 == 0) bad.resize(rng() % bad.size());
    Bytes out(8000 + 16, 0xA5);
    words::inverse(bad.data(), static_cast<uint32_t>(bad.size()), out.data(), 8000);
    for (size_t i = 8000; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << "round " << round;
  }
  EXPECT_FALSE(words::inverse(good.data(), static_cast<uint32_t>(good.size()), Bytes(7999).data(), 7999));
}

// Progress comes in order, never past the block, about every 64 KiB.
TEST(CmCodec, ReportsProgressThroughTheBlock) {
  const Bytes in = prose(300000, 21);
  std::vector<uint64_t> seen;
  const Progress progress{[](void* host, uint64_t done) { static_cast<std::vector<uint64_t>*>(host)->push_back(done); },
                          &seen};
  Bytes out(400000);
  const uint32_t n = encode(in.data(), 300000, out.data(), 400000, progress);
  ASSERT_NE(n, kDeclined);
  EXPECT_GE(seen.size(), 4u);
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_TRUE(seen[i] <= 300000 && (i == 0 || seen[i] > seen[i - 1]));
  seen.clear();
  Bytes back(300000);
  ASSERT_EQ(decode(out.data(), n, back.data(), 300000, Kernels::kBest, progress), 300000u);
  EXPECT_GE(seen.size(), 4u);
}

}  // namespace
}  // namespace mirt::cm
