#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "codec/codec.h"
#include "codec/format.h"
#include "codec/tables.h"
#include "status/status.h"
#include "unit/codec/codec_test_util.h"
#include "support/http_server.h"
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
using testing::run_settings;
using testing::record;
using testing::text_record;

struct Report {
  uint64_t result = 0;
  std::string out;
  std::string err;
  ChecksumRecord sums;
};

const std::string kTableHead =
    "\nBreak down: \n"
    "  Blk | Algo | Size    | Name\n"
    "  ----+------+---------+---------------------------\n";

class StatsTest : public ::testing::Test {
 protected:
  void SetUp() override { test::reset_process_state(); }

  Report run_fd(int fd, int verbosity, const char* name) {
    Report r;
    Options options;
    options.verbosity = static_cast<uint8_t>(verbosity);
    Capture out(1);
    Capture err(2);
    r.result = process_stream(fd, -1, kModeStatistics, run_settings(options), name, r.sums, -1);
    r.out = out.text();
    r.err = err.text();
    return r;
  }

  Report run(const Bytes& container, int verbosity = 0, bool pipe = false,
             const char* name = "t.mrt") {
    if (pipe) {
      PipeInput in(container);
      return run_fd(in.fd(), verbosity, name);
    }
    std::string path = dir_.file("in.mrt");
    test::write_bytes(path, container);
    int fd = open(path.c_str(), O_RDONLY);
    Report r = run_fd(fd, verbosity, name);
    close(fd);
    return r;
  }

  testing::TempDir dir_;
};

const std::string kAbcReport =
    "File              :   t.mrt\n"
    "Magic             :   0x4d5254c3\n"
    "Mirt Version      :   0.8.42\n"
    "Block Size        :   8\n"
    "Block Header Size :   2\n"
    "Compressed Size   :   56\n"
    "Uncompressed Size :   3\n"
    "Ratio             :   0.054 to 1.0\n"
    "Original Name     :   t\n"
    "CRC 0             :   0x08100127\n"
    "CRC 1             :   0x08100127\n";

TEST_F(StatsTest, WorkedExampleQuiet) {
  Report r = run(testing::abc_file_container());
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(r.out, kAbcReport + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.sums.stored_compressed_sum, 0x08100127u);
  EXPECT_EQ(r.sums.stored_plain_sum, 0x08100127u);
}

TEST_F(StatsTest, WorkedExampleWithBlockTable) {
  Report r = run(testing::abc_file_container(), 1);
  EXPECT_EQ(r.out, kAbcReport + kTableHead + "  000 | 000  | 8       | Uncompressed\n\n");
}

TEST_F(StatsTest, BadMagicStopsAfterTheMagicLine) {
  Report r = run(Bytes{0x12, 0x34, 0x56, 0x78, 0, 0, 0});
  EXPECT_EQ(r.result, 0u);
  EXPECT_EQ(r.out,
            "File              :   t.mrt\n"
            "Magic             :   0x12345678 (bad magic)\n");
}

TEST_F(StatsTest, StandardInputHasADisplayName) {
  Report r = run(Bytes{1, 2, 3, 4}, 0, true, nullptr);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "File              :   standard input\n");
}

// Sizes of a file are its length whatever its end looks like: written to
// a pipe, with a trailer after counted blocks, header only, or with its
// trailer cut off. Only a pipe cannot tell.
TEST_F(StatsTest, CompressedSizeOfAFileIsItsLength) {
  ContainerBytes counted_trailer;
  counted_trailer.size = 3;
  counted_trailer.blocks = block(0, {'a', 'b', 'c', 0, 0, 0, 0, 0}, 1);
  counted_trailer.trailer = true;
  counted_trailer.trailer_size = 3;
  ContainerBytes header_only;
  header_only.size = 3000;
  header_only.ext = Bytes(14, 0x0A);
  Bytes cut = testing::abc_pipe_container();
  cut.resize(cut.size() - 5);
  struct Case {
    Bytes container;
    const char* sizes;
  } cases[] = {
      {testing::abc_pipe_container(),
       "Compressed Size   :   68\nUncompressed Size :   3\nRatio             :   0.044 to 1.0\n"},
      {counted_trailer.build(),
       "Compressed Size   :   50\nUncompressed Size :   3\nRatio             :   0.060 to 1.0\n"},
      {header_only.build(),
       "Compressed Size   :   42\nUncompressed Size :   3000\n"
       "Ratio             :   71.429 to 1.0\n"},
      {cut, "Compressed Size   :   63\nUncompressed Size :   0\nRatio             :   0.000 to 1.0\n"},
  };
  for (const Case& c : cases) {
    Report file = run(c.container);
    EXPECT_NE(file.out.find(c.sizes), std::string::npos) << file.out;
    EXPECT_EQ(file.result, 1u);
  }
  Report pipe = run(testing::abc_pipe_container(), 1, true);
  EXPECT_NE(pipe.out.find("Compressed Size   :   unknown\nUncompressed Size :   0\n"
                          "Ratio             :   unknown\n"),
            std::string::npos);
  // The table still lists the block and stops at the trailer.
  EXPECT_NE(pipe.out.find(kTableHead + "  000 | 000  | 8       | Uncompressed\n\n"),
            std::string::npos);
  EXPECT_EQ(pipe.err, "");
}

TEST_F(StatsTest, BadEndOfFileMagic) {
  ContainerBytes c;
  c.ext = Bytes(14, 0x0A);
  Report r = run(c.build());
  EXPECT_EQ(r.result, 1u);
  EXPECT_EQ(r.err, "mirt: Bad end-of-file magic.  Corrupt or incomplete file?\n");
  EXPECT_NE(r.out.find("Uncompressed Size :   0\n"), std::string::npos);
}

TEST_F(StatsTest, OldHeaderWarnsOnceOrTwiceWithTheTrailer) {
  ContainerBytes sized;
  sized.version[2] = 38;
  sized.size = 3;
  sized.blocks = block(0, {'a', 'b', 'c', 0, 0, 0, 0, 0}, 1);
  Report once = run(sized.build(), 1);
  EXPECT_EQ(once.err, kOldHeaderWarning);
  EXPECT_NE(once.out.find("Mirt Version      :   0.8.38\n"), std::string::npos);
  EXPECT_NE(once.out.find("  000 | 000  | 8       | Uncompressed\n"), std::string::npos);

  ContainerBytes piped = sized;
  piped.size = 0;
  piped.trailer = true;
  piped.trailer_size = 3;
  Report twice = run(piped.build());
  EXPECT_EQ(count_of(twice.err, kOldHeaderWarning), 2u);
  EXPECT_NE(twice.out.find("Uncompressed Size :   3\n"), std::string::npos);
}

TEST_F(StatsTest, RecordsInFileOrderThenLocations) {
  std::string list = dir_.file("list.txt");
  test::write_file(list, "l1\n\nl3");  // an empty line, and no final newline
  ContainerBytes c;
  c.size = 3;
  c.ext = text_record(6, "the description\x1b[2J");
  append(c.ext, text_record(4, "na\x9bme"));
  append(c.ext, text_record(7, "first\x07"));
  append(c.ext, text_record(8, list));
  append(c.ext, text_record(7, "second"));
  append(c.ext, record(9, be(1, 4)));
  append(c.ext, record(12, be(0, 8)));
  append(c.ext, record(200, {1, 2, 3}));
  Report r = run(c.build());
  std::string records = r.out.substr(r.out.find("Description"));
  // Control bytes escaped wherever a record's text is shown.
  EXPECT_EQ(records,
            "Description       :   the description\\x1b[2J\n"
            "Original Name     :   na\\x9bme\n"
            "Download Loc File :   " + list + "\n"
            "Ciphered using    :   subst\n"
            "Program length    :   0\n"
            "Download Location :   first\\x07\n"
            "Download Location :   l1\n"
            "Download Location :   \n"
            "Download Location :   l3\n"
            "Download Location :   second\n"
            "\n");
}

// Locations are shown, never opened, at every verbosity: opening one would
// tell its host who looks at the file.
TEST_F(StatsTest, LocationsAreShownNotOpened) {
  test::HttpServer http;
  ASSERT_TRUE(http.ok());
  const std::string url = http.url("/f.mrt");
  const std::string fifo = dir_.file("fifo");  // opening it would block
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ContainerBytes c;
  c.size = 3;
  c.ext = text_record(7, url);
  append(c.ext, text_record(7, fifo));
  append(c.ext, text_record(7, dir_.file("gone")));
  for (int verbosity : {0, 1}) {
    Report r = run(c.build(), verbosity);
    EXPECT_NE(r.out.find("Download Location :   " + url + "\n"
                         "Download Location :   " + fifo + "\n"
                         "Download Location :   " + dir_.file("gone") + "\n"),
              std::string::npos)
        << r.out;
  }
  EXPECT_EQ(http.connections(), 0);
}

TEST_F(StatsTest, NamelessCipherAndAlgorithmSlots) {
  ContainerBytes c;
  c.size = 9;
  c.ext = record(9, be(7, 4));
  append(c.ext, record(9, be(4, 4)));
  c.blocks = block(200, {1, 2}, 1);
  append(c.blocks, block(3, {1}, 1));
  Report r = run(c.build(), 1);
  EXPECT_EQ(count_of(r.out, "Ciphered using    :   (unknown)\n"), 2u);
  EXPECT_NE(r.out.find(kTableHead +
                       "  000 | 200  | 2       | (unknown)\n"
                       "  001 | 003  | 1       | Text Compression\n\n"),
            std::string::npos);
}

TEST_F(StatsTest, EmptyContainerShowsOnlyTheTableHeading) {
  ContainerBytes c;
  c.size = 5;
  c.ext = Bytes(14, 0x0A);
  Report r = run(c.build(), 1);
  EXPECT_EQ(r.out.substr(r.out.size() - kTableHead.size() - 1), kTableHead + "\n");
}

TEST_F(StatsTest, AtMost256DownloadLocations) {
  ContainerBytes c;
  c.size = 3;
  for (int i = 0; i < 300; ++i) append(c.ext, text_record(7, "loc" + std::to_string(i)));
  Report r = run(c.build());
  EXPECT_EQ(count_of(r.out, "Download Location :   "), 256u);
  EXPECT_NE(r.out.find("Download Location :   loc255\n"), std::string::npos);
  EXPECT_EQ(r.out.find("loc256"), std::string::npos);
}

TEST_F(StatsTest, TruncatedExtensionAreaEndsTheWalk) {
  ContainerBytes c;
  c.size = 3;
  c.ext = text_record(4, "name");
  c.ext_length_given = true;
  c.ext_length = 40;  // longer than what follows
  Report r = run(c.build(), 1);
  EXPECT_EQ(r.result, 1u);
  EXPECT_NE(r.out.find("Original Name     :   name\n"), std::string::npos);
}

}  // namespace
}  // namespace mirt
