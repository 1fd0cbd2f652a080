#include "codec/foreign.h"

#include <bzlib.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "location/stream.h"
#include "status/status.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

enum class Kind { Gzip, Bzip2 };

const char* kind_name(Kind kind) { return kind == Kind::Gzip ? "gzip" : "bzip2"; }

std::string gzip_of(const std::string& data) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&s, data.size()) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

std::string bzip2_of(const std::string& data) {
  unsigned length = static_cast<unsigned>(data.size() + data.size() / 50 + 1024);
  std::string out(length, '\0');
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char*>(data.data()),
                                     static_cast<unsigned>(data.size()), 9, 0, 0),
            BZ_OK);
  out.resize(length);
  return out;
}

std::string compress(Kind kind, const std::string& data) {
  return kind == Kind::Gzip ? gzip_of(data) : bzip2_of(data);
}

// Text with a stretch of noise, so both readers see more than one kind of block.
std::string mixed_data(size_t size) {
  std::string data = test::make_data(size, 1, 7);
  for (size_t i = size / 3; i < size / 3 + size / 10; ++i) {
    data[i] = static_cast<char>((i * 2654435761u) >> 13);
  }
  return data;
}

std::set<std::string> temp_names() {
  std::set<std::string> names;
  if (DIR* dir = opendir("/tmp")) {
    while (const dirent* entry = readdir(dir)) {
      if (std::strncmp(entry->d_name, "mirt", 4) == 0 && std::strlen(entry->d_name) == 10) {
        names.insert(entry->d_name);
      }
    }
    closedir(dir);
  }
  return names;
}

// Names new since `before` that stay: other tests running at the same time
// may hold a temporary file for a moment, a leaked one never goes away.
std::set<std::string> lasting_new_temps(const std::set<std::string>& before) {
  std::set<std::string> fresh;
  for (int attempt = 0; attempt < 50; ++attempt) {
    fresh.clear();
    for (const std::string& name : temp_names())
      if (before.count(name) == 0) fresh.insert(name);
    if (fresh.empty()) break;
    usleep(20000);
  }
  return fresh;
}

int open_descriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

struct Outcome {
  uint64_t result = 0;  // bytes written, 0 on failure
  bool ok = false;
  std::string out;
  std::string err;
};

class ForeignTest : public ::testing::Test {
 protected:
  void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
  void TearDown() override { status_reset(); }

  // Feeds `stream` from a regular file or a pipe, consumes the four magic
  // bytes as the decompressor does, and runs decompress_foreign.
  Outcome run(const std::string& stream, bool through_pipe, bool read_only_output = false) {
    Outcome outcome;
    const std::set<std::string> temps_before = temp_names();
    const int fds_before = open_descriptors();
    std::string out_path = dir_.file("out");
    test::write_file(out_path, "");
    int output = open(out_path.c_str(), read_only_output ? O_RDONLY : O_WRONLY | O_TRUNC);

    int input = -1;
    std::thread writer;
    if (through_pipe) {
      int ends[2];
      EXPECT_EQ(pipe(ends), 0);
      input = ends[0];
      writer = std::thread([fd = ends[1], &stream] {
        size_t done = 0;
        while (done < stream.size()) {
          ssize_t n = write(fd, stream.data() + done, stream.size() - done);
          if (n <= 0) break;
          done += static_cast<size_t>(n);
        }
        close(fd);
      });
    } else {
      std::string in_path = dir_.file("in");
      EXPECT_TRUE(test::write_file(in_path, stream));
      input = open(in_path.c_str(), O_RDONLY);
    }

    uint8_t head[4] = {};
    EXPECT_EQ(read_full(input, head, 4), 4);
    uint32_t magic = uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 |
                     uint32_t{head[2]} << 8 | head[3];
    testing::internal::CaptureStderr();
    const StreamResult r = decompress_foreign(input, output, magic);
    outcome.ok = r.ok;
    outcome.result = r.ok ? r.bytes : 0;
    outcome.err = testing::internal::GetCapturedStderr();

    close(input);
    if (writer.joinable()) writer.join();
    close(output);
    outcome.out = test::read_file(out_path);
    EXPECT_TRUE(lasting_new_temps(temps_before).empty()) << "temporary file left behind";
    EXPECT_EQ(open_descriptors(), fds_before) << "descriptor leaked";
    return outcome;
  }

  test::TempDir dir_;
};

class ForeignRoundTripTest : public ForeignTest,
                      public ::testing::WithParamInterface<std::tuple<Kind, bool, size_t>> {};

TEST_P(ForeignRoundTripTest, DecompressesExactly) {
  auto [kind, through_pipe, size] = GetParam();
  std::string data = mixed_data(size);
  Outcome got = run(compress(kind, data), through_pipe);
  EXPECT_EQ(got.result, size);
  EXPECT_EQ(got.out, data);
  EXPECT_EQ(got.err, "");
}

INSTANTIATE_TEST_SUITE_P(KindsSourcesSizes, ForeignRoundTripTest,
                         ::testing::Combine(::testing::Values(Kind::Gzip, Kind::Bzip2),
                                            ::testing::Bool(),
                                            ::testing::Values(size_t{1}, size_t{1023},
                                                              size_t{1024}, size_t{3072},
                                                              size_t{700001})));

class ForeignKindTest : public ForeignTest,
                          public ::testing::WithParamInterface<std::tuple<Kind, bool>> {};

TEST_P(ForeignKindTest, ConcatenatedStreamsDecompressWhole) {
  auto [kind, through_pipe] = GetParam();
  std::string a = mixed_data(300000);
  std::string b = test::make_data(5000, 0, 3);
  std::string c = "tail";
  Outcome got = run(compress(kind, a) + compress(kind, b) + compress(kind, c), through_pipe);
  EXPECT_EQ(got.result, a.size() + b.size() + c.size());
  EXPECT_EQ(got.out, a + b + c);
  EXPECT_EQ(got.err, "");
}

TEST_P(ForeignKindTest, EmptyStreamGivesAnEmptyFile) {
  auto [kind, through_pipe] = GetParam();
  Outcome got = run(compress(kind, ""), through_pipe);
  EXPECT_TRUE(got.ok);
  EXPECT_EQ(got.result, 0u);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.err, "");
}

TEST_P(ForeignKindTest, CorruptStreamFailsWithMessage) {
  auto [kind, through_pipe] = GetParam();
  std::string packed = compress(kind, mixed_data(200000));
  for (size_t i = packed.size() / 2; i < packed.size() / 2 + 16; ++i) packed[i] ^= 0x55;
  Outcome got = run(packed, through_pipe);
  EXPECT_EQ(got.result, 0u);
  EXPECT_EQ(got.err, std::string("mirt: ") + kind_name(kind) + ": corrupt input\n");
}

TEST_P(ForeignKindTest, TruncatedStreamFailsWithMessage) {
  auto [kind, through_pipe] = GetParam();
  std::string packed = compress(kind, mixed_data(200000));
  for (size_t keep : {packed.size() - 1, packed.size() / 2, size_t{4}}) {
    SCOPED_TRACE(keep);
    Outcome got = run(packed.substr(0, keep), through_pipe);
    EXPECT_EQ(got.result, 0u);
    EXPECT_EQ(got.err, std::string("mirt: ") + kind_name(kind) + ": unexpected end of input\n");
  }
}

TEST_P(ForeignKindTest, TruncatedLaterStreamFails) {
  auto [kind, through_pipe] = GetParam();
  std::string second = compress(kind, mixed_data(50000));
  Outcome got = run(compress(kind, "first") + second.substr(0, second.size() / 2), through_pipe);
  EXPECT_EQ(got.result, 0u);
  EXPECT_EQ(got.err, std::string("mirt: ") + kind_name(kind) + ": unexpected end of input\n");
}

TEST_P(ForeignKindTest, FailedWriteFails) {
  auto [kind, through_pipe] = GetParam();
  Outcome got = run(compress(kind, mixed_data(5000)), through_pipe, true);
  EXPECT_EQ(got.result, 0u);
  EXPECT_EQ(got.err, std::string("mirt: write: ") + std::strerror(EBADF) + "\n");
}

TEST_P(ForeignKindTest, ProgressCountsOneUnitPer1024BytesAndOneMore) {
  auto [kind, through_pipe] = GetParam();
  // 300 full units across two transfer chunks, plus the final short read.
  progress_begin(301);
  EXPECT_EQ(run(compress(kind, mixed_data(300 * 1024 + 1000)), through_pipe).result,
            300u * 1024 + 1000);
  EXPECT_EQ(status_param_get(kStatusPercent), 100);
  // An exact multiple of 1024 still ends with one more unit.
  progress_begin(11);
  EXPECT_EQ(run(compress(kind, mixed_data(10 * 1024)), through_pipe).result, 10u * 1024);
  EXPECT_EQ(status_param_get(kStatusPercent), 100);
}

INSTANTIATE_TEST_SUITE_P(KindsAndSources, ForeignKindTest,
                         ::testing::Combine(::testing::Values(Kind::Gzip, Kind::Bzip2),
                                            ::testing::Bool()));

class ForeignUnrecognisedTest : public ForeignTest,
                         public ::testing::WithParamInterface<std::tuple<const char*, bool>> {};

TEST_P(ForeignUnrecognisedTest, IsLeftAloneWithoutMessage) {
  auto [head, through_pipe] = GetParam();
  // Larger than a pipe holds, so an attempt to drain it would show.
  Outcome got = run(std::string(head) + std::string(200000, 'q'), through_pipe);
  EXPECT_EQ(got.result, 0u);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.err, "");
}

INSTANTIATE_TEST_SUITE_P(Heads, ForeignUnrecognisedTest,
                         ::testing::Combine(::testing::Values("BZx9", "PK\3\4", "\x1f\x8a\x08\x00",
                                                              "MRT!"),
                                            ::testing::Bool()));

TEST_F(ForeignTest, AnyStreamStartingWith1F8BIsTakenAsGzip) {
  std::string packed = gzip_of("hello");
  packed[2] = 0;  // no such compression method
  Outcome got = run(packed, true);
  EXPECT_EQ(got.result, 0u);
  EXPECT_EQ(got.err, "mirt: gzip: corrupt input\n");
}

TEST_F(ForeignTest, BytesAfterTheLastBzip2StreamAreIgnored) {
  std::string data = mixed_data(4000);
  for (const std::string& junk :
       {std::string("\n"), std::string(8, '\0'), std::string("not a stream at all")}) {
    Outcome got = run(bzip2_of(data) + junk, false);
    EXPECT_EQ(got.result, data.size());
    EXPECT_EQ(got.out, data);
  }
}

TEST_F(ForeignTest, TemporaryFileThatCannotBeMadeFailsCleanly) {
  std::string packed = gzip_of("short");
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_EQ(write(ends[1], packed.data(), packed.size()), static_cast<ssize_t>(packed.size()));
  close(ends[1]);
  uint8_t head[4];
  ASSERT_EQ(read_full(ends[0], head, 4), 4);
  int output = open("/dev/null", O_WRONLY);

  testing::internal::CaptureStderr();
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  int lowest_free = dup(0);
  close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const StreamResult result = decompress_foreign(ends[0], output, 0x1F8B0800u);
  setrlimit(RLIMIT_NOFILE, &saved);
  std::string err = testing::internal::GetCapturedStderr();

  EXPECT_FALSE(result.ok);
  EXPECT_EQ(err, std::string("mirt: mkstemp: ") + std::strerror(EMFILE) + "\n");
  close(ends[0]);
  close(output);
}

}  // namespace
}  // namespace mirt
