// The contract every algorithm entry keeps, built-in and plugin alike:
// round trips, declines, bounded output, and hostile input to mode 2.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/tables.h"
#include "mirt/module.h"

namespace mirt {
namespace {

enum class Data { kZeroTail, kRandom, kRepetitive, kText, kRecords, kMachineCode };

const char* data_name(Data d) {
  switch (d) {
    case Data::kZeroTail: return "zero_tail";
    case Data::kRandom: return "random";
    case Data::kRepetitive: return "repetitive";
    case Data::kText: return "text";
    case Data::kRecords: return "records";
    case Data::kMachineCode: return "machine_code";
  }
  return "?";
}

std::vector<unsigned char> make_block(Data kind, uint32_t size, uint32_t seed = 1) {
  std::vector<unsigned char> b(size);
  std::mt19937 rng(seed + size);
  switch (kind) {
    case Data::kZeroTail:  // a last block: a little data, then the zero fill
      for (uint32_t i = 0; i < size / 3; ++i) b[i] = static_cast<unsigned char>(rng() % 40 + 'A');
      break;
    case Data::kRandom:
      for (auto& c : b) c = static_cast<unsigned char>(rng());
      break;
    case Data::kRepetitive:
      for (uint32_t i = 0; i < size; ++i) b[i] = "abcabcabd"[i % 9];
      break;
    case Data::kText: {
      static const char* words[] = {"the ", "block ", "is ", "kept ", "smallest ", "verified ",
                                    "result\n", "of ", "every ", "algorithm "};
      std::string s;
      while (s.size() < size) s += words[rng() % 10];
      std::memcpy(b.data(), s.data(), size);
      break;
    }
    case Data::kRecords:  // 32-bit little-endian counters with small steps
      for (uint32_t i = 0, v = 1000; i < size; ++i) {
        if (i % 4 == 0) v += rng() % 7;
        b[i] = static_cast<unsigned char>(v >> (8 * (i % 4)));
      }
      break;
    case Data::kMachineCode:  // calls to a few hundred targets among filler bytes
      for (uint32_t i = 0; i < size; ++i) b[i] = static_cast<unsigned char>(rng() % 16 + 0x40);
      for (uint32_t i = 0; i + 5 <= size; i += 24) {
        const uint32_t rel = 0x1000 + (rng() % 300) * 64 - i;
        b[i] = 0xE8;
        std::memcpy(&b[i + 1], &rel, 4);
      }
      break;
  }
  return b;
}

struct EntryCase {
  const char* label;
  const char* plugin;  // file in the build's plugin folder; null for the copy algorithm
  int slot;
  const char* name;
  bool checks_input;     // the copy algorithm takes any bytes as they are
  bool rejects_garbage;  // every plugin stores a check of its plain block
  int engages_on;        // a Data value the entry must compress, or -1
};

std::ostream& operator<<(std::ostream& os, const EntryCase& c) { return os << c.label; }

const EntryCase kEntries[] = {
    {"copy", nullptr, 0, "Uncompressed", false, false, -1},
    {"zlib", "zlib.so", 4, "Zlib Compression", true, true, int(Data::kText)},
    {"bzip2", "bzip2.so", 9, "Bzip2 Compression", true, true, int(Data::kText)},
    {"zstd", "zstd.so", 16, "Zstandard Compression", true, true, int(Data::kText)},
    {"zstd_fast", "zstd_fast.so", 24, "Zstandard Fast Compression", true, true, int(Data::kText)},
    {"lzma2", "lzma2.so", 17, "LZMA2 Compression", true, true, int(Data::kText)},
    {"brotli", "brotli.so", 18, "Brotli Compression", true, true, int(Data::kText)},
    {"lz4hc", "lz4hc.so", 19, "LZ4 HC Compression", true, true, int(Data::kText)},
    {"x86_lzma2", "x86_lzma2.so", 20, "x86 + LZMA2 Compression", true, true, int(Data::kMachineCode)},
    {"delta_lzma2", "delta_lzma2.so", 21, "Delta + LZMA2 Compression", true, true,
     int(Data::kRecords)},
    {"bwt", "bwt.so", 22, "BWT Compression", true, true, int(Data::kText)},
    {"cm", "cm.so", 23, "Context Mixing", true, true, int(Data::kText)},
};

std::string plugin_folder() {
  std::string bin = MIRT_BINARY;
  return bin.substr(0, bin.rfind('/')) + "/plugins";
}

// A buffer with guard bytes on both sides.
constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

struct Guarded {
  explicit Guarded(size_t n) : bytes(n + 2 * kGuard, kGuardByte), size(n) {}
  unsigned char* data() { return bytes.data() + kGuard; }
  bool intact() const {
    auto ok = [](unsigned char c) { return c == kGuardByte; };
    return std::all_of(bytes.begin(), bytes.begin() + kGuard, ok) &&
           std::all_of(bytes.end() - kGuard, bytes.end(), ok);
  }
  std::vector<unsigned char> bytes;
  size_t size;
};

class AlgorithmContract : public testing::TestWithParam<EntryCase> {
 protected:
  void SetUp() override {
    const EntryCase& c = GetParam();
    if (c.plugin == nullptr) {
      entry_ = copy_algorithm;
      return;
    }
    const std::string path = plugin_folder() + "/" + c.plugin;
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) GTEST_SKIP() << "plugin not built: " << dlerror();
    auto* num = static_cast<const int32_t*>(dlsym(handle_, "MR_NUM"));
    auto* name = static_cast<const char* const*>(dlsym(handle_, "MR_NAME"));
    auto* algo = static_cast<const mr_entry*>(dlsym(handle_, "MR_ALGO"));
    ASSERT_TRUE(num && name && algo);
    EXPECT_EQ(*num, c.slot);
    EXPECT_STREQ(*name, c.name);
    // Bundled plugins are reentrant and say so, so blocks run side by side.
    auto* threadsafe = static_cast<const int32_t*>(dlsym(handle_, "MR_THREADSAFE"));
    ASSERT_TRUE(threadsafe != nullptr && *threadsafe != 0);
    // And they read the call context, so their blocks are bound to their place.
    auto* context = static_cast<const int32_t*>(dlsym(handle_, "MR_CONTEXT"));
    ASSERT_TRUE(context != nullptr && *context >= 1);
    // What a call needs, so that the decoder keeps to its memory limit.
    const bool codec_of_our_own = c.slot == 22 || c.slot == 23;
    if (!codec_of_our_own) {
      ASSERT_NE(dlsym(handle_, "MR_MEMORY"), nullptr);
    }
    entry_ = reinterpret_cast<mr_algorithm_entry>(*algo);
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  // Mode 1 into a guarded destination of the given capacity.
  uint32_t compress(const std::vector<unsigned char>& block, std::vector<unsigned char>& out,
                    uint64_t cap, mr_call_context* context = nullptr) {
    Guarded dst(cap);
    const uint32_t n = entry_(MR_MODE_COMPRESS, context, block.data(), dst.data(),
                              static_cast<uint32_t>(block.size()), static_cast<uint32_t>(cap));
    EXPECT_TRUE(dst.intact()) << "mode 1 wrote outside its destination";
    if (n != MR_DECLINED && n <= cap) out.assign(dst.data(), dst.data() + n);
    return n;
  }

  // Mode 2 from an exactly sized source into a guarded destination.
  uint32_t expand(const std::vector<unsigned char>& stored, std::vector<unsigned char>& out,
                  uint32_t cap, mr_call_context* context = nullptr) {
    const std::vector<unsigned char> src(stored);
    Guarded dst(cap);
    const uint32_t n = entry_(MR_MODE_DECOMPRESS, context, src.data(), dst.data(),
                              static_cast<uint32_t>(src.size()), cap);
    EXPECT_TRUE(dst.intact()) << "mode 2 wrote outside its destination";
    EXPECT_LE(n, cap);
    if (n <= cap) out.assign(dst.data(), dst.data() + n);
    return n;
  }

  Data typical_data() const {
    return GetParam().engages_on >= 0 ? static_cast<Data>(GetParam().engages_on) : Data::kText;
  }

  mr_algorithm_entry entry_ = nullptr;
  void* handle_ = nullptr;
};

TEST_P(AlgorithmContract, RoundTripsOrDeclinesEveryKindAndSize) {
  const bool is_copy = GetParam().plugin == nullptr;
  for (uint32_t size : {1u, 2u, 777u, 65536u, 262147u}) {
    for (Data kind : {Data::kZeroTail, Data::kRandom, Data::kRepetitive, Data::kText,
                      Data::kRecords, Data::kMachineCode}) {
      SCOPED_TRACE(std::string(data_name(kind)) + " block of " + std::to_string(size));
      const auto block = make_block(kind, size);
      std::vector<unsigned char> stored;
      const uint32_t n = compress(block, stored, 2 * uint64_t{size});
      if (is_copy) {
        ASSERT_EQ(n, size);
      } else if (n == MR_DECLINED) {
        continue;
      } else {
        // Anything not smaller than the block must be declined.
        ASSERT_LT(n, size);
        ASSERT_GT(n, 0u);
      }
      std::vector<unsigned char> back;
      ASSERT_EQ(expand(stored, back, size), size);
      ASSERT_TRUE(back == block);
    }
  }
}

TEST_P(AlgorithmContract, CompressesTheDataItIsFor) {
  const EntryCase& c = GetParam();
  if (c.engages_on < 0) GTEST_SKIP();
  for (uint32_t size : {8192u, 200000u}) {
    const auto block = make_block(static_cast<Data>(c.engages_on), size);
    std::vector<unsigned char> stored;
    const uint32_t n = compress(block, stored, 2 * uint64_t{size});
    ASSERT_NE(n, MR_DECLINED) << size;
    EXPECT_LT(n, size * 3 / 4) << size;
  }
}

TEST_P(AlgorithmContract, DeclinesIncompressibleAndTinyBlocks) {
  if (GetParam().plugin == nullptr) GTEST_SKIP() << "the copy algorithm stores anything";
  std::vector<unsigned char> stored;
  for (uint32_t size : {1u, 3u, 4096u, 100000u})
    EXPECT_EQ(compress(make_block(Data::kRandom, size), stored, 2 * uint64_t{size}),
              MR_DECLINED)
        << size;
  // An empty block has nothing to gain either.
  unsigned char dst[16];
  const unsigned char src[1] = {0};
  EXPECT_EQ(entry_(MR_MODE_COMPRESS, nullptr, src, dst, 0, sizeof dst), MR_DECLINED);
}

TEST_P(AlgorithmContract, DeclinesWhenTheCapacityIsTooSmall) {
  if (GetParam().plugin == nullptr) GTEST_SKIP() << "the copy algorithm ignores the capacity";
  const auto block = make_block(typical_data(), 65536);
  std::vector<unsigned char> stored;
  const uint32_t full = compress(block, stored, 2 * block.size());
  ASSERT_NE(full, MR_DECLINED);
  for (uint32_t cap : {full - 1, full / 2, 1u})
    EXPECT_EQ(compress(block, stored, cap), MR_DECLINED) << cap;
}

TEST_P(AlgorithmContract, HostileInputToModeTwoFailsInsideItsBuffers) {
  if (!GetParam().checks_input) GTEST_SKIP() << "the copy algorithm takes any bytes";
  const uint32_t size = 65536;
  const auto block = make_block(typical_data(), size);
  std::vector<unsigned char> stored;
  const uint32_t n = compress(block, stored, 2 * size);
  ASSERT_NE(n, MR_DECLINED);
  std::vector<unsigned char> out;

  // Output that would not fit the capacity.
  EXPECT_EQ(expand(stored, out, size - 1), 0u);
  EXPECT_EQ(expand(stored, out, 1), 0u);

  // Truncated anywhere.
  for (uint32_t keep : {1u, 2u, n / 4, n / 2, n - 2, n - 1}) {
    std::vector<unsigned char> cut(stored.begin(), stored.begin() + keep);
    EXPECT_EQ(expand(cut, out, size), 0u) << "kept " << keep << " of " << n;
  }

  // Damaged anywhere: a failure or the original bytes, never other bytes
  // claimed as a success (containers without checksums rely on this).
  std::mt19937 rng(7);
  for (int round = 0; round < 256; ++round) {
    auto bad = stored;
    for (int flips = 1 + round % 3; flips > 0; --flips)
      bad[rng() % n] ^= static_cast<unsigned char>(1u << (rng() % 8));
    const uint32_t got = expand(bad, out, size);
    EXPECT_TRUE(got == 0 || (got == size && out == block)) << "round " << round;
  }

  // Garbage of various lengths, including bytes that look like a header.
  for (uint32_t len : {1u, 5u, 64u, 4096u}) {
    auto junk = make_block(Data::kRandom, len, 99);
    const uint32_t got = expand(junk, out, size);
    if (GetParam().rejects_garbage) {
      EXPECT_EQ(got, 0u) << len;
    }
    std::copy_n(stored.begin(), std::min<size_t>(len, std::min<size_t>(8, stored.size())),
                junk.begin());
    expand(junk, out, size);
  }
}

// A block stored under one key expands under that key only; a block
// stored without one (as every block was before keys existed) expands
// under any. A context too short to hold the key counts as none.
TEST_P(AlgorithmContract, TheKeyBindsABlockToItsPlace) {
  if (!GetParam().checks_input) GTEST_SKIP() << "the copy algorithm has no check";
  const uint32_t size = 65536;
  const auto block = make_block(typical_data(), size);
  auto context = [](uint32_t key, uint32_t bytes = sizeof(mr_call_context)) {
    mr_call_context c{};
    c.size = bytes;
    c.version = MR_CONTEXT_VERSION;
    c.block_key = key;
    c.threads = 1;
    return c;
  };
  mr_call_context here = context(0x5EED1234), there = context(0x5EED1235),
                  short_one = context(0x5EED1234, offsetof(mr_call_context, block_key));
  std::vector<unsigned char> keyed, plain, out;
  ASSERT_NE(compress(block, keyed, 2 * size, &here), MR_DECLINED);
  ASSERT_NE(compress(block, plain, 2 * size), MR_DECLINED);
  EXPECT_TRUE(compress(block, out, 2 * size, &short_one) != MR_DECLINED && out == plain);
  EXPECT_EQ(expand(keyed, out, size, &here), size);
  EXPECT_TRUE(out == block);
  EXPECT_EQ(expand(keyed, out, size, &there), 0u);
  EXPECT_EQ(expand(keyed, out, size), 0u);
  for (mr_call_context* any : {&here, &there, static_cast<mr_call_context*>(nullptr)}) {
    EXPECT_EQ(expand(plain, out, size, any), size);
    EXPECT_TRUE(out == block);
  }
}

TEST_P(AlgorithmContract, OtherModesAreRefused) {
  const unsigned char src[4] = {1, 2, 3, 4};
  unsigned char dst[8] = {};
  for (uint32_t mode : {0u, 3u, 7u}) {
    testing::internal::CaptureStdout();
    const uint32_t r = entry_(mode, nullptr, src, dst, 4, 8);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Unsupported mode: " + std::to_string(mode) + "\n");
    EXPECT_EQ(r, 0xFFFFFFFFu);
  }
}

// Blocks may later be compressed on several threads: no entry may keep
// state between calls, and results must not depend on timing.
TEST_P(AlgorithmContract, ConcurrentCallsGiveTheSerialResult) {
  std::vector<std::vector<unsigned char>> blocks;
  for (Data kind : {Data::kText, Data::kRecords, Data::kMachineCode, Data::kRepetitive})
    blocks.push_back(make_block(kind, 50000, 3));
  auto run = [&](const std::vector<unsigned char>& block) {
    std::vector<unsigned char> out(2 * block.size());
    const uint32_t n = entry_(MR_MODE_COMPRESS, nullptr, block.data(), out.data(),
                              static_cast<uint32_t>(block.size()),
                              static_cast<uint32_t>(out.size()));
    if (n == MR_DECLINED) return std::vector<unsigned char>{};
    out.resize(n);
    std::vector<unsigned char> back(block.size());
    if (entry_(MR_MODE_DECOMPRESS, nullptr, out.data(), back.data(), n,
               static_cast<uint32_t>(back.size())) != block.size() ||
        back != block)
      out.clear();
    return out;
  };
  std::vector<std::vector<unsigned char>> serial;
  for (const auto& b : blocks) serial.push_back(run(b));
  std::vector<std::vector<unsigned char>> parallel(blocks.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < blocks.size(); ++i)
    threads.emplace_back([&, i] { parallel[i] = run(blocks[i]); });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < blocks.size(); ++i) EXPECT_TRUE(parallel[i] == serial[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Entries, AlgorithmContract, testing::ValuesIn(kEntries),
                         [](const testing::TestParamInfo<EntryCase>& info) {
                           return std::string(info.param.label);
                         });

}  // namespace
}  // namespace mirt
