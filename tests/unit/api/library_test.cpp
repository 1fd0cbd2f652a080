// libmirt through its C interface: the index and positioned reads against
// what the codec decodes, buffers, streams, and the errors they report.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mirt/mirt.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

using test::Bytes;

struct ContextFree {
  void operator()(mirt_context* c) const { mirt_context_free(c); }
};
using Context = std::unique_ptr<mirt_context, ContextFree>;

// The test RLE module in slot 1 beside the copy algorithm, with `extra`
// configuration lines, written to the file `name`.
Context make_context(test::TempDir& dir, const std::string& extra = "",
                     uint32_t block_size = 0, const std::string& name = "library.conf") {
  const std::string conf = dir.file(name);
  EXPECT_TRUE(test::write_file(conf, std::string("module_dir ") + MIRT_TEST_MODULE_DIR +
                                         "\nmodule test_rle\n" + extra));
  mirt_options options;
  mirt_options_init(&options);
  options.flags = MIRT_NO_INSTALLED_CONFIG;
  options.config = conf.c_str();
  options.block_size = block_size;
  mirt_context* made = nullptr;
  EXPECT_EQ(mirt_context_create(&options, &made), MIRT_OK) << mirt_last_error();
  return Context(made);
}

Bytes compress(const mirt_context* context, const Bytes& plain) {
  Bytes out(mirt_compress_bound(context, plain.size()));
  const int64_t length = mirt_compress(context, plain.data(), plain.size(), out.data(), out.size());
  EXPECT_GE(length, 0) << mirt_last_error();
  out.resize(length < 0 ? 0 : static_cast<size_t>(length));
  return out;
}

// What the codec makes of `container`: the plain bytes, or the status.
int64_t expand(const mirt_context* context, const Bytes& container, Bytes& plain) {
  plain.assign(1 << 20, 0);
  const int64_t got = mirt_decompress(context, container.data(), container.size(), plain.data(),
                                      plain.size());
  plain.resize(got < 0 ? 0 : static_cast<size_t>(got));
  return got;
}

Bytes golden(const std::string& name) {
  return test::read_bytes(std::string(MIRT_SOURCE_DIR) + "/tests/golden/" + name);
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes text(size_t size, unsigned seed) {
  const std::string made = test::make_data(size, 1, seed);
  return Bytes(made.begin(), made.end());
}

class LibraryTest : public testing::Test {
 protected:
  // A file holding `bytes`, open for reading and writing.
  int file_with(const Bytes& bytes) {
    const std::string path = dir_.file("c" + std::to_string(files_++) + ".mrt");
    EXPECT_TRUE(test::write_bytes(path, bytes));
    fds_.emplace_back(::open(path.c_str(), O_RDWR));
    return fds_.back();
  }
  void TearDown() override {
    for (int fd : fds_) ::close(fd);
  }

  test::TempDir dir_;
  Context context_ = make_context(dir_);
  std::vector<int> fds_;
  int files_ = 0;
};

struct IndexCase {
  const char* name;
  Bytes bytes;
  int status;  // of the index; MIRT_OK: it must agree with the codec
  uint32_t containers;
};

std::vector<IndexCase> index_cases() {
  const Bytes file = golden("multi_block_file.mrt"), pipe = golden("multi_block_pipe.mrt");
  const Bytes end_marker = {0xFF, 0x3F, 0xDE, 0x08, 0, 0, 0, 0, 0, 0, 0, 20};
  Bytes unknown_slot = file;
  unknown_slot[unknown_slot.size() - 10] = 77;  // the last block record: 77, length 8, data
  return {
      {"written to a file", file, MIRT_OK, 1},
      {"written to a pipe", pipe, MIRT_OK, 1},
      {"with records", golden("abc_records.mrt"), MIRT_OK, 1},
      {"old layout", golden("old_layout.mrt"), MIRT_OK, 1},
      {"old layout to a pipe", golden("old_layout_pipe.mrt"), MIRT_OK, 1},
      {"several", concat({file, pipe, golden("abc_file.mrt")}), MIRT_OK, 3},
      {"padded with zeros", concat({pipe, Bytes(1000, 0)}), MIRT_OK, 1},
      {"counted, then an end marker", concat({file, end_marker}), MIRT_OK, 1},
      {"a block no module decodes", unknown_slot, MIRT_OK, 1},
      {"header only", golden("abc_header_only.mrt"), MIRT_ERROR_CORRUPT, 0},
      {"cut in a block", Bytes(pipe.begin(), pipe.end() - 20), MIRT_ERROR_CORRUPT, 0},
      {"trailing garbage", concat({file, {1, 2, 3}}), MIRT_ERROR_CORRUPT, 0},
      {"not a container", {'h', 'e', 'l', 'l', 'o'}, MIRT_ERROR_FORMAT, 0},
  };
}

// The index and the codec read the same containers alike, and a
// positioned read of everything gives what the codec decodes.
TEST_F(LibraryTest, IndexAgreesWithTheCodec) {
  for (const IndexCase& c : index_cases()) {
    SCOPED_TRACE(c.name);
    const int fd = file_with(c.bytes);
    mirt_index* index = nullptr;
    ASSERT_EQ(mirt_index_build(fd, &index), c.status) << mirt_last_error();
    if (c.status != MIRT_OK) {
      EXPECT_NE(std::string(mirt_last_error()), "");
      Bytes plain;
      EXPECT_LT(expand(context_.get(), c.bytes, plain), 0);
      continue;
    }
    const std::unique_ptr<mirt_index, void (*)(mirt_index*)> owner(index, mirt_index_free);
    EXPECT_EQ(mirt_index_container_count(index), c.containers);
    Bytes plain;
    const int64_t expanded = expand(context_.get(), c.bytes, plain);
    Bytes read(mirt_index_size(index) + 10);
    uint64_t decoded = 0;
    const int64_t got =
        mirt_index_read(context_.get(), index, fd, read.data(), read.size(), 0, &decoded);
    if (expanded < 0) {
      EXPECT_EQ(got, MIRT_ERROR_UNAVAILABLE);
      EXPECT_NE(std::string(mirt_last_error()).find("algorithm 77"), std::string::npos);
      continue;
    }
    ASSERT_EQ(got, expanded) << mirt_last_error();
    read.resize(static_cast<size_t>(got));
    EXPECT_EQ(read, plain);
    EXPECT_EQ(decoded, mirt_index_block_count(index));
  }
}

// Any range decodes to the right bytes from the blocks that cover it.
TEST_F(LibraryTest, PositionedReadsDecodeOnlyTheCoveringBlocks) {
  const Context small = make_context(dir_, "", 1000);
  const Bytes plain = text(50000, 3);
  const int fd = file_with(compress(small.get(), plain));
  mirt_index* index = nullptr;
  ASSERT_EQ(mirt_index_build(fd, &index), MIRT_OK) << mirt_last_error();
  const std::unique_ptr<mirt_index, void (*)(mirt_index*)> owner(index, mirt_index_free);
  ASSERT_EQ(mirt_index_block_count(index), 50u);
  std::mt19937 random(9);
  for (int i = 0; i < 200; ++i) {
    const uint64_t at = random() % 50100, size = random() % 2500;
    Bytes read(size);
    uint64_t decoded = 0;
    const int64_t got =
        mirt_index_read(context_.get(), index, fd, read.data(), size, at, &decoded);
    const uint64_t expected = at >= plain.size() ? 0 : std::min<uint64_t>(size, plain.size() - at);
    ASSERT_EQ(got, static_cast<int64_t>(expected)) << mirt_last_error();
    EXPECT_TRUE(std::equal(read.begin(), read.begin() + got,
                           plain.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(at, plain.size()))));
    EXPECT_EQ(decoded, expected == 0 ? 0 : (at + expected - 1) / 1000 - at / 1000 + 1);
  }
  // A reader that seeks before its first read decodes only the covering
  // blocks: nothing from the start, and the descriptor is not consumed.
  mirt_reader* reader = nullptr;
  ASSERT_EQ(mirt_reader_open_fd(context_.get(), fd, &reader), MIRT_OK);
  const std::unique_ptr<mirt_reader, void (*)(mirt_reader*)> reading(reader, mirt_reader_free);
  Bytes read(2500);
  ASSERT_EQ(mirt_reader_seek(reader, 31500, SEEK_SET), 31500);
  ASSERT_EQ(mirt_reader_read(reader, read.data(), read.size()), 2500) << mirt_last_error();
  EXPECT_TRUE(std::equal(read.begin(), read.end(), plain.begin() + 31500));
  EXPECT_EQ(mirt_reader_blocks_decoded(reader), 3u);
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
}

TEST_F(LibraryTest, BuffersReportTheirFailures) {
  const Bytes plain = text(30000, 4);
  const Bytes packed = compress(context_.get(), plain);
  Bytes out;
  ASSERT_EQ(expand(context_.get(), packed, out), static_cast<int64_t>(plain.size()));
  EXPECT_EQ(out, plain);
  Bytes small(plain.size() - 1);
  EXPECT_EQ(mirt_decompress(context_.get(), packed.data(), packed.size(), small.data(), small.size()),
            MIRT_ERROR_SPACE);
  EXPECT_EQ(mirt_compress(context_.get(), plain.data(), plain.size(), small.data(), 10),
            MIRT_ERROR_SPACE);
  Bytes damaged = packed;
  damaged[damaged.size() - 3] ^= 1;
  EXPECT_EQ(expand(context_.get(), damaged, out), MIRT_ERROR_CORRUPT);
  EXPECT_EQ(expand(context_.get(), Bytes(packed.begin(), packed.end() - 9), out),
            MIRT_ERROR_CORRUPT);
  EXPECT_EQ(expand(context_.get(), {1, 2, 3, 4, 5, 6}, out), MIRT_ERROR_FORMAT);
  EXPECT_STREQ(mirt_last_error(), "standard input: not a compressed file.");
  mirt_options options;
  mirt_options_init(&options);
  options.config = "/no/such.conf";
  mirt_context* none = nullptr;
  EXPECT_EQ(mirt_context_create(&options, &none), MIRT_ERROR_CONFIG);
  EXPECT_EQ(none, nullptr);
}

int write_to(void* opaque, const void* data, size_t size) {
  auto* out = static_cast<Bytes*>(opaque);
  out->insert(out->end(), static_cast<const uint8_t*>(data),
              static_cast<const uint8_t*>(data) + size);
  return 0;
}

// Writers to a file, a pipe and a callback, read back by a reader of the
// same kind; an abandoned writer leaves no valid container.
TEST_F(LibraryTest, StreamsWriteAndReadContainers) {
  const Bytes plain = text(70000, 5);
  // Small blocks: the codec's output keeps arriving while input is still
  // to be sent, and the writer must never wait on one side only.
  const Context small = make_context(dir_, "", 1000, "small.conf");
  for (const char* kind : {"file", "pipe", "callback", "small blocks", "abandoned"}) {
    SCOPED_TRACE(kind);
    Bytes container;
    int ends[2] = {-1, -1};
    mirt_writer* writer = nullptr;
    if (std::strcmp(kind, "callback") == 0) {
      ASSERT_EQ(mirt_writer_open_callback(context_.get(), write_to, &container, &writer), MIRT_OK);
    } else if (std::strcmp(kind, "small blocks") == 0) {
      ASSERT_EQ(mirt_writer_open_callback(small.get(), write_to, &container, &writer), MIRT_OK);
    } else if (std::strcmp(kind, "pipe") == 0) {
      ASSERT_EQ(::pipe(ends), 0);
      ASSERT_EQ(mirt_writer_open_fd(context_.get(), ends[1], &writer), MIRT_OK);
    } else {
      ASSERT_EQ(mirt_writer_open_fd(context_.get(), file_with({}), &writer), MIRT_OK);
    }
    std::thread drain;
    if (ends[0] >= 0)
      drain = std::thread([&] {
        const std::string all = test::read_to_end(ends[0]);
        container.assign(all.begin(), all.end());
      });
    // Block by block with pauses, the codec's output waits at each write
    // while the codec waits for input.
    const bool paced = std::strcmp(kind, "small blocks") == 0;
    const size_t chunk = paced ? 1000 : 7000;
    for (size_t at = 0; at < plain.size(); at += chunk) {
      if (paced && at < 10 * chunk) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ASSERT_EQ(mirt_writer_write(writer, plain.data() + at, chunk), MIRT_OK) << mirt_last_error();
    }
    if (std::strcmp(kind, "abandoned") != 0) {
      ASSERT_EQ(mirt_writer_finish(writer), MIRT_OK);
    }
    mirt_writer_free(writer);
    if (ends[0] >= 0) {
      ::close(ends[1]);
      drain.join();
      ::close(ends[0]);
    } else if (container.empty()) {
      container = test::read_bytes(dir_.file("c" + std::to_string(files_ - 1) + ".mrt"));
    }
    Bytes back;
    const int64_t got = expand(context_.get(), container, back);
    if (std::strcmp(kind, "abandoned") == 0) {
      EXPECT_LT(got, 0);
      continue;
    }
    ASSERT_EQ(got, static_cast<int64_t>(plain.size())) << mirt_last_error();
    EXPECT_EQ(back, plain);
  }
}

// What one context makes of its input: the container from a buffer, the
// one from a stream, and the plain bytes read back at a position.
struct Outcome {
  Bytes buffer, stream, positioned;
  bool operator==(const Outcome& other) const {
    return buffer == other.buffer && stream == other.stream && positioned == other.positioned;
  }
};

// `setting`: its block size option and configuration lines; `name` names
// its files.
Outcome run_context(test::TempDir& dir, const std::pair<uint32_t, std::string>& setting,
                    const std::string& name, const Bytes& plain) {
  const auto& [block_size, lines] = setting;
  const Context context = make_context(dir, lines, block_size, name + ".conf");
  Outcome outcome;
  outcome.buffer = compress(context.get(), plain);
  Bytes back;
  EXPECT_EQ(expand(context.get(), outcome.buffer, back), static_cast<int64_t>(plain.size()));
  mirt_writer* writer = nullptr;
  EXPECT_EQ(mirt_writer_open_callback(context.get(), write_to, &outcome.stream, &writer), MIRT_OK);
  EXPECT_EQ(mirt_writer_write(writer, plain.data(), plain.size()), MIRT_OK);
  EXPECT_EQ(mirt_writer_finish(writer), MIRT_OK);
  mirt_writer_free(writer);
  const std::string path = dir.file(name + ".mrt");
  EXPECT_TRUE(test::write_bytes(path, outcome.stream));
  const int fd = ::open(path.c_str(), O_RDONLY);
  mirt_index* index = nullptr;
  EXPECT_EQ(mirt_index_build(fd, &index), MIRT_OK) << mirt_last_error();
  outcome.positioned.resize(5000);
  EXPECT_EQ(mirt_index_read(context.get(), index, fd, outcome.positioned.data(), 5000,
                            plain.size() / 3, nullptr),
            5000);
  mirt_index_free(index);
  ::close(fd);
  return outcome;
}

// Contexts share no mutable state: several used at once, each with its
// own settings, give exactly what each gives alone.
TEST(ConcurrentLibrary, ContextsAtOnceGiveWhatEachGivesAlone) {
  test::TempDir dir;
  const Bytes plain = text(60000, 6);
  // The last one tries the copy algorithm alone, cuts by other rules,
  // and decodes within a smaller memory limit than the others.
  const std::vector<std::pair<uint32_t, std::string>> settings = {
      {1000, "threads 1"}, {4096, "threads 2"}, {0, "threads 3"}, {65536, "threads 2"},
      {0, "threads 2\ntry_algorithms 0\npipe_blocksize 3000\nblocksize_limit 7000\n"
          "memory_limit 1M"}};
  std::vector<Outcome> alone, together(settings.size());
  for (size_t i = 0; i < settings.size(); ++i)
    alone.push_back(run_context(dir, settings[i], "alone" + std::to_string(i), plain));
  std::vector<std::thread> runners;
  for (size_t i = 0; i < settings.size(); ++i)
    runners.emplace_back([&, i] {
      together[i] = run_context(dir, settings[i], "together" + std::to_string(i), plain);
    });
  for (std::thread& runner : runners) runner.join();
  EXPECT_NE(alone.back().buffer, alone[2].buffer);
  for (size_t i = 0; i < settings.size(); ++i) {
    EXPECT_TRUE(together[i] == alone[i]) << i;
    EXPECT_EQ(Bytes(plain.begin() + plain.size() / 3, plain.begin() + plain.size() / 3 + 5000),
              alone[i].positioned);
  }
}

}  // namespace
}  // namespace mirt
