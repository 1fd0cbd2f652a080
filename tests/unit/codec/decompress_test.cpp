#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>

#include "codec/checksum.h"
#include "codec/codec.h"
#include "common/plugin.h"
#include "codec/format.h"
#include "codec/tables.h"
#include "status/status.h"
#include "unit/codec/codec_test_util.h"
#include "support/process_state.h"

namespace mirt {
namespace {

using testing::append;
using testing::be;
using testing::block;
using testing::Bytes;
using testing::Capture;
using testing::ContainerBytes;
using testing::count_of;
using testing::PipeInput;
using testing::record;
using testing::run_settings;
using testing::text_record;

struct Decoded {
  uint64_t result = 0;
  Bytes output;
  std::string out;  // standard output
  std::string err;  // standard error
  ChecksumRecord sums;
};

const Bytes kAbcBlock = {'a', 'b', 'c', 0, 0, 0, 0, 0};

// An algorithm that stores blocks as they are, behind the bundled plugins'
// check, which the call context binds to the block's place.
uint32_t store_declined(const unsigned char*, unsigned char*, uint32_t, uint32_t) {
  return MR_DECLINED;
}
uint32_t store_expand(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  if (len > cap) return MR_FAILED;
  std::memcpy(dst, src, len);
  return len;
}
constexpr uint8_t kKeyedSlot = 60;

class DecompressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::reset_process_state();
    algorithm_install(kKeyedSlot, plugin::entry<store_declined, store_expand>, "Keyed",
                      AlgorithmTraits{true, 1, nullptr});
  }
  void TearDown() override { test::reset_process_state(); }

  std::string put(const std::string& name, const Bytes& data) {
    std::string path = dir_.file(name);
    test::write_bytes(path, data);
    return path;
  }

  Decoded decode_fd(int input, Options options, const char* name = "t.mrt", int cipher = -1) {
    Decoded d;
    std::string out_path = dir_.file("out");
    int output = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    {
      Capture out(1);
      Capture err(2);
      d.result = process_stream(input, output, kModeDecompress, run_settings(options), name, d.sums,
                                cipher);
      d.out = out.text();
      d.err = err.text();
    }
    close(output);
    d.output = test::read_bytes(out_path);
    return d;
  }

  Decoded decode(const Bytes& container, Options options = {}, bool pipe = false,
                 int cipher = -1) {
    if (pipe) {
      PipeInput in(container);
      return decode_fd(in.fd(), options, "t.mrt", cipher);
    }
    std::string path = put("in.mrt", container);
    int fd = open(path.c_str(), O_RDONLY);
    Decoded d = decode_fd(fd, options, "t.mrt", cipher);
    close(fd);
    return d;
  }

  testing::TempDir dir_;
};

TEST_F(DecompressTest, WorkedExampleFromFile) {
  Decoded d = decode(testing::abc_file_container());
  EXPECT_EQ(d.result, 3u);
  EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(d.sums.compressed_sum, 0x08100127u);
  EXPECT_EQ(d.sums.plain_sum, 0x08100127u);
  EXPECT_EQ(d.sums.stored_compressed_sum, 0x08100127u);
  EXPECT_EQ(d.sums.stored_plain_sum, 0x08100127u);
  EXPECT_EQ(d.err, "");
}

TEST_F(DecompressTest, WorkedExampleFromPipeIsCutAtTheHeaderSize) {
  Decoded d = decode(testing::abc_file_container(), {}, true);
  EXPECT_EQ(d.result, 3u);
  EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c'}));
}

TEST_F(DecompressTest, PipeWrittenContainerFromFileTakesTheTrailerSize) {
  Bytes c = testing::abc_pipe_container();
  ASSERT_EQ(c.size(), 68u);
  Decoded d = decode(c);
  EXPECT_EQ(d.result, 3u);
  EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(d.sums.stored_compressed_sum, 0u);
}

TEST_F(DecompressTest, PipeWrittenContainerFromPipeIsCutAtTheTrailerSize) {
  // The last block is held back until the trailer has given the size.
  Decoded d = decode(testing::abc_pipe_container(), {}, true);
  EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(d.result, 3u);
}

// The end marker ends the list of blocks wherever it stands: a header that
// counts its blocks may still be followed by the marker and a trailer of
// the same size, and another container may follow that.
TEST_F(DecompressTest, CountedContainerMayEndWithTheTrailer) {
  ContainerBytes c;
  c.size = 3;
  c.blocks = block(0, kAbcBlock, 1);
  c.trailer = true;
  c.trailer_size = 3;
  Bytes two = c.build();
  append(two, testing::abc_pipe_container());
  for (bool through_pipe : {false, true}) {
    Decoded d = decode(c.build(), {}, through_pipe);
    EXPECT_EQ(d.err, "");
    EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c'}));
    d = decode(two, {}, through_pipe);
    EXPECT_EQ(d.err, "");
    EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c', 'a', 'b', 'c'}));
  }
}

TEST_F(DecompressTest, HeaderOnlyContainerHasNoDataToGive) {
  ContainerBytes c;
  c.size = 1000;
  c.ext = Bytes(14, 0x0A);
  Decoded d = decode(c.build());
  EXPECT_EQ(d.result, 0u);
  EXPECT_EQ(d.err, "mirt: t.mrt: corrupt file (the data is not in the file).\n");
  EXPECT_TRUE(d.output.empty());
}

TEST_F(DecompressTest, EmptyInputContainerHoldsATrailerOfSizeZero) {
  ContainerBytes c;
  c.ext = Bytes(14, 0x0A);
  c.trailer = true;
  for (bool through_pipe : {false, true}) {
    Decoded d = decode(c.build(), {}, through_pipe);
    EXPECT_EQ(d.err, "");
    EXPECT_TRUE(d.output.empty());
  }
  // Without its trailer it is cut short.
  c.trailer = false;
  EXPECT_EQ(decode(c.build()).err, "mirt: t.mrt: corrupt file (data ends early).\n");
}

TEST_F(DecompressTest, LastBlockIsCutAtTheRecordedSize) {
  ContainerBytes c;
  c.size = 11;
  c.block_size = 4;
  c.blocks = block(0, {'0', '1', '2', '3'}, 1);
  append(c.blocks, block(0, {'4', '5', '6', '7'}, 1));
  append(c.blocks, block(0, {'8', '9', 'a', 0}, 1));
  Decoded d = decode(c.build());
  EXPECT_EQ(d.result, 11u);
  EXPECT_EQ(std::string(d.output.begin(), d.output.end()), "0123456789a");
}

TEST_F(DecompressTest, FillerAndOddChecksumLengthsAreWalkedLikeTheWriterDoes) {
  ContainerBytes c;
  c.size = 3;
  // A type 0 record claiming two bytes still carries four.
  c.ext = {0x0A, 0x0A, 0x00, 0x00, 0x02, 0x08, 0x10, 0x01, 0x27};
  c.ext_length_given = true;
  c.ext_length = 2 + 5;
  c.blocks = block(0, kAbcBlock, 1);
  Decoded d = decode(c.build());
  EXPECT_EQ(d.result, 3u);
  EXPECT_EQ(d.sums.stored_compressed_sum, 0x08100127u);
}

// Its control bytes escaped: a file must not retitle or clear the terminal.
TEST_F(DecompressTest, DescriptionGoesToStandardError) {
  ContainerBytes c;
  c.size = 3;
  c.ext = text_record(6, "notes for you, caf\xc3\xa9\x1b]0;owned\x07\x1b[2J");
  c.blocks = block(0, kAbcBlock, 1);
  Decoded d = decode(c.build());
  EXPECT_EQ(d.result, 3u);
  EXPECT_EQ(d.err, "DESC: notes for you, caf\xc3\xa9\\x1b]0;owned\\x07\\x1b[2J\n");
}

TEST_F(DecompressTest, OldLayoutWarnsAtEveryPlaceAndUsesTheElfHash) {
  ContainerBytes c;
  c.version[2] = 38;
  c.ext = record(0, be(0x08300670, 4));
  append(c.ext, record(1, be(0x08300670, 4)));
  c.blocks = block(0, kAbcBlock, 1);
  c.trailer = true;
  c.trailer_size = 3;
  Bytes bytes = c.build();
  ASSERT_EQ(bytes.size(), 24u + 14 + 10 + 8);
  Decoded d = decode(bytes);
  EXPECT_EQ(d.result, 3u);
  EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(d.sums.compressed_sum, 0x08300670u);
  EXPECT_EQ(d.sums.plain_sum, 0x08300670u);
  // Header, trailer, and one per checksum of the block.
  EXPECT_EQ(count_of(d.err, kOldHeaderWarning), 4u);
  EXPECT_EQ(d.err.size(), 4 * std::string(kOldHeaderWarning).size());

  // The same through a pipe: the trailer is read where it stands.
  Decoded p = decode(bytes, {}, true);
  EXPECT_EQ(count_of(p.err, kOldHeaderWarning), 4u);
  EXPECT_EQ(p.output, (Bytes{'a', 'b', 'c'}));
}

TEST_F(DecompressTest, VersionByteAbove127MeansOldLayout) {
  ContainerBytes c;
  c.version[0] = 0x80;
  c.size = 3;
  c.blocks = block(0, kAbcBlock, 1);
  Decoded d = decode(c.build());
  EXPECT_EQ(d.result, 3u);
  EXPECT_EQ(count_of(d.err, kOldHeaderWarning), 3u);
}

// no_crc, force, expected result for a file whose checksum records are wrong.
class ChecksumMismatchTest : public DecompressTest,
                             public ::testing::WithParamInterface<std::tuple<int, int, uint64_t>> {
};

TEST_P(ChecksumMismatchTest, FinalVerdict) {
  auto [no_crc, force, expected] = GetParam();
  ContainerBytes c;
  c.size = 3;
  c.ext = record(0, be(0x08100127, 4));
  append(c.ext, record(1, be(0x12345678, 4)));
  c.blocks = block(0, kAbcBlock, 1);
  Options options;
  options.no_crc = static_cast<uint8_t>(no_crc);
  options.force = static_cast<uint8_t>(force);
  status_param_set(kStatusLevel, 1);
  Decoded d = decode(c.build(), options);
  EXPECT_EQ(d.result, expected);
  if (expected == 0) {
    EXPECT_STREQ(status_text(), "CRC error.");
  }
}

INSTANTIATE_TEST_SUITE_P(NoCrcAndForce, ChecksumMismatchTest,
                         ::testing::Values(std::make_tuple(0, 0, 0u), std::make_tuple(1, 0, 0u),
                                           std::make_tuple(0, 1, 0u), std::make_tuple(1, 1, 3u)));

TEST_F(DecompressTest, ZeroChecksumsNeverFail) {
  ContainerBytes c;
  c.size = 3;
  c.ext = record(0, be(0, 4));
  append(c.ext, record(1, be(0, 4)));
  c.blocks = block(0, kAbcBlock, 1);
  EXPECT_EQ(decode(c.build()).result, 3u);
}

// A block whose algorithm is not loaded (a named slot holding the stub, or
// a slot without a name, as in a file from a newer version) stops the run
// with one line naming the block and the slot. The stub's own warning
// stays, on standard error when standard output carries the data.
TEST_F(DecompressTest, BlockWithoutItsAlgorithmNamesTheBlockAndTheSlot) {
  const std::string stub =
      "You tried to decompress a file with an algorithm that is not compiled into your "
      "version.  Output will be unusable.\n";
  ContainerBytes c;
  c.block_size = 3;
  c.size = 6;
  c.blocks = block(0, {'a', 'b', 'c'}, 1);
  append(c.blocks, block(3, {'x', 'y', 'z'}, 1));
  Decoded d = decode(c.build());
  EXPECT_EQ(d.out, stub);
  EXPECT_EQ(d.err, "mirt: t.mrt: block 1 needs algorithm 3 (Text Compression), which is not "
                   "available.\n");
  EXPECT_EQ(d.result, 0u);

  PipeInput in(c.build());
  Capture out(1);
  Capture err(2);
  ChecksumRecord sums;
  EXPECT_EQ(process_stream(in.fd(), STDOUT_FILENO, kModeDecompress, run_settings(Options{}),
                           "t.mrt", sums, -1),
            0u);
  EXPECT_EQ(out.text(), "abc");
  EXPECT_EQ(err.text(), stub + "mirt: t.mrt: block 1 needs algorithm 3 (Text Compression), "
                               "which is not available.\n");

  c.blocks = block(200, {'x', 'y', 'z'}, 1);
  append(c.blocks, block(0, {'a', 'b', 'c'}, 1));
  d = decode(c.build(), {}, true);
  EXPECT_EQ(d.err, "mirt: t.mrt: block 0 needs algorithm 200 (a slot without a name), which is "
                   "not available.\n");
  EXPECT_TRUE(d.output.empty());
  EXPECT_EQ(d.out, "");
}

TEST_F(DecompressTest, FailedWriteIsAFailure) {
  std::string path = put("in.mrt", testing::abc_file_container());
  int input = open(path.c_str(), O_RDONLY);
  int output = open("/dev/null", O_RDONLY);  // writes fail with EBADF
  Options options;
  ChecksumRecord sums;
  uint64_t result;
  std::string err;
  {
    Capture capture(2);
    result =
        process_stream(input, output, kModeDecompress, run_settings(options), "t.mrt", sums, -1);
    err = capture.text();
  }
  close(input);
  close(output);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(err, std::string("mirt: write: ") + strerror(EBADF) + "\n");
}

TEST_F(DecompressTest, NotAContainerGoesToForeignInput) {
  status_param_set(kStatusLevel, 1);
  Decoded d = decode(Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
  EXPECT_EQ(d.result, 0u);
  EXPECT_STREQ(status_text(), "Bad MIRT magic, checking others...");
}

// Corrupt or hostile containers: each is refused with one line and no output.
struct CorruptCase {
  std::string label;
  ContainerBytes container;
  const char* reason;  // of the corrupt-file line, or the whole line ("mirt: ...")
  bool via_pipe;
  // Whole blocks before the damage may be written (a reader cannot hold
  // back an unbounded stream); never a byte that is not the data.
  Bytes may_write = {};
};

void PrintTo(const CorruptCase& c, std::ostream* os) { *os << c.label; }

ContainerBytes with_blocks(uint32_t block_size, uint64_t size, Bytes blocks) {
  ContainerBytes c;
  c.block_size = block_size;
  c.size = size;
  c.blocks = std::move(blocks);
  return c;
}

// As a compressor writing to a pipe leaves it: no size in the header,
// blocks, then the end marker and the trailer with `size`.
ContainerBytes pipe_written(const std::vector<Bytes>& blocks, uint64_t size, bool trailer = true) {
  ContainerBytes c;
  c.ext = Bytes(14, 0x0A);
  for (const Bytes& b : blocks) append(c.blocks, block(0, b, 1));
  c.trailer = trailer;
  c.trailer_size = size;
  return c;
}

ContainerBytes with_cipher(uint32_t number) {
  ContainerBytes c = with_blocks(8, 3, block(0, kAbcBlock, 1));
  c.ext = record(9, be(number, 4));
  return c;
}

// Blocks of 8 bytes stored in the keyed slot, each under the key of its
// place, as a writer leaves them in a file (sizes patched in, with or
// without checksums) or in a pipe (a trailer with the size).
enum class Writer { kFile, kPipe, kNoChecksums };

struct KeyedBlocks {
  std::vector<Bytes> records;
  uint64_t size = 0;
};

KeyedBlocks keyed_blocks(const std::string& text) {
  KeyedBlocks k{{}, text.size()};
  for (uint64_t i = 0; i * 8 < text.size(); ++i) {
    const uint32_t real = real_bytes_of(i, text.size(), 8);
    Bytes stored(8, 0);
    std::memcpy(stored.data(), text.data() + i * 8, real);
    const uint32_t check = plugin::plain_check(stored.data(), 8) ^ block_key(i, 8, real);
    append(stored, be(check, 4));
    k.records.push_back(block(kKeyedSlot, stored, 1));
  }
  return k;
}

const std::string kKeyedText = "abcdefghijklmnopqrs";

// `damage` moves, repeats or replaces block records, or changes the size
// field, after the writer has finished.
ContainerBytes keyed_container(Writer writer, void (*damage)(KeyedBlocks&)) {
  KeyedBlocks k = keyed_blocks(kKeyedText);
  ContainerBytes c;
  c.ext = Bytes(14, 0x0A);
  if (writer == Writer::kFile) {
    uint32_t stored_sum = 0;
    uint32_t plain_sum = 0;
    for (const Bytes& r : k.records) {
      stored_sum = adler32(stored_sum, r.data() + 2, r.size() - 2);
      plain_sum = adler32(plain_sum, r.data() + 2, 8);
    }
    c.ext = record(0, be(stored_sum, 4));
    append(c.ext, record(1, be(plain_sum, 4)));
  }
  c.count = static_cast<int64_t>(k.records.size());
  if (damage != nullptr) damage(k);
  for (const Bytes& r : k.records) append(c.blocks, r);
  if (writer == Writer::kPipe) {
    c.count = 0;
    c.trailer = true;
    c.trailer_size = k.size;
  } else {
    c.size = k.size;
  }
  return c;
}

// A block moved, repeated, or brought from another place of another
// container, and a size field made smaller or larger, all fail at the
// first block that is not where it was written.
void add_misplaced_block_cases(std::vector<CorruptCase>& cases, bool pipe) {
  const Bytes first(kKeyedText.begin(), kKeyedText.begin() + 8);
  const Bytes two(kKeyedText.begin(), kKeyedText.begin() + 16);
  struct Damage {
    const char* label;
    void (*damage)(KeyedBlocks&);
    const char* reason;
    Bytes may_write;
  } damages[] = {
      {"swapped_blocks", [](KeyedBlocks& k) { std::swap(k.records[0], k.records[1]); },
       "block 0 fails its check", {}},
      {"duplicated_block",
       [](KeyedBlocks& k) { k.records.insert(k.records.begin() + 2, k.records[1]); },
       "block 2 fails its check", two},
      {"spliced_block",
       [](KeyedBlocks& k) { k.records[1] = keyed_blocks("ABCDEFGHIJKLMNOPQRS").records[0]; },
       "block 1 fails its check", first},
      {"size_lowered", [](KeyedBlocks& k) { k.size -= 1; }, "block 2 fails its check", two},
      {"size_raised", [](KeyedBlocks& k) { k.size += 1; }, "block 2 fails its check", two},
  };
  for (const Damage& d : damages) {
    for (Writer w : {Writer::kFile, Writer::kPipe, Writer::kNoChecksums}) {
      static const char* const kWriters[] = {"in_file", "in_pipe", "without_checksums"};
      cases.push_back({std::string(d.label) + "_written_" + kWriters[static_cast<int>(w)],
                       keyed_container(w, d.damage), d.reason, pipe, d.may_write});
    }
  }
}

TEST_F(DecompressTest, KeyedBlocksDecodeInTheirPlace) {
  for (Writer w : {Writer::kFile, Writer::kPipe, Writer::kNoChecksums}) {
    for (bool through_pipe : {false, true}) {
      Decoded d = decode(keyed_container(w, nullptr).build(), {}, through_pipe);
      EXPECT_EQ(d.err, "");
      EXPECT_EQ(std::string(d.output.begin(), d.output.end()), kKeyedText);
    }
  }
}

std::vector<CorruptCase> corrupt_cases() {
  std::vector<CorruptCase> cases;
  for (bool pipe : {false, true}) {
    cases.push_back({"block_size_0", with_blocks(0, 3, block(0, kAbcBlock, 1)),
                     "bad block size", pipe});
    cases.push_back({"block_size_huge", with_blocks(2147483647u, 3, block(0, kAbcBlock, 4)),
                     "bad block size", pipe});
    cases.push_back({"stored_length_above_twice_the_block",
                     with_blocks(8, 3, block(0, Bytes(17, 'x'), 1)), "stored length too large",
                     pipe});
    cases.push_back({"copy_block_longer_than_the_block",
                     with_blocks(8, 3, block(0, Bytes(9, 'x'), 1)),
                     "block longer than the block size", pipe});
    Bytes cut = block(0, kAbcBlock, 1);
    cut.resize(5);
    cases.push_back({"block_cut_short", with_blocks(8, 3, cut), "truncated block", pipe});
    cases.push_back({"length_field_missing", with_blocks(65536, 3, Bytes{0, 0}),
                     "truncated block", pipe});
    // A huge length with nothing behind it must not cost a huge buffer.
    cases.push_back({"hostile_length", with_blocks(1u << 28, 3, Bytes{0, 0x1F, 0xFF, 0xFF, 0xF0}),
                     "truncated block", pipe});
    // A block that claims more memory than the limit, refused before it is read.
    cases.push_back({"block_beyond_the_memory_limit",
                     with_blocks((1u << 30) + 1, 3, block(0, {1, 2, 3}, 4)),
                     "mirt: t.mrt: decoding needs 1025 MiB of memory, more than the limit of "
                     "1024 MiB (memory_limit).\n",
                     pipe});
    cases.push_back({"cipher_out_of_range", with_cipher(7), "cipher not available", pipe});
    cases.push_back({"cipher_stub_slot", with_cipher(2), "cipher not available", pipe});
    cases.push_back({"cipher_empty_slot", with_cipher(4), "cipher not available", pipe});
    ContainerBytes cut_area = with_blocks(8, 3, {});
    cut_area.ext = text_record(6, "descr");
    cut_area.ext.resize(4);
    cases.push_back({"extension_area_cut_short", cut_area, "truncated header", pipe});
    ContainerBytes short_data = with_blocks(8, 20, block(0, kAbcBlock, 1));
    short_data.count = 3;
    cases.push_back({"fewer_blocks_than_the_size", short_data, "data ends early", pipe, kAbcBlock});
    // What a killed compressor writing to a pipe leaves: whole blocks, then
    // nothing (or a marker without its trailer).
    ContainerBytes killed = pipe_written({kAbcBlock, kAbcBlock}, 11);
    killed.trailer = false;
    cases.push_back({"pipe_written_cut_at_a_block", killed, "data ends early", pipe, kAbcBlock});
    ContainerBytes half_trailer = killed;
    append(half_trailer.blocks, {0xFF, 0x3F, 0xDE});
    cases.push_back(
        {"pipe_written_trailer_cut", half_trailer, "data ends early", pipe, kAbcBlock});
    cases.push_back({"pipe_written_no_blocks_at_all", pipe_written({}, 0, false),
                     "data ends early", pipe});
    // A header announcing data, with nothing after the records.
    cases.push_back({"header_without_blocks", with_blocks(8, 3, {}),
                     "the data is not in the file", pipe});
    // The size field is covered by no checksum: it must fit the blocks.
    ContainerBytes more = with_blocks(8, 3, block(0, kAbcBlock, 1));
    more.size = 9;
    more.count = 1;
    cases.push_back({"size_beyond_the_last_block", more, "size and block count disagree", pipe});
    ContainerBytes fewer = with_blocks(8, 2, block(0, kAbcBlock, 1));
    cases.push_back({"size_cutting_real_data", fewer, "data after the end of the input", pipe});
    ContainerBytes counted_trailer = with_blocks(8, 3, block(0, kAbcBlock, 1));
    counted_trailer.trailer = true;
    counted_trailer.trailer_size = 2;
    cases.push_back({"counted_with_another_size_in_the_trailer", counted_trailer,
                     "the trailer does not match the header", pipe, {'a', 'b', 'c'}});
    cases.push_back({"trailer_size_beyond_the_blocks", pipe_written({kAbcBlock}, 9),
                     "size does not match the blocks", pipe});
    cases.push_back({"trailer_size_cutting_real_data", pipe_written({kAbcBlock}, 2),
                     "data after the end of the input", pipe});
    cases.push_back({"trailer_size_with_blocks_missing", pipe_written({}, 3),
                     "the data is not in the file", pipe});
    // Every block but the last decodes to a whole block.
    ContainerBytes short_block = with_blocks(8, 11, block(0, {'a', 'b', 'c'}, 1));
    append(short_block.blocks, block(0, kAbcBlock, 1));
    cases.push_back({"short_block_before_the_last", short_block,
                     "block shorter than the block size", pipe});
    // Record walks that swallow the blocks: a checksum record claiming no
    // data (it still holds four bytes) and an area one byte too long.
    ContainerBytes zero_length = with_blocks(8, 3, block(0, kAbcBlock, 1));
    zero_length.ext = {0x00, 0x00, 0x00, 0x08, 0x10, 0x01, 0x27};
    append(zero_length.ext, record(1, be(0x08100127, 4)));
    cases.push_back({"checksum_record_of_length_0", zero_length, "data ends early", pipe});
    ContainerBytes long_area = with_blocks(8, 3, block(0, kAbcBlock, 1));
    long_area.ext = Bytes(14, 0x0A);
    long_area.ext_length_given = true;
    long_area.ext_length = 15;
    cases.push_back({"area_one_byte_too_long", long_area, "data ends early", pipe});
    add_misplaced_block_cases(cases, pipe);
  }
  return cases;
}

class CorruptContainerTest : public DecompressTest,
                             public ::testing::WithParamInterface<CorruptCase> {};

TEST_P(CorruptContainerTest, IsRefusedCleanly) {
  const CorruptCase& c = GetParam();
  for (bool no_crc : {false, true}) {
    Options options;
    options.no_crc = no_crc;
    Decoded d = decode(c.container.build(), options, c.via_pipe);
    EXPECT_EQ(d.result, 0u);
    // One reason, and not a byte of output that could pass for the data.
    const std::string reason = c.reason;
    EXPECT_EQ(d.err, reason.rfind("mirt: ", 0) == 0
                         ? reason
                         : "mirt: t.mrt: corrupt file (" + reason + ").\n");
    EXPECT_TRUE(d.output.empty() || d.output == c.may_write);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CorruptContainerTest, ::testing::ValuesIn(corrupt_cases()),
                         [](const auto& info) {
                           return info.param.label + (info.param.via_pipe ? "_pipe" : "_file");
                         });

TEST_F(DecompressTest, TruncatedHeaderIsCorrupt) {
  Bytes bytes = testing::abc_file_container();
  bytes.resize(20);
  Decoded d = decode(bytes);
  EXPECT_EQ(d.result, 0u);
  EXPECT_NE(d.err.find("mirt: t.mrt: corrupt file (truncated header).\n"), std::string::npos);
}

uint32_t overlong_algorithm(uint32_t, void*, const unsigned char*, unsigned char*, uint32_t,
                            uint32_t capacity) {
  return capacity + 1;
}

TEST_F(DecompressTest, ExpansionBeyondTheCapacityIsCorrupt) {
  ASSERT_TRUE(algorithm_install(100, &overlong_algorithm, "Overlong"));
  Decoded d = decode(with_blocks(8, 3, block(100, {1, 2, 3}, 1)).build());
  EXPECT_EQ(d.result, 0u);
  EXPECT_EQ(d.err, "mirt: t.mrt: corrupt file (block longer than the block size).\n");
  EXPECT_TRUE(d.output.empty());
}

TEST_F(DecompressTest, StandardInputIsNamedInCorruptionReports) {
  PipeInput in(with_blocks(0, 3, {}).build());
  Decoded d = decode_fd(in.fd(), {}, nullptr);
  EXPECT_EQ(d.err, "mirt: standard input: corrupt file (bad block size).\n");
}

// Download locations: a local path stands in for a remote copy.
class RemoteRetryTest : public DecompressTest {
 protected:
  // A local container that names `locations` and holds "xyz", so that
  // output shows the local data was used. `sum` is what its checksum
  // records claim (a fetched copy must match them).
  Bytes local_naming(const Bytes& records, uint32_t sum = 0x08100127) {
    ContainerBytes c;
    c.size = 3;
    c.ext = records;
    append(c.ext, record(0, be(sum, 4)));
    append(c.ext, record(1, be(sum, 4)));
    c.blocks = block(0, kXyzBlock, 1);
    return c.build();
  }
  static inline const Bytes kXyzBlock{'x', 'y', 'z', 0, 0, 0, 0, 0};
  // The checksums of that block.
  static constexpr uint32_t kXyzSum = 0x09F3016C;
  Bytes local_data(const Bytes& records) { return local_naming(records, kXyzSum); }
  Options urls() {
    Options o;
    o.use_urls = 1;
    return o;
  }
};

TEST_F(RemoteRetryTest, FirstLocationThatOpensReplacesTheLocalData) {
  std::string copy = put("copy.mrt", testing::abc_file_container());
  Bytes records = text_record(7, dir_.file("missing.mrt"));
  append(records, text_record(7, copy));
  status_param_set(kStatusLevel, 2);
  Decoded d = decode(local_naming(records), urls());
  EXPECT_EQ(d.result, 3u);
  EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c'}));
  EXPECT_NE(d.err.find("Trying to get remote url " + dir_.file("missing.mrt")), std::string::npos);
  EXPECT_NE(d.err.find("Failed."), std::string::npos);
  EXPECT_EQ(d.sums.expected_compressed_sum, 0x08100127u);
}

TEST_F(RemoteRetryTest, WithoutUseUrlsTheLocalDataIsUsed) {
  std::string copy = put("copy.mrt", testing::abc_file_container());
  EXPECT_EQ(decode(local_data(text_record(7, copy))).output, (Bytes{'x', 'y', 'z'}));
}

TEST_F(RemoteRetryTest, NoLocationOpensSoTheLocalDataIsUsed) {
  Decoded d = decode(local_data(text_record(7, dir_.file("nowhere"))), urls());
  EXPECT_EQ(d.output, (Bytes{'x', 'y', 'z'}));
  EXPECT_EQ(d.err, "");
}

TEST_F(RemoteRetryTest, CopyWithOtherChecksumsIsACrcError) {
  std::string copy = put("copy.mrt", testing::abc_file_container());
  Decoded d = decode(local_naming(text_record(7, copy), 0x11111111), urls());
  EXPECT_EQ(d.result, 0u);
  Options rescue = urls();
  rescue.no_crc = 1;
  rescue.force = 1;
  EXPECT_EQ(decode(local_naming(text_record(7, copy), 0x11111111), rescue).result, 3u);
}

TEST_F(RemoteRetryTest, FetchedCopyLocationsAreNotFollowedAgain) {
  ContainerBytes other;
  other.size = 3;
  other.blocks = block(0, {'x', 'y', 'z', 0, 0, 0, 0, 0}, 1);
  std::string second = put("second.mrt", other.build());
  ContainerBytes first;
  first.size = 3;
  first.ext = text_record(7, second);
  first.blocks = block(0, kAbcBlock, 1);
  std::string copy = put("copy.mrt", first.build());
  Decoded d = decode(local_naming(text_record(7, copy), 0), urls());
  EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(d.result, 3u);
}

class LocationListTest : public RemoteRetryTest,
                         public ::testing::WithParamInterface<bool> {};

TEST_P(LocationListTest, EveryLineIsALocation) {
  std::string copy = put("copy.mrt", testing::abc_file_container());
  std::string list = dir_.file("list.txt");
  std::string text = dir_.file("missing1") + "\n" + dir_.file("missing2") + "\n" + copy;
  if (GetParam()) text += "\n";
  test::write_file(list, text);
  Decoded d = decode(local_naming(text_record(8, list)), urls());
  EXPECT_EQ(d.result, 3u);
  EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c'}));
}

INSTANTIATE_TEST_SUITE_P(FinalNewline, LocationListTest, ::testing::Bool());

TEST_F(RemoteRetryTest, MissingListFileAddsNothing) {
  EXPECT_EQ(decode(local_data(text_record(8, dir_.file("no-list"))), urls()).output,
            (Bytes{'x', 'y', 'z'}));
}

// Round trips through the compressor, to a file and to a pipe.
struct RoundTrip {
  uint32_t block_size;
  size_t length;
  bool random;
};

class RoundTripTest : public DecompressTest, public ::testing::WithParamInterface<RoundTrip> {
 protected:
  Bytes compress(const Bytes& plain, uint32_t block_size, bool to_pipe) {
    std::string in_path = put("plain", plain);
    int input = open(in_path.c_str(), O_RDONLY);
    Options options;
    ChecksumRecord sums;
    Bytes container;
    if (to_pipe) {
      int fds[2];
      EXPECT_EQ(pipe(fds), 0);
      std::thread reader([&] {
        uint8_t buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) container.insert(container.end(), buf, buf + n);
      });
      EXPECT_EQ(process_stream(input, fds[1], kModeCompress, run_settings(options, block_size),
                               "plain", sums, -1),
                plain.size());
      close(fds[1]);
      reader.join();
      close(fds[0]);
    } else {
      std::string out_path = dir_.file("packed.mrt");
      int output = open(out_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
      EXPECT_EQ(process_stream(input, output, kModeCompress, run_settings(options, block_size),
                               "plain", sums, -1),
                plain.size());
      close(output);
      container = test::read_bytes(out_path);
    }
    close(input);
    return container;
  }
};

TEST_P(RoundTripTest, RestoresTheInput) {
  const RoundTrip& p = GetParam();
  Bytes plain(p.length);
  std::mt19937 rng(p.block_size * 7919 + static_cast<uint32_t>(p.length));
  for (size_t i = 0; i < plain.size(); ++i)
    plain[i] = p.random ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>("abcab"[i % 5]);

  for (bool to_pipe : {false, true}) {
    SCOPED_TRACE(to_pipe ? "written to a pipe" : "written to a file");
    Bytes container = compress(plain, p.block_size, to_pipe);
    Decoded from_file = decode(container);
    EXPECT_EQ(from_file.result, plain.size());
    EXPECT_EQ(from_file.output, plain);
    EXPECT_EQ(from_file.err, "");

    // Pipe to pipe too: the last block waits for the trailer's size.
    Decoded from_pipe = decode(container, {}, true);
    EXPECT_EQ(from_pipe.output, plain);
    EXPECT_EQ(from_pipe.result, plain.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    BlockSizes, RoundTripTest,
    ::testing::Values(RoundTrip{1, 5, true}, RoundTrip{2, 7, false}, RoundTrip{7, 100, true},
                      RoundTrip{254, 1000, true}, RoundTrip{255, 1000, false},
                      RoundTrip{256, 511, true}, RoundTrip{1000, 1000, true},
                      RoundTrip{65534, 70000, true}, RoundTrip{65535, 70000, false},
                      RoundTrip{65536, 200000, true}, RoundTrip{8192, 100000, false}));

// Every container kept in the repository must decode without harm.
std::vector<std::filesystem::path> files_in(const char* sub) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(MIRT_SOURCE_DIR) + "/" + sub, ec))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

TEST_F(DecompressTest, GoldenContainersDecode) {
  for (const auto& path : files_in("tests/golden")) {
    if (path.extension() != ".mrt") continue;
    SCOPED_TRACE(path.string());
    Bytes bytes = test::read_bytes(path.string());
    Decoded d = decode(bytes);
    std::string name = path.filename().string();
    if (name == "abc_header_only.mrt") {
      // Its data lives at a download location, not in the file.
      EXPECT_EQ(d.err, "mirt: t.mrt: corrupt file (the data is not in the file).\n");
      continue;
    }
    EXPECT_NE(d.result, 0u);
    if (name.rfind("abc_", 0) == 0) {
      EXPECT_EQ(d.result, 3u);
      EXPECT_EQ(d.output, (Bytes{'a', 'b', 'c'}));
    }
    Options rescue;
    rescue.no_crc = 1;
    rescue.force = 1;
    decode(bytes, rescue, true);
  }
}

TEST_F(DecompressTest, RegressionInputsFailCleanlyOrSucceed) {
  // Inputs that once broke the reader; under the sanitizers any overrun shows.
  for (const auto& path : files_in("tests/regress")) {
    SCOPED_TRACE(path.string());
    Bytes bytes = test::read_bytes(path.string());
    for (bool pipe : {false, true}) {
      Decoded d = decode(bytes, {}, pipe);
      if (d.result == 0 && !d.output.empty()) {
        EXPECT_FALSE(d.err.empty());
      }
      Options options;
      options.verbosity = 1;
      ChecksumRecord sums;
      Capture out(1);
      Capture err(2);
      if (pipe) {
        PipeInput piped(bytes);
        process_stream(piped.fd(), -1, kModeStatistics, run_settings(options), "r", sums, -1);
      } else {
        std::string in_path = put("regress.mrt", bytes);
        int fd = open(in_path.c_str(), O_RDONLY);
        process_stream(fd, -1, kModeStatistics, run_settings(options), "r", sums, -1);
        close(fd);
      }
    }
  }
}

}  // namespace
}  // namespace mirt
