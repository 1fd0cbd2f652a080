#include "codec/format.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec_test_util.h"

namespace mirt {
namespace {

using testing::Bytes;
using testing::Capture;

// Both ends of a pipe, closed on destruction.
struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      r = fds[0];
      w = fds[1];
    }
  }
  ~Pipe() {
    if (r >= 0) close(r);
    if (w >= 0) close(w);
  }
  void close_write() {
    close(w);
    w = -1;
  }
  Bytes drain() {
    close_write();
    Bytes out;
    uint8_t buf[256];
    ssize_t n;
    while ((n = read(r, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    return out;
  }
};

struct WriteCase {
  uint64_t value;
  int width;
  Bytes expected;
};

class WriteBeTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteBeTest, WritesLowBytesMostSignificantFirst) {
  const WriteCase& c = GetParam();
  Pipe p;
  EXPECT_EQ(write_be(p.w, c.value, c.width), c.width <= 0 ? 0 : c.width);
  EXPECT_EQ(p.drain(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, WriteBeTest,
    ::testing::Values(WriteCase{0x0102030405060708ull, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
                      WriteCase{0x0102030405060708ull, 4, {5, 6, 7, 8}},
                      WriteCase{0x0102030405060708ull, 1, {8}},
                      WriteCase{0xABCDEF, 3, {0xAB, 0xCD, 0xEF}},
                      WriteCase{0xFFFF, 10, {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}},
                      WriteCase{7, 0, {}}, WriteCase{7, -3, {}}));

TEST(WriteBe, FailureReportsAndReturnsMinusOne) {
  const int fd = open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  Capture err(2);
  EXPECT_EQ(write_be(fd, 1, 4), -1);
  EXPECT_EQ(err.text(), "mirt: write: No space left on device\n");
  close(fd);
}

struct ReadCase {
  Bytes input;
  int count;
  int width;
  uint64_t expected;  // what the 8-byte destination holds afterwards
};

class ReadBeTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadBeTest, AssemblesAndTruncates) {
  const ReadCase& c = GetParam();
  Pipe p;
  ASSERT_EQ(write(p.w, c.input.data(), c.input.size()),
            static_cast<ssize_t>(c.input.size()));
  p.close_write();
  uint64_t destination = 0xAAAAAAAAAAAAAAAAull;
  EXPECT_EQ(read_be(p.r, &destination, c.count, c.width), c.count);
  EXPECT_EQ(destination, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, ReadBeTest,
    ::testing::Values(
        // 80 01 into a 4-byte destination is 32769; the rest stays untouched.
        ReadCase{{0x80, 0x01}, 2, 4, 0xAAAAAAAA00008001ull},
        ReadCase{{1, 2, 3, 4, 5, 6, 7, 8}, 8, 8, 0x0102030405060708ull},
        ReadCase{{0x12, 0x34}, 2, 1, 0xAAAAAAAAAAAAAA34ull},
        ReadCase{{0x12, 0x34}, 2, 2, 0xAAAAAAAAAAAA1234ull},
        ReadCase{{0x12, 0x34}, 2, 3, 0xAAAAAAAAAAAAAAAAull},  // unsupported width
        ReadCase{{}, 0, 4, 0xAAAAAAAA00000000ull}));          // count 0 stores 0

TEST(ReadBe, EndOfFileReportsAndStoresNothing) {
  Pipe p;
  const uint8_t one = 0x55;
  ASSERT_EQ(write(p.w, &one, 1), 1);
  p.close_write();
  uint32_t destination = 77;
  Capture err(2);
  EXPECT_EQ(read_be(p.r, &destination, 4, 4), -1);
  EXPECT_EQ(destination, 77u);
  EXPECT_EQ(err.text().rfind("mirt: read: ", 0), 0u);
}

struct WidthCase {
  uint32_t block_size;
  int width;
};

class LengthFieldWidthTest : public ::testing::TestWithParam<WidthCase> {};

TEST_P(LengthFieldWidthTest, MatchesTable) {
  EXPECT_EQ(length_field_width(GetParam().block_size), GetParam().width)
      << GetParam().block_size;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, LengthFieldWidthTest,
    ::testing::Values(WidthCase{1, 1}, WidthCase{8, 1}, WidthCase{254, 1}, WidthCase{255, 2},
                      WidthCase{256, 2}, WidthCase{65534, 2}, WidthCase{65535, 3},
                      WidthCase{4194304, 3}, WidthCase{16777204, 3}, WidthCase{16777205, 4},
                      WidthCase{16777215, 4}, WidthCase{2147483646, 4}));

class ExtensionBufferTest : public ::testing::Test {
 protected:
  ExtensionRecords ext;
};

TEST_F(ExtensionBufferTest, StartsEmpty) {
  EXPECT_EQ(ext.length(), 0u);
  EXPECT_EQ(ext.allocated(), 0u);
  EXPECT_EQ(ext.pad(), nullptr);
}

TEST_F(ExtensionBufferTest, GrowsInWholeKilobytes) {
  const std::vector<uint8_t> data(1000, 'x');
  const uint32_t expected_allocation[] = {1024, 2048, 3072};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(ext.add_bytes(6, data.data(), 1000), 1);
    EXPECT_EQ(ext.allocated(), expected_allocation[i]);
  }
  EXPECT_EQ(ext.length(), 3009u);
  const uint8_t* buffer = ext.pad();
  ASSERT_NE(buffer, nullptr);
  for (uint32_t i = 3009; i < 3072; ++i) ASSERT_EQ(buffer[i], kFillerByte) << i;
  EXPECT_EQ(ext.length(), 3009u);
  ext.clear();
  EXPECT_EQ(ext.length(), 0u);
  EXPECT_EQ(ext.allocated(), 0u);
}

TEST_F(ExtensionBufferTest, ExactNeedIsNotRoundedUp) {
  const std::vector<uint8_t> data(2048 - 3, 'y');
  ASSERT_EQ(ext.add_bytes(7, data.data(), static_cast<uint32_t>(data.size())), 1);
  EXPECT_EQ(ext.allocated(), 2048u);
  ASSERT_EQ(ext.add_bytes(7, nullptr, 0), 1);  // need 2051
  EXPECT_EQ(ext.allocated(), 3072u);
}

TEST_F(ExtensionBufferTest, RecordLayout) {
  ASSERT_EQ(ext.add_bytes(4, "t", 1), 1);
  ASSERT_EQ(ext.add_int(0, 0x08100127, 4), 1);
  ASSERT_EQ(ext.add_int(12, 0x01020304, 8), 1);
  const Bytes expected = {4, 0, 1, 't', 0, 0, 4, 8, 0x10, 1, 0x27,
                          12, 0, 8, 0, 0, 0, 0, 1, 2, 3, 4};
  ASSERT_EQ(ext.length(), expected.size());
  const uint8_t* buffer = ext.pad();
  EXPECT_EQ(Bytes(buffer, buffer + expected.size()), expected);
}

TEST_F(ExtensionBufferTest, OverlongRecordIsRefused) {
  ASSERT_EQ(ext.add_bytes(4, "t", 1), 1);
  const std::vector<uint8_t> data(65536, 'z');
  Capture err(2);
  EXPECT_EQ(ext.add_bytes(6, data.data(), 65536), 0);
  EXPECT_EQ(err.text(), "mirt: Header record too long (65536 bytes; at most 65535).\n");
  EXPECT_EQ(ext.length(), 4u);
  EXPECT_EQ(ext.add_bytes(6, data.data(), 65535), 1);  // the largest that fits
  EXPECT_EQ(ext.length(), 4u + 3 + 65535);
}

}  // namespace
}  // namespace mirt
