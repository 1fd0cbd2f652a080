#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "codec/checksum.h"
#include "codec/block_select.h"
#include "codec/codec.h"
#include "codec/format.h"
#include "codec/tables.h"
#include "codec_test_util.h"
#include "status/status.h"
#include "support/process_state.h"

namespace mirt {
namespace {

using test::PipeOutput;
using testing::Bytes;
using testing::Capture;
using testing::PipeInput;
using testing::run_settings;
using testing::TempDir;

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes repeat(uint8_t byte, size_t n) { return Bytes(n, byte); }

uint32_t be32(const Bytes& b, size_t at) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

// ---- Test algorithms ------------------------------------------------------

// Drops trailing zero bytes behind a marker byte; decodes correctly.
uint32_t strip_zeros(uint32_t mode, void*, const unsigned char* src, unsigned char* dst,
                     uint32_t len, uint32_t cap) {
  if (mode == 1) {
    uint32_t keep = len;
    while (keep > 0 && src[keep - 1] == 0) --keep;
    dst[0] = 0xEE;
    std::memcpy(dst + 1, src, keep);
    return keep + 1;
  }
  if (mode == 2) {
    if (len == 0 || src[0] != 0xEE || len - 1 > cap) return 0;
    std::memcpy(dst, src + 1, len - 1);
    std::memset(dst + len - 1, 0, cap - (len - 1));
    return cap;
  }
  return static_cast<uint32_t>(-1);
}

// Same output as strip_zeros, under another entry point.
uint32_t strip_zeros_twin(uint32_t mode, void* r, const unsigned char* src, unsigned char* dst,
                          uint32_t len, uint32_t cap) {
  return strip_zeros(mode, r, src, dst, len, cap);
}

// Tiny output, but decodes to the wrong bytes.
uint32_t wrong_bytes(uint32_t mode, void*, const unsigned char*, unsigned char* dst, uint32_t,
                     uint32_t cap) {
  if (mode == 1) {
    dst[0] = 1;
    return 1;
  }
  std::memset(dst, 0x77, cap);
  return cap;
}

// Tiny output, decodes one byte short.
uint32_t wrong_length(uint32_t mode, void*, const unsigned char*, unsigned char* dst, uint32_t,
                      uint32_t cap) {
  if (mode == 1) {
    dst[0] = 2;
    return 1;
  }
  std::memset(dst, 0, cap);
  return cap - 1;
}

// Ten bytes longer than its input; decodes correctly.
uint32_t expand_ten(uint32_t mode, void*, const unsigned char* src, unsigned char* dst,
                    uint32_t len, uint32_t) {
  if (mode == 1) {
    std::memcpy(dst, src, len);
    std::memset(dst + len, 0, 10);
    return len + 10;
  }
  if (len < 10) return 0;
  std::memcpy(dst, src, len - 10);
  return len - 10;
}

// Claims more output than the buffer it was given.
uint32_t overclaim(uint32_t mode, void*, const unsigned char*, unsigned char*, uint32_t,
                   uint32_t cap) {
  return mode == 1 ? cap + 1 : 0;
}

// XOR cipher that counts its calls.
int g_cipher_starts = 0;
int g_cipher_blocks = 0;
int32_t xor_cipher(const unsigned char* src, unsigned char* dst, uint32_t len,
                   unsigned char* state, int32_t mode) {
  if (state == nullptr) return -1;
  if (mode == 11) {
    ++g_cipher_starts;
    return 0;
  }
  if (mode != 6) return -1;
  ++g_cipher_blocks;
  for (uint32_t i = 0; i < len; ++i) dst[i] = src[i] ^ 0x5A;
  return static_cast<int32_t>(len);
}

// ---- Running the compressor ------------------------------------------------

struct Outcome {
  uint64_t result = 0;
  Bytes output;
  std::string err;
  ChecksumRecord sums;
};

class CompressTest : public ::testing::Test {
 protected:
  void SetUp() override { test::reset_process_state(); }
  void TearDown() override { test::reset_process_state(); }

  std::string input_file(const Bytes& data) {
    const std::string path = dir_.file("input");
    test::write_bytes(path, data);
    return path;
  }

  // Input from a regular file (so its size is known), output to a file.
  Outcome to_file(const Bytes& data, const char* name, Options options = {},
                  uint32_t block_size = 0, int cipher = -1) {
    const int in = open(input_file(data).c_str(), O_RDONLY);
    const std::string out_path = dir_.file("output");
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Settings settings = run_settings(options, block_size);
    settings.records = records_;
    Outcome o;
    {
      Capture err(2);
      o.result = process_stream(in, out, kModeCompress, settings, name, o.sums, cipher);
      o.err = err.text();
    }
    close(in);
    close(out);
    o.output = test::read_bytes(out_path);
    return o;
  }

  // Input from a regular file, output to a pipe.
  Outcome to_pipe(const Bytes& data, const char* name, Options options = {},
                  uint32_t block_size = 0) {
    const int in = open(input_file(data).c_str(), O_RDONLY);
    PipeOutput pipe_out;
    Outcome o;
    {
      Capture err(2);
      o.result = process_stream(in, pipe_out.fd(), kModeCompress, run_settings(options, block_size),
                                name, o.sums, -1);
      o.err = err.text();
    }
    close(in);
    o.output = pipe_out.finish();
    return o;
  }

  TempDir dir_;
  std::vector<HeaderRecord> records_;  // what -D, -u and -U would give to_file
};

// ---- Golden containers -----------------------------------------------------

std::string golden_path(const std::string& name) {
  return std::string(MIRT_SOURCE_DIR) + "/tests/golden/" + name;
}

// Set MIRT_WRITE_GOLDEN=1 to (re)write the files after a deliberate change.
void expect_golden(const std::string& name, const Bytes& actual) {
  const std::string path = golden_path(name);
  if (std::getenv("MIRT_WRITE_GOLDEN") != nullptr) test::write_bytes(path, actual);
  ASSERT_TRUE(std::filesystem::exists(path)) << path << " is missing";
  EXPECT_EQ(test::read_bytes(path), actual) << name;
}

const Bytes kAbcBlock = {0x00, 0x08, 0x61, 0x62, 0x63, 0, 0, 0, 0, 0};

Bytes abc_header(uint8_t size, uint8_t count, uint8_t area) {
  return {0x4D, 0x52, 0x54, 0xC3, 0x00, 0x08, 0x2A, 0, 0, 0, 0, 0, 0, 0, size,
          0,    0,    0,    count, 0, 0, 0, 8, 0, 0, 0, 0, area};
}

const Bytes kNameT = {0x04, 0x00, 0x01, 0x74};
const Bytes kAbcSums = {0x00, 0x00, 0x04, 0x08, 0x10, 0x01, 0x27,
                        0x01, 0x00, 0x04, 0x08, 0x10, 0x01, 0x27};

TEST_F(CompressTest, WorkedExampleToFile) {
  const Outcome o = to_file(bytes_of("abc"), "t");
  EXPECT_EQ(o.result, 3u);
  EXPECT_EQ(o.err, "");
  const Bytes expected = concat({abc_header(3, 1, 0x12), kNameT, kAbcSums, kAbcBlock});
  ASSERT_EQ(expected.size(), 56u);
  EXPECT_EQ(o.output, expected);
  EXPECT_EQ(o.sums.compressed_sum, 0x08100127u);
  EXPECT_EQ(o.sums.plain_sum, 0x08100127u);
  expect_golden("abc_file.mrt", o.output);
}

TEST_F(CompressTest, WorkedExampleToPipe) {
  const Outcome o = to_pipe(bytes_of("abc"), "t");
  EXPECT_EQ(o.result, 3u);
  const Bytes expected = concat({abc_header(0, 0, 0x12), repeat(0x0A, 18), kAbcBlock,
                                 {0xFF, 0x3F, 0xDE, 0x08, 0, 0, 0, 0, 0, 0, 0, 3}});
  ASSERT_EQ(expected.size(), 68u);
  EXPECT_EQ(o.output, expected);
  expect_golden("abc_pipe.mrt", o.output);
}

TEST_F(CompressTest, NoCrcLeavesFillerInReservedSpace) {
  Options options;
  options.no_crc = 1;
  const Outcome o = to_file(bytes_of("abc"), "t", options);
  EXPECT_EQ(o.result, 3u);
  EXPECT_EQ(o.output, concat({abc_header(3, 1, 0x12), kNameT, repeat(0x0A, 14), kAbcBlock}));
  expect_golden("abc_nocrc.mrt", o.output);
}

TEST_F(CompressTest, NoNameOmitsNameRecord) {
  Options options;
  options.no_name = 1;
  const Outcome o = to_file(bytes_of("abc"), "t", options);
  EXPECT_EQ(o.output, concat({abc_header(3, 1, 14), kAbcSums, kAbcBlock}));
  expect_golden("abc_noname.mrt", o.output);
}

TEST_F(CompressTest, HeaderOnlyWritesNoBlocksButFullHeader) {
  Options options;
  options.header_only = 1;
  const Outcome o = to_file(bytes_of("abc"), "t", options);
  EXPECT_EQ(o.result, 3u);
  EXPECT_EQ(o.output, concat({abc_header(3, 1, 0x12), kNameT, kAbcSums}));
  expect_golden("abc_header_only.mrt", o.output);
}

TEST_F(CompressTest, CommandLineRecordsPrecedeOwnRecordsAndReachOneContainer) {
  const std::string description = "A description";
  const std::string location = "http://example.invalid/@@FILE@@";
  const std::string list = "locations.txt";
  records_ = {{kRecordDescription, description},
              {kRecordLocation, location},
              {kRecordLocationFile, list}};
  const Outcome o = to_file(bytes_of("abc"), "t");
  EXPECT_EQ(o.result, 3u);
  const Bytes records = concat({{6, 0, 13}, bytes_of(description), {7, 0, 31},
                                bytes_of(location), {8, 0, 13}, bytes_of(list)});
  const auto area = static_cast<uint8_t>(records.size() + 4 + 14);
  EXPECT_EQ(o.output, concat({abc_header(3, 1, area), records, kNameT, kAbcSums, kAbcBlock}));
  expect_golden("abc_records.mrt", o.output);

  // Without them, a container carries only its own.
  records_.clear();
  const Outcome second = to_file(bytes_of("abc"), "t");
  EXPECT_EQ(second.output, concat({abc_header(3, 1, 0x12), kNameT, kAbcSums, kAbcBlock}));
}

TEST_F(CompressTest, MultiBlockToFileAndPipe) {
  const Bytes input = bytes_of("Twenty bytes of text");  // 20 bytes, S = 8: 3 blocks
  ASSERT_EQ(input.size(), 20u);
  Bytes padded = input;
  padded.resize(24, 0);
  const uint32_t sum = adler32(0, padded.data(), padded.size());

  const Outcome file = to_file(input, "multi", {}, 8);
  EXPECT_EQ(file.result, 20u);
  const Bytes& f = file.output;
  ASSERT_EQ(f.size(), 28u + 8 + 14 + 3 * 10);
  EXPECT_EQ(f[14], 20);  // uncompressed size
  EXPECT_EQ(f[18], 3);   // block count
  EXPECT_EQ(be32(f, 28 + 8 + 3), sum);
  EXPECT_EQ(be32(f, 28 + 8 + 10), sum);
  for (int b = 0; b < 3; ++b) {
    const size_t at = 28 + 22 + 10 * b;
    EXPECT_EQ(f[at], 0);
    EXPECT_EQ(f[at + 1], 8);
    EXPECT_EQ(Bytes(f.begin() + at + 2, f.begin() + at + 10),
              Bytes(padded.begin() + 8 * b, padded.begin() + 8 * b + 8));
  }
  expect_golden("multi_block_file.mrt", f);

  const Outcome piped = to_pipe(input, "multi", {}, 8);
  EXPECT_EQ(piped.result, 20u);
  ASSERT_EQ(piped.output.size(), 28u + 22 + 30 + 12);
  EXPECT_EQ(Bytes(piped.output.begin() + 50, piped.output.begin() + 80),
            Bytes(f.begin() + 50, f.end()));
  expect_golden("multi_block_pipe.mrt", piped.output);
}

// Old-layout containers (0.8.38) can only be built by hand: 24-byte header,
// 4-byte sizes, ELF-hash checksums.
uint32_t elf(uint32_t h, const Bytes& data) {
  for (uint8_t b : data) {
    h = (h << 4) + b;
    const uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

TEST(OldLayoutGolden, HandBuiltContainers) {
  const Bytes plain = {0x61, 0x62, 0x63, 0, 0, 0, 0, 0};
  const uint32_t sum = elf(0, plain);
  ASSERT_EQ(sum, 0x08300670u);
  const Bytes sum_bytes = {0x08, 0x30, 0x06, 0x70};
  const Bytes old_file = concat({{0x4D, 0x52, 0x54, 0xC3, 0x00, 0x08, 0x26, 0, 0, 0, 3, 0, 0, 0, 1,
                                  0, 0, 0, 8, 0, 0, 0, 0, 0x12},
                                 kNameT, {0x00, 0x00, 0x04}, sum_bytes, {0x01, 0x00, 0x04},
                                 sum_bytes, kAbcBlock});
  ASSERT_EQ(old_file.size(), 52u);
  expect_golden("old_layout.mrt", old_file);

  const Bytes old_pipe = concat({{0x4D, 0x52, 0x54, 0xC3, 0x00, 0x08, 0x26, 0, 0, 0, 0, 0, 0, 0, 0,
                                  0, 0, 0, 8, 0, 0, 0, 0, 0x12},
                                 repeat(0x0A, 18), kAbcBlock,
                                 {0xFF, 0x3F, 0xDE, 0x08, 0, 0, 0, 3}});
  ASSERT_EQ(old_pipe.size(), 60u);
  expect_golden("old_layout_pipe.mrt", old_pipe);
}

// ---- Block size and length field -----------------------------------------

struct SizeCase {
  uint64_t input_size;
  uint32_t block_size;
};

class DefaultBlockSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(DefaultBlockSizeTest, FollowsSizeSteps) {
  EXPECT_EQ(default_block_size(GetParam().input_size), GetParam().block_size)
      << GetParam().input_size;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, DefaultBlockSizeTest,
    ::testing::Values(SizeCase{0, 8192}, SizeCase{1, 6}, SizeCase{3, 8},
                      SizeCase{204799, 204804}, SizeCase{204800, 65535},
                      SizeCase{307199, 65535}, SizeCase{307200, 131070},
                      SizeCase{409599, 131070}, SizeCase{409600, 196605},
                      SizeCase{6655999, 4128705}, SizeCase{6656000, 4194240},
                      SizeCase{6758399, 4194240}, SizeCase{6758400, 4194304},
                      SizeCase{10000000, 4194304}, SizeCase{UINT64_MAX, 4194304}));

// With a limit, an input above it is cut into limit-sized blocks, or with
// even blocks into the same number of equal ones; never a block above the
// limit, never a block more.
TEST(ChooseBlockSize, LimitAndEvenBlocks) {
  struct Case {
    uint64_t input_size;
    uint32_t limit;
    bool even;
    uint32_t block_size;
  };
  const Case cases[] = {
      {300000, 400000, true, 300005},    {300000, 70000, false, 70000},
      {300000, 70000, true, 60000},      {300001, 70000, true, 60001},
      {4194305, 4194304, true, 2097153}, {6471680, 4194304, true, 3235840},
      {6471680, 4194304, false, 4194304}, {8388608, 4194304, true, 4194304},
  };
  for (const Case& c : cases) {
    const BlockSizeRules rules{0, 0, c.limit, c.even};
    EXPECT_EQ(rules.choose(c.input_size), c.block_size) << c.input_size << " " << c.limit;
  }
  BlockSizeRules rules{0, 100000, 70000, true};
  EXPECT_EQ(rules.choose(0), 100000u);  // input of unknown size: not affected
  for (uint64_t size = 70001; size < 2000000; size = size * 3 / 2 + 7) {
    const uint32_t block = rules.choose(size);
    EXPECT_LE(block, 70000u) << size;
    EXPECT_EQ((size + block - 1) / block, (size + 69999) / 70000) << size;
  }
  rules.fixed = 5000;  // a size given wins over every rule
  EXPECT_EQ(rules.choose(0), 5000u);
  EXPECT_EQ(rules.choose(300000), 5000u);
}

struct ExtremeCase {
  uint32_t block_size;
  int width;
};

class BlockSizeExtremesTest : public CompressTest,
                              public ::testing::WithParamInterface<ExtremeCase> {};

TEST_P(BlockSizeExtremesTest, EveryRecordUsesTheLengthWidth) {
  const uint32_t s = GetParam().block_size;
  const int k = GetParam().width;
  const Outcome o = to_file(bytes_of("abc"), "t", {}, s);
  ASSERT_EQ(o.result, 3u);
  const uint32_t blocks = (3 + s - 1) / s;
  const size_t first = 28 + 0x12;
  ASSERT_EQ(o.output.size(), first + blocks * (1 + k + s));
  EXPECT_EQ(be32(o.output, 19), s);
  EXPECT_EQ(be32(o.output, 15), blocks);
  for (uint32_t b = 0; b < blocks; ++b) {
    const size_t at = first + b * (1 + k + s);
    EXPECT_EQ(o.output[at], 0);
    uint64_t length = 0;
    for (int i = 0; i < k; ++i) length = length << 8 | o.output[at + 1 + i];
    EXPECT_EQ(length, s);
  }
}

INSTANTIATE_TEST_SUITE_P(Extremes, BlockSizeExtremesTest,
                         ::testing::Values(ExtremeCase{1, 1}, ExtremeCase{254, 1},
                                           ExtremeCase{255, 2}, ExtremeCase{65535, 3}));

TEST_F(CompressTest, OversizedBlockSizeIsRefused) {
  const Outcome o = to_file(bytes_of("abc"), "t", {}, 2147483647u);
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.err, "mirt: Block size 2147483647 is too large (at most 2147483646).\n");
  EXPECT_TRUE(o.output.empty());
}

// ---- Input shapes and failures -----------------------------------------------

TEST_F(CompressTest, PipeInputUsesDefaultBlockAndCoversEveryByte) {
  const Bytes input = [] {
    Bytes b(3 * 1024 * 1024 + 123);
    uint32_t x = 12345;
    for (auto& v : b) v = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    return b;
  }();
  PipeInput in(input);
  const std::string out_path = dir_.file("output");
  const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Options options;
  ChecksumRecord sums;
  const uint64_t result =
      process_stream(in.fd(), out, kModeCompress, run_settings(options), nullptr, sums, -1);
  close(out);
  EXPECT_EQ(result, input.size());
  const Bytes f = test::read_bytes(out_path);
  const uint32_t blocks = static_cast<uint32_t>((input.size() + 8191) / 8192);
  ASSERT_EQ(f.size(), 28u + 14 + blocks * (1 + 2 + 8192));
  EXPECT_EQ(be32(f, 19), 8192u);
  EXPECT_EQ(be32(f, 15), blocks);
  Bytes padded = input;
  padded.resize(blocks * 8192, 0);
  Bytes stored;
  for (uint32_t b = 0; b < blocks; ++b) {
    const size_t at = 42 + b * 8195;
    ASSERT_EQ(f[at], 0);
    stored.insert(stored.end(), f.begin() + at + 3, f.begin() + at + 8195);
  }
  EXPECT_EQ(stored, padded);
  const uint32_t sum = adler32(0, padded.data(), padded.size());
  EXPECT_EQ(sums.compressed_sum, sum);
  EXPECT_EQ(sums.plain_sum, sum);
  EXPECT_EQ(be32(f, 31), sum);
  EXPECT_EQ(be32(f, 38), sum);
}

// An empty file is a file: its container holds no blocks, and a trailer
// of size 0 says so wherever the container was written.
TEST_F(CompressTest, EmptyInputGivesAContainerOfNoBlocks) {
  records_ = {{kRecordDescription, "d"}};
  const Outcome o = to_file({}, "t");
  EXPECT_EQ(o.err, "");
  // Header (size and count 0, block size 8192), records d, t and the two
  // sums (both missing), then the trailer.
  Bytes expected = {0x4D, 0x52, 0x54, 0xC3, 0, 8, 42, 0, 0, 0, 0, 0, 0, 0, 0,
                    0,    0,    0,    0,    0, 0, 0x20, 0, 0, 0, 0, 0, 0x16};
  testing::append(expected, {6, 0, 1, 'd', 4, 0, 1, 't', 0, 0, 4, 0, 0, 0, 0, 1, 0, 4, 0, 0, 0, 0});
  testing::append(expected, {0xFF, 0x3F, 0xDE, 0x08, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(o.output, expected);

  PipeInput in(Bytes{});
  PipeOutput out;
  ChecksumRecord sums;
  Options options;
  Capture err(2);
  const StreamResult r =
      run_stream(in.fd(), out.fd(), kModeCompress, run_settings(options), nullptr, sums, -1);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(err.text(), "");
  Bytes piped = {0x4D, 0x52, 0x54, 0xC3, 0, 8, 42, 0, 0, 0, 0, 0, 0, 0, 0,
                 0,    0,    0,    0,    0, 0, 0x20, 0, 0, 0, 0, 0, 14};
  testing::append(piped, Bytes(14, 0x0A));
  testing::append(piped, {0xFF, 0x3F, 0xDE, 0x08, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(out.finish(), piped);
}

TEST_F(CompressTest, ReadErrorFailsInsteadOfCountingAsData) {
  const int in = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(in, 0);
  PipeOutput out;
  ChecksumRecord sums;
  Options options;
  Capture err(2);
  EXPECT_EQ(process_stream(in, out.fd(), kModeCompress, run_settings(options), "dir", sums, -1),
            0u);
  close(in);
  EXPECT_EQ(err.text(), "mirt: read: Is a directory\n");
  EXPECT_TRUE(out.finish().empty());
}

TEST_F(CompressTest, BadInputDescriptorFailsAtFstat) {
  ChecksumRecord sums;
  Options options;
  Capture err(2);
  EXPECT_EQ(process_stream(-1, -1, kModeCompress, run_settings(options), "x", sums, -1), 0u);
  EXPECT_EQ(err.text(), "mirt: fstat: Bad file descriptor\n");
}

TEST_F(CompressTest, UnknownModeReturnsZeroSilently) {
  const int in = open(input_file(bytes_of("abc")).c_str(), O_RDONLY);
  ChecksumRecord sums;
  Options options;
  Capture err(2);
  EXPECT_EQ(process_stream(in, -1, 7, run_settings(options), "x", sums, -1), 0u);
  close(in);
  EXPECT_EQ(err.text(), "");
}

TEST_F(CompressTest, HeaderWriteFailureFailsTheStream) {
  const int in = open(input_file(bytes_of("abc")).c_str(), O_RDONLY);
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  ChecksumRecord sums;
  Options options;
  Capture err(2);
  EXPECT_EQ(process_stream(in, full, kModeCompress, run_settings(options), "t", sums, -1), 0u);
  close(in);
  close(full);
  EXPECT_EQ(err.text(), "mirt: write: No space left on device\n");
}

TEST_F(CompressTest, ClosedPipeFailsTheStream) {
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const int in = open(input_file(bytes_of("abc")).c_str(), O_RDONLY);
  ChecksumRecord sums;
  Options options;
  Capture err(2);
  EXPECT_EQ(process_stream(in, fds[1], kModeCompress, run_settings(options), "t", sums, -1), 0u);
  close(in);
  close(fds[1]);
  std::signal(SIGPIPE, previous);
  EXPECT_EQ(err.text(), "mirt: write: Broken pipe\n");
}

TEST_F(CompressTest, BlockWriteFailureFailsTheStream) {
  // The header fits under the file size limit, the block records do not.
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const Bytes input(1000, 'q');
  const std::string in_path = input_file(input);
  const int in = open(in_path.c_str(), O_RDONLY);
  const int out = open(dir_.file("output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  rlimit small = saved;
  small.rlim_cur = 300;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  ChecksumRecord sums;
  Options options;
  uint64_t result;
  std::string text;
  {
    Capture err(2);
    result = process_stream(in, out, kModeCompress, run_settings(options, 100), "t", sums, -1);
    text = err.text();
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  close(in);
  close(out);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(text, "mirt: write: File too large\n");
}

TEST_F(CompressTest, SelfExtractHookFails) {
  Options options;
  options.self_extract = 1;
  const Outcome o = to_file(bytes_of("abc"), "t", options);
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.err, "mirt: Couldn't initialize self-extracting header.\n");
  EXPECT_TRUE(o.output.empty());
}

// ---- Selection ---------------------------------------------------------------

TEST_F(CompressTest, VerbosityThreeTables) {
  Options options;
  options.verbosity = 3;
  const Outcome o = to_file(bytes_of("abc"), "t", options);
  EXPECT_EQ(o.result, 3u);
  EXPECT_EQ(o.err,
            "mirt: Blk | Algo | Size    | Name\n"
            "mirt: ----+------+---------+---------------------------\n"
            "mirt: \033[7m----| 000  | 8       | Uncompressed\033[0m\n"
            "mirt: ^^^\\ /^^^^\\ /^^^^^^^\\ /^^^^^^^^^^^^^^^^^^^^^^^^^^\n"
            "mirt: 001 | 000  | 8       | Uncompressed\n"
            "mirt: ___/ \\____/ \\_______/ \\__________________________\n");

  options.verbosity = 2;
  const Outcome two = to_file(bytes_of("abc"), "t", options);
  EXPECT_EQ(two.err,
            "mirt: Blk | Algo | Size    | Name\n"
            "mirt: ----+------+---------+---------------------------\n"
            "mirt: 001 | 000  | 8       | Uncompressed\n");
}

TEST_F(CompressTest, SmallerVerifiedCandidateWinsAndTiesKeepLowerSlot) {
  ASSERT_TRUE(algorithm_install(30, strip_zeros_twin, "Twin"));
  ASSERT_TRUE(algorithm_install(20, strip_zeros, "Strip"));
  Options options;
  options.verbosity = 3;
  const Outcome o = to_file(bytes_of("abc"), "t", options);
  ASSERT_EQ(o.result, 3u);
  // Block record: algorithm 20, length 4, marker and the three bytes.
  const Bytes tail(o.output.end() - 6, o.output.end());
  EXPECT_EQ(tail, (Bytes{20, 4, 0xEE, 0x61, 0x62, 0x63}));
  EXPECT_NE(o.err.find("mirt: \033[7m----| 020  | 4       | Strip\033[0m\n"), std::string::npos);
  EXPECT_NE(o.err.find("mirt: \033[0m----| 030  | 4       | Twin\033[0m\n"), std::string::npos);
  EXPECT_NE(o.err.find("mirt: 001 | 020  | 4       | Strip\n"), std::string::npos);
  const uint32_t stored_sum = adler32(0, tail.data() + 2, 4);
  EXPECT_EQ(o.sums.compressed_sum, stored_sum);
  EXPECT_EQ(o.sums.plain_sum, 0x08100127u);
}

struct LiarCase {
  AlgorithmEntry entry;
  const char* name;
};

class BadVerificationTest : public CompressTest,
                            public ::testing::WithParamInterface<LiarCase> {};

TEST_P(BadVerificationTest, NeverWinsAndComplainsWhenAsked) {
  ASSERT_TRUE(algorithm_install(40, GetParam().entry, GetParam().name));
  const Bytes input(20, 'k');  // S = 25: one block
  Options options;
  options.verbosity = 3;
  const Outcome quiet = to_file(input, "t", options);
  ASSERT_EQ(quiet.result, 20u);
  EXPECT_EQ(quiet.output[28 + 0x12], 0);  // stored with the copy algorithm
  EXPECT_NE(quiet.err.find(std::string("----| 040  | -1      | ") + GetParam().name),
            std::string::npos);
  EXPECT_STRNE(status_text(), "Compression verification failed (ignoring)");

  options.complain = 1;
  options.verbosity = 0;
  const Outcome loud = to_file(input, "t", options);
  EXPECT_EQ(loud.output, quiet.output);
  EXPECT_STREQ(status_text(), "Compression verification failed (ignoring)");
}

INSTANTIATE_TEST_SUITE_P(Liars, BadVerificationTest,
                         ::testing::Values(LiarCase{wrong_bytes, "WrongBytes"},
                                           LiarCase{wrong_length, "WrongLength"}));

TEST_F(CompressTest, OversizedCandidatesAreDeclined) {
  algorithm_disable(0);
  ASSERT_TRUE(algorithm_install(50, expand_ten, "Expand"));
  // S = 250 has a one-byte length field; 260 bytes cannot be recorded.
  const Outcome too_long = to_file(Bytes(100, 'e'), "t", {}, 250);
  EXPECT_EQ(too_long.result, 0u);
  EXPECT_EQ(too_long.err, "mirt: Compression resulted in 0-byte block.\n");

  // 240 + 10 still fits.
  const Outcome fits = to_file(Bytes(100, 'e'), "t", {}, 240);
  ASSERT_EQ(fits.result, 100u);
  EXPECT_EQ(fits.output[28 + 0x12], 50);
  EXPECT_EQ(fits.output[28 + 0x12 + 1], 250);
  EXPECT_EQ(fits.output.size(), 28u + 0x12 + 2 + 250);
}

TEST_F(CompressTest, CandidateClaimingMoreThanItsBufferIsDeclined) {
  ASSERT_TRUE(algorithm_install(60, overclaim, "Overclaim"));
  Options options;
  options.verbosity = 3;
  const Outcome o = to_file(bytes_of("abc"), "t", options);
  ASSERT_EQ(o.result, 3u);
  EXPECT_NE(o.err.find("----| 060  | -1      | Overclaim"), std::string::npos);
}

TEST_F(CompressTest, NoAvailableAlgorithmFails) {
  algorithm_disable(0);
  const Outcome o = to_file(bytes_of("abc"), "t");
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.err, "mirt: Compression resulted in 0-byte block.\n");
}

// The choice for one block, planned and run round by round as the
// pipeline does on one thread.
std::unique_ptr<BlockChoice> choose(SelectionContext& context, const Bytes& block) {
  Buffer plain = allocate_buffer(block.size());
  std::memcpy(plain.get(), block.data(), block.size());
  auto choice = std::make_unique<BlockChoice>(context, std::move(plain), BlockPlace{});
  std::vector<BlockTask> tasks;
  do {
    tasks.clear();
    choice->plan(tasks);
    for (BlockTask& task : tasks) task.run(0);
  } while (!tasks.empty());
  return choice;
}

TEST_F(CompressTest, BlockChoiceKeepsTheSmallestVerifiedCandidate) {
  const Bytes block = {1, 2, 0, 0};
  ASSERT_TRUE(algorithm_install(20, strip_zeros, "Strip"));
  SelectionContext with_strip(4, 1, AlgorithmChoice{});
  auto choice = choose(with_strip, block);
  ASSERT_TRUE(choice->chosen());
  EXPECT_EQ(choice->algorithm(), 20);
  EXPECT_EQ(Bytes(choice->stored(), choice->stored() + choice->length()), (Bytes{0xEE, 1, 2}));

  // Left out of the tried slots, it is not tried, and it still decodes.
  AlgorithmChoice none_tried;
  none_tried.tried = SlotSet{};
  SelectionContext untried(4, 1, none_tried);
  EXPECT_EQ(choose(untried, block)->algorithm(), 0);
  EXPECT_TRUE(algorithm_available(20));

  tables_reset();
  SelectionContext copy_only(4, 1, AlgorithmChoice{});
  choice = choose(copy_only, block);
  ASSERT_TRUE(choice->chosen());
  EXPECT_EQ(choice->algorithm(), 0);
  EXPECT_EQ(Bytes(choice->stored(), choice->stored() + choice->length()), block);

  algorithm_disable(0);
  SelectionContext none(4, 1, AlgorithmChoice{});
  EXPECT_FALSE(choose(none, block)->chosen());
}

// Counts the verifications (decodes) each test algorithm gets.
int g_decodes[2] = {0, 0};
template <AlgorithmEntry Entry, int Counter>
uint32_t counted(uint32_t mode, void* r, const unsigned char* src, unsigned char* dst,
                 uint32_t len, uint32_t cap) {
  if (mode == 2) ++g_decodes[Counter];
  return Entry(mode, r, src, dst, len, cap);
}

// One byte for the block {1, 2, 0, 0} alone; decodes it back.
uint32_t one_byte(uint32_t mode, void*, const unsigned char* src, unsigned char* dst, uint32_t,
                  uint32_t cap) {
  if (mode == 1) return src[0] == 1 && src[1] == 2 ? (dst[0] = 0xAB, 1) : MR_DECLINED;
  const uint8_t block[4] = {1, 2, 0, 0};
  std::memcpy(dst, block, cap);
  return cap;
}

TEST_F(CompressTest, OnlyTheCandidatesThatDecideAreVerifiedUnlessEachIsShown) {
  struct Case {
    bool whole_chain;
    AlgorithmEntry smallest;
    uint8_t chosen;
    int strip_decodes;
  } cases[] = {
      {true, counted<one_byte, 1>, 30, 1},      // every improvement, as reported
      {false, counted<one_byte, 1>, 30, 0},     // the smallest holds: nothing else
      {false, counted<wrong_bytes, 1>, 20, 1},  // it fails: the next one decides
  };
  for (const Case& c : cases) {
    tables_reset();
    ASSERT_TRUE(algorithm_install(20, counted<strip_zeros, 0>, "Strip"));
    ASSERT_TRUE(algorithm_install(30, c.smallest, "Smallest"));
    g_decodes[0] = g_decodes[1] = 0;
    SelectionContext context(4, 1, AlgorithmChoice{}, c.whole_chain);
    const auto choice = choose(context, {1, 2, 0, 0});
    ASSERT_TRUE(choice->chosen());
    EXPECT_EQ(choice->algorithm(), c.chosen) << c.whole_chain;
    EXPECT_EQ(g_decodes[0], c.strip_decodes) << c.whole_chain;
    EXPECT_EQ(g_decodes[1], 1) << c.whole_chain;
  }
}

// ---- Cipher --------------------------------------------------------------------

TEST_F(CompressTest, CipherEncryptsStoredBytesAndRecordsItsNumber) {
  ASSERT_TRUE(cipher_install(4, xor_cipher, "xor"));
  g_cipher_starts = g_cipher_blocks = 0;
  const Outcome o = to_file(bytes_of("abc"), "t", {}, 0, 4);
  ASSERT_EQ(o.result, 3u);
  EXPECT_EQ(g_cipher_starts, 1);
  EXPECT_EQ(g_cipher_blocks, 1);
  Bytes encrypted = {0x61, 0x62, 0x63, 0, 0, 0, 0, 0};
  for (auto& b : encrypted) b ^= 0x5A;
  const uint32_t sum = adler32(0, encrypted.data(), encrypted.size());
  const Bytes sum_bytes = {static_cast<uint8_t>(sum >> 24), static_cast<uint8_t>(sum >> 16),
                           static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
  const Bytes expected =
      concat({abc_header(3, 1, 7 + 4 + 14), {9, 0, 4, 0, 0, 0, 4}, kNameT, {0, 0, 4}, sum_bytes,
              {1, 0, 4, 0, 0, 0, 0}, {0, 8}, encrypted});
  EXPECT_EQ(o.output, expected);
  EXPECT_EQ(o.sums.plain_sum, 0u);
}

TEST_F(CompressTest, UnavailableCipherIsRefused) {
  const Outcome o = to_file(bytes_of("abc"), "t", {}, 0, 0);  // "chaos" holds the stub
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.err, "mirt: No such cipher.\n");
  EXPECT_TRUE(o.output.empty());
}

}  // namespace
}  // namespace mirt
