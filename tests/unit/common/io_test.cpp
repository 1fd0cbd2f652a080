#include "common/io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "common/unique_fd.h"
#include "support/streams.h"

namespace mirt {
namespace {

struct Pipe {
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      read_end.reset(fds[0]);
      write_end.reset(fds[1]);
    }
  }
  UniqueFd read_end;
  UniqueFd write_end;
};

// More than a pipe holds, so the writes come back short and must go on.
TEST(WriteFull, WritesEverythingThroughShortWrites) {
  const std::string data(1 << 20, 'x');
  Pipe p;
  test::Bytes got;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = read_some(p.read_end.get(), buffer, sizeof buffer)) > 0)
      got.insert(got.end(), buffer, buffer + n);
  });
  EXPECT_TRUE(write_full(p.write_end.get(), data.data(), data.size()));
  p.write_end.reset();
  reader.join();
  EXPECT_EQ(got.size(), data.size());
}

TEST(WriteFull, PiecesInOrderAndFailureLeavesErrno) {
  Pipe p;
  char a[] = "head:";
  char b[] = "";
  char c[] = "tail";
  iovec parts[3] = {{a, 5}, {b, 0}, {c, 4}};
  ASSERT_TRUE(write_full(p.write_end.get(), parts, 3));
  p.write_end.reset();
  char buffer[16] = {};
  EXPECT_EQ(read_full(p.read_end.get(), buffer, sizeof buffer), 9);
  EXPECT_EQ(std::string(buffer), "head:tail");

  errno = 0;
  EXPECT_FALSE(write_full(-1, "x", 1));
  EXPECT_EQ(errno, EBADF);
  const int read_only = open("/dev/null", O_RDONLY);
  errno = 0;
  EXPECT_FALSE(write_full(read_only, parts, 3));
  EXPECT_EQ(errno, EBADF);
  close(read_only);
}

TEST(ReadFull, ReadsAcrossPiecesAndStopsAtTheEnd) {
  test::PipeInput input(test::Bytes(100000, 'y'));
  std::string buffer(150000, '\0');
  EXPECT_EQ(read_full(input.fd(), buffer.data(), 70000), 70000);
  EXPECT_EQ(read_full(input.fd(), buffer.data(), 70000), 30000);
  EXPECT_EQ(read_full(input.fd(), buffer.data(), 70000), 0);
  EXPECT_EQ(read_full(input.fd(), buffer.data(), 0), 0);
  errno = 0;
  EXPECT_LT(read_full(-1, buffer.data(), 1), 0);
  EXPECT_EQ(errno, EBADF);
}

TEST(UniqueFd, ClosesWhatItHoldsOnce) {
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  {
    UniqueFd first(fd);
    UniqueFd second(std::move(first));
    EXPECT_EQ(first.get(), -1);
    EXPECT_EQ(second.get(), fd);
  }
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed by the one that held it

  fd = open("/dev/null", O_RDONLY);
  UniqueFd owner(fd);
  EXPECT_EQ(owner.release(), fd);
  owner.reset();
  EXPECT_NE(fcntl(fd, F_GETFD), -1);  // released: still open
  owner.reset(fd);
  owner.reset();
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

}  // namespace
}  // namespace mirt
