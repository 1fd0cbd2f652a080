// Containers, reports and the status line as the built binary produces
// them: exact bytes on both standard streams, exit statuses and the order
// of what is written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "build_config.h"
#include "support/cli_fixture.h"
#include "support/files.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

using test::file_exists;
using test::make_data;
using test::read_file;
using test::RunOptions;
using test::RunResult;
using test::write_file;

const std::string kOldWarning =
    "mirt: **WARNING** This file uses the old MIRT file header, support will go away in "
    "future versions for this.\n";
const std::string kEndOfFile = "mirt: read: unexpected end of file\n";

// One plain status line as drawn without COLUMNS (bar width 10).
std::string status_line(int percent, unsigned spin, const std::string& text) {
  std::string bar;
  if (percent < 0) {
    bar = std::string(10, '?');
  } else {
    const int filled = percent / 10;
    bar = std::string(static_cast<size_t>(filled), '#') +
          std::string(static_cast<size_t>(10 - filled), '.');
  }
  char number[16];
  std::snprintf(number, sizeof number, "%3i", percent < 0 ? 0 : percent);
  return "=> [" + bar + "] " + number + "% [" + "|/-\\"[spin % 4] + "] | Status: " + text + "\r";
}

void put_be(std::string& out, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void put_le(std::string& out, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint32_t crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// A gzip member holding `data` in stored deflate blocks. The modification
// time is 0, so the three bytes after the four-byte magic are 00 00 00.
std::string gzip_stored(const std::string& data) {
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  size_t at = 0;
  do {
    const size_t n = std::min<size_t>(65535, data.size() - at);
    const bool last = at + n == data.size();
    out.push_back(last ? '\x01' : '\x00');
    put_le(out, static_cast<uint32_t>(n), 2);
    put_le(out, static_cast<uint32_t>(~n & 0xFFFF), 2);
    out.append(data, at, n);
    at += n;
  } while (at < data.size());
  put_le(out, crc32(data), 4);
  put_le(out, static_cast<uint32_t>(data.size()), 4);
  return out;
}

// The text abc in an old-layout (0.8.38) container written to a pipe:
// zero size in the header, filler only, and a trailer carrying the size.
std::string old_layout_pipe_container() {
  std::string c;
  put_be(c, 0x4D5254C3, 4);
  c += std::string("\x00\x08\x26", 3);
  put_be(c, 0, 4);   // size
  put_be(c, 0, 4);   // block count
  put_be(c, 8, 4);   // block size
  put_be(c, 0, 1);   // reserved
  put_be(c, 18, 4);  // extension area
  c += std::string(18, '\x0A');
  c += std::string("\x00\x08" "abc\0\0\0\0\0", 10);
  put_be(c, 0xFF3FDE08, 4);
  put_be(c, 3, 4);
  return c;
}

class ConformanceCodecTest : public test::CliTest {
 protected:
  // Both streams into one pipe, as `2>&1` does.
  RunResult run_merged(const std::string& args) {
    RunOptions options;
    options.args = {"-c", "exec \"$0\" " + args + " 2>&1", MIRT_BINARY};
    options.env = test::installation_override();
    options.home = home;
    options.cwd = dir.path();
    RunResult result = test::run_process("/bin/sh", options);
    EXPECT_FALSE(result.timed_out);
    return result;
  }
};

// The line is drawn once for every status message, append, progress start
// and progress step, in the order the work happens.
TEST_F(ConformanceCodecTest, StatusLineWhileCompressingAndDecompressing) {
  ASSERT_TRUE(write_file(file("r"), make_data(20000, 0)));
  RunResult c = run({"-v", "-b", "8192", "r"});
  ASSERT_EQ(c.exit_code, 0) << c.err;
  std::string expected = status_line(0, 0, "Initialized.");
  unsigned spin = 1;
  std::string text = "Initialized.";
  for (int percent : {33, 66, 100}) {
    expected += status_line(percent, spin++, text);
    expected += status_line(percent, spin++, "Algorithm ");
    text = "Algorithm Uncompressed";
    expected += status_line(percent, spin++, text);
  }
  EXPECT_EQ(c.err, expected + "\n");

  RunResult d = run({"-v", "-d", "-c", "r.mrt"});
  ASSERT_EQ(d.exit_code, 0) << d.err;
  EXPECT_EQ(d.out, read_file(file("r")));
  EXPECT_EQ(d.err, status_line(0, 0, "Decompressing.") + status_line(0, 1, "Decompressing.") +
                       status_line(33, 2, "Decompressing.") +
                       status_line(66, 3, "Decompressing.") +
                       status_line(100, 4, "Decompressing.") + "\n");
}

// The block tables share standard error with the status line; each table
// line is written between the redraws of its own block.
TEST_F(ConformanceCodecTest, BlockTablesInterleaveWithStatusLine) {
  ASSERT_TRUE(write_file(file("r"), make_data(100, 1)));
  RunResult r = run({"-vvv", "-b", "64", "-o", "-", "r"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string top = "mirt: ^^^\\ /^^^^\\ /^^^^^^^\\ /^^^^^^^^^^^^^^^^^^^^^^^^^^\n";
  const std::string bottom = "mirt: ___/ \\____/ \\_______/ \\__________________________\n";
  const std::string candidate = "mirt: \033[7m----| 000  | 64      | Uncompressed\033[0m\n";
  std::string expected = status_line(0, 0, "Initialized.") +
                         "mirt: Blk | Algo | Size    | Name\n"
                         "mirt: ----+------+---------+---------------------------\n";
  expected += candidate + top + "mirt: 001 | 000  | 64      | Uncompressed\n" + bottom;
  expected += status_line(50, 1, "Initialized.") + status_line(50, 2, "Algorithm ") +
              status_line(50, 3, "Algorithm Uncompressed");
  expected += candidate + top + "mirt: 002 | 000  | 64      | Uncompressed\n" + bottom;
  expected += status_line(100, 4, "Algorithm Uncompressed") +
              status_line(100, 5, "Algorithm ") + status_line(100, 6, "Algorithm Uncompressed");
  EXPECT_EQ(r.err, expected + "\n");
}

// An empty file is compressed like any other and comes back empty.
TEST_F(ConformanceCodecTest, EmptyInputRoundTrips) {
  ASSERT_TRUE(write_file(file("e"), ""));
  RunResult r = run({"-v", "e"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, status_line(-1, 0, "Initialized.") + "\n");
  ASSERT_TRUE(file_exists(file("e.mrt")));
  std::filesystem::remove(file("e"));
  r = run({"-d", "e.mrt"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(file_exists(file("e")));
  EXPECT_EQ(read_file(file("e")), "");
}

struct ForeignCase {
  size_t size;
  unsigned steps;  // one per 1024-byte piece read, the last (short or empty) one included
  bool through_pipe;
};

class ForeignProgressTest : public ConformanceCodecTest,
                            public ::testing::WithParamInterface<ForeignCase> {};

TEST_P(ForeignProgressTest, OneRedrawPerKilobyte) {
  const ForeignCase c = GetParam();
  const std::string plain = make_data(c.size, 1);
  const std::string packed = gzip_stored(plain);
  RunResult r;
  if (c.through_pipe) {
    RunOptions options;
    options.stdin_data = packed;
    r = run({"-v", "-d"}, options);
  } else {
    ASSERT_TRUE(write_file(file("g.gz"), packed));
    r = run({"-v", "-d", "-c", "g.gz"});
  }
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, plain);
  std::string expected = status_line(0, 0, "Decompressing.") +
                         status_line(0, 1, "Bad MIRT magic, checking others...") +
                         status_line(0, 2, "Gunzipping...");
  for (unsigned i = 0; i < c.steps; ++i) expected += status_line(-1, 3 + i, "Gunzipping...");
  EXPECT_EQ(r.err, expected + "\n");
}

INSTANTIATE_TEST_SUITE_P(Sizes, ForeignProgressTest,
                         ::testing::Values(ForeignCase{100, 1, false}, ForeignCase{1024, 2, false},
                                           ForeignCase{3000, 3, false},
                                           ForeignCase{3000, 3, true},
                                           ForeignCase{70000, 69, true}));

// The report reads every header field before it judges the magic, so a
// foreign file whose next bytes pack to an old version warns; a short one
// says once what it is, not once per missing field.
TEST_F(ConformanceCodecTest, StatisticsOfForeignInput) {
  ASSERT_TRUE(write_file(file("g.gz"), gzip_stored("hello")));
  RunResult g = run({"-s", "g.gz"});
  EXPECT_EQ(g.exit_code, 255);
  EXPECT_EQ(g.out,
            "File              :   g.gz\n"
            "Magic             :   0x1f8b0800 (bad magic)\n");
  EXPECT_EQ(g.err, kOldWarning);

  ASSERT_TRUE(write_file(file("xy"), "xy"));
  RunResult s = run({"-s", "xy"});
  EXPECT_EQ(s.exit_code, 255);
  EXPECT_EQ(s.out,
            "File              :   xy\n"
            "Magic             :   0x00000000 (bad magic)\n");
  EXPECT_EQ(s.err, kOldWarning);
}

// Warnings on standard error keep their place between the report lines.
TEST_F(ConformanceCodecTest, StatisticsKeepOrderWithWarnings) {
  ASSERT_TRUE(write_file(file("old.mrt"), old_layout_pipe_container()));
  RunResult r = run_merged("-s old.mrt");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, kOldWarning +
                       "File              :   old.mrt\n"
                       "Magic             :   0x4d5254c3\n" +
                       kOldWarning +
                       "Mirt Version      :   0.8.38\n"
                       "Block Size        :   8\n"
                       "Block Header Size :   2\n"
                       "Compressed Size   :   60\n"
                       "Uncompressed Size :   3\n"
                       "Ratio             :   0.050 to 1.0\n"
                       "\n");

  std::string bad = old_layout_pipe_container();
  bad[bad.size() - 8] = 0;  // spoil the end-of-file magic
  ASSERT_TRUE(write_file(file("bad.mrt"), bad));
  RunResult b = run_merged("-s bad.mrt");
  EXPECT_EQ(b.exit_code, 0);
  EXPECT_EQ(b.out.substr(0, b.out.find("Mirt Version")),
            kOldWarning + "File              :   bad.mrt\nMagic             :   0x4d5254c3\n" +
                kOldWarning + "mirt: Bad end-of-file magic.  Corrupt or incomplete file?\n");
}

// A container of `blocks` records of the block-sorting slot, each holding
// `stored`, in blocks of `block_size` zero bytes; `area` filler bytes.
std::string bwt_container(uint32_t block_size, uint32_t blocks, uint32_t area,
                          const std::string& stored) {
  std::string c;
  put_be(c, 0x4D5254C3, 4);
  c += std::string("\x00\x08\x2a", 3);
  put_be(c, uint64_t{block_size} * blocks, 8);
  put_be(c, blocks, 4);
  put_be(c, block_size, 4);
  put_be(c, 0, 1);
  put_be(c, area, 4);
  c += std::string(area, '\x0A');
  for (uint32_t i = 0; i < blocks; ++i) {
    c += '\x16';
    put_be(c, stored.size(), 4);
    c += stored;
  }
  return c;
}

// Memory bombs: a few valid bytes whose block-sorting blocks claim 1 GiB
// (one or two of them) or 256 MiB of zeros are refused before anything of
// that size is allocated, with one line, and leave no output.
TEST_F(ConformanceCodecTest, MemoryBombsAreRefusedInOneLine) {
  const std::string bin = MIRT_BINARY;
  const std::string bwt = bin.substr(0, bin.rfind('/')) + "/plugins/bwt.so";
  if (!file_exists(bwt)) GTEST_SKIP() << "plugins not built";
  // The plugin's stored forms of 1 GiB and of 256 MiB of zeros.
  const std::string gib("\x80\x80\x80\x80\x04\x01\x01\x0a\x01\xfe\x84\x62\x23\xc5\x00\x80"
                        "\x11\x05\x60\x5b\x64\xc2\xb0", 23);
  const std::string mib256("\x80\x80\x80\x80\x01\x01\x01\x0a\x01\xfe\x84\x62\x23\xc5\x02"
                           "\x00\x44\x26\x2a\x0e\x7d\xbb", 22);
  const struct {
    const char* name;
    std::string container;
    size_t size;
  } bombs[] = {
      {"one.mrt", bwt_container(1u << 30, 1, 14, gib), 70},
      {"two.mrt", bwt_container(1u << 30, 2, 14, gib), 98},
      {"small.mrt", bwt_container(256u << 20, 1, 0, mib256), 55},
  };
  for (const auto& b : bombs) {
    SCOPED_TRACE(b.name);
    ASSERT_EQ(b.container.size(), b.size);
    ASSERT_TRUE(write_file(file(b.name), b.container));
    RunResult r = run({"-M", "module " + bwt, "-d", b.name});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex(std::string("mirt: ") + b.name +
                          ": decoding needs [0-9]+ MiB of memory, more than the limit of 1024 "
                          "MiB \\(memory_limit\\)\\.\n")))
        << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_LT(r.max_rss_kb, 64 * 1024);
    const std::string name = b.name;
    EXPECT_FALSE(file_exists(file(name.substr(0, name.size() - 4))));
  }
}

// The old-layout warning follows the version bytes at once, ahead of any
// complaint about the header fields after them.
TEST_F(ConformanceCodecTest, OldHeaderWarningPrecedesTruncation) {
  std::string head = old_layout_pipe_container().substr(0, 9);
  ASSERT_TRUE(write_file(file("cut.mrt"), head));
  RunResult r = run({"-d", "cut.mrt"});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.err, kOldWarning + "mirt: cut.mrt: corrupt file (truncated header).\n");
  EXPECT_FALSE(file_exists(file("cut")));
}

}  // namespace
}  // namespace mirt

namespace mirt {
namespace {

// Failures that the status line alone would report (it is not drawn
// without -v) still say what went wrong and leave no output behind.
TEST_F(ConformanceCodecTest, SilentFailuresAreReported) {
  const std::string data = make_data(5000, 1);
  ASSERT_TRUE(write_file(file("in"), data));
  RunOptions to_pipe;
  to_pipe.stdin_file = file("in");
  RunResult packed = run({"-b", "1024"}, to_pipe);
  ASSERT_EQ(packed.exit_code, 0);

  // A pipe-written container whose trailer was cut off, read from a file.
  ASSERT_TRUE(write_file(file("cut.mrt"), packed.out.substr(0, packed.out.size() - 5)));
  RunResult cut = run({"-d", "cut.mrt"});
  EXPECT_EQ(cut.exit_code, 255);
  EXPECT_EQ(cut.err, "mirt: cut.mrt: corrupt file (data ends early).\n");
  EXPECT_FALSE(file_exists(file("cut")));
  // At level 1 the missing trailer is told before the blocks are read.
  ASSERT_TRUE(write_file(file("empty.mrt"), packed.out.substr(0, 28 + 14)));
  RunResult told = run({"-v", "-d", "empty.mrt"});
  EXPECT_EQ(told.exit_code, 255);
  EXPECT_EQ(told.err, status_line(0, 0, "Decompressing.") + status_line(0, 1, "File is corrupt.") +
                          status_line(-1, 2, "File is corrupt.") +
                          "mirt: empty.mrt: corrupt file (data ends early).\n\n");

  // A stored byte changed in a container with checksums.
  ASSERT_EQ(run({"in"}).exit_code, 0);
  std::string container = read_file(file("in.mrt"));
  container[container.size() - 100] ^= 0x5A;
  ASSERT_TRUE(write_file(file("bad.mrt"), container));
  RunResult bad = run({"-d", "bad.mrt"});
  EXPECT_EQ(bad.exit_code, 255);
  EXPECT_EQ(bad.err, "mirt: bad.mrt: corrupt file (checksum mismatch).\n");
  EXPECT_FALSE(file_exists(file("bad")));

  // -n with -f keeps the damaged output, as asked.
  RunResult kept = run({"-d", "-n", "-f", "bad.mrt"});
  EXPECT_EQ(kept.exit_code, 0);
  EXPECT_EQ(kept.err, "");
  EXPECT_EQ(read_file(file("bad")).size(), data.size());
}

}  // namespace
}  // namespace mirt
