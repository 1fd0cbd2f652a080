#include "location/stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "location/net.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

std::string read_some(int fd, size_t n) {
  std::string out(n, '\0');
  ssize_t got = read(fd, out.data(), n);
  out.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return out;
}

void write_all(int fd, const std::string& data) {
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
}

bool is_socket(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

const std::string kContent = "0123456789abcdefghijklmnopqrstuvwxyz";

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_.file("data");
    int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    write_all(fd, kContent);
    close(fd);
    test::reset_process_state();
  }
  void TearDown() override {
    for (int fd : fds_) close(fd);
    test::reset_process_state();
  }

  int track(int fd) {
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }

  // A connected socket pair: [0] plays the network stream, [1] the server.
  void socket_pair(int sv[2]) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    track(sv[0]);
    track(sv[1]);
  }

  void make_pipe(int p[2]) {
    ASSERT_EQ(pipe(p), 0);
    track(p[0]);
    track(p[1]);
  }

  // Puts a socket onto descriptor number `fd` (which must be free or
  // owned by the test), as if the socket had been opened there.
  int socket_at(int fd) {
    int sv[2];
    socket_pair(sv);
    EXPECT_EQ(dup2(sv[0], fd), fd);
    if (std::find(fds_.begin(), fds_.end(), fd) == fds_.end()) fds_.push_back(fd);
    return sv[1];
  }

  test::TempDir dir_;
  std::string file_;
  std::vector<int> fds_;
};

// ---- open_location -----------------------------------------------------

TEST_F(StreamTest, OpensAPathAtItsStart) {
  int fd = track(open_location(file_.c_str(), O_RDONLY, 0));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read_some(fd, 4), "0123");
}

TEST_F(StreamTest, CreatesWithTheMode) {
  std::string out = dir_.path() + "/out";
  mode_t old = umask(0);
  int fd = track(open_location(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640));
  umask(old);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(StreamTest, MissingPathGivesNegatedErrnoAndKeepsTheTable) {
  // A socket whose record names our file.
  int peer_unused = socket_at(200);
  (void)peer_unused;
  reopen_record_set(200, file_.c_str(), O_RDONLY, 0);

  std::string missing = dir_.path() + "/missing";
  EXPECT_EQ(open_location(missing.c_str(), O_RDONLY, 0), -ENOENT);
  EXPECT_EQ(open_location((dir_.path() + "/data/sub").c_str(), O_RDONLY, 0), -ENOTDIR);

  // The record is still there: an absolute seek re-opens the file.
  EXPECT_EQ(seek_location(200, 0, SEEK_SET), 0);
  EXPECT_EQ(read_some(200, 3), "012");
}

TEST_F(StreamTest, LocationWithSchemeSeparatorIsNeverAFile) {
  ASSERT_EQ(mkdir((dir_.path() + "/x:").c_str(), 0755), 0);
  int fd = open((dir_.path() + "/x:/y").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(access((dir_.path() + "/x://y").c_str(), F_OK), 0);  // the file system would find it

  set_network_disabled(true);
  EXPECT_EQ(open_location((dir_.path() + "/x://y").c_str(), O_RDONLY, 0), -1);
}

TEST_F(StreamTest, UrlsThatCannotConnectGiveMinusOne) {
  set_network_disabled(true);
  EXPECT_EQ(open_location("http://127.0.0.1:1/x.mrt", O_RDONLY, 0), -1);
  EXPECT_EQ(open_location("ftp://127.0.0.1:1/x.mrt", O_WRONLY, 0), -1);
  EXPECT_EQ(open_location("gopher://127.0.0.1:1/", O_RDONLY, 0), -1);
}

TEST_F(StreamTest, NetworkSwitch) {
  EXPECT_FALSE(network_disabled());
  EXPECT_EQ(network_init(), 0);
  EXPECT_FALSE(network_disabled());
  set_network_disabled(true);
  EXPECT_EQ(network_init(), 0);  // once only: does not touch the switch again
  EXPECT_TRUE(network_disabled());
  set_network_disabled(false);
  EXPECT_FALSE(network_disabled());
}

// ---- seek_location on files and pipes ---------------------------------

TEST_F(StreamTest, RegularFileSeeksAreTrueSeeks) {
  int fd = track(open_location(file_.c_str(), O_RDONLY, 0));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(seek_location(fd, 10, SEEK_SET), 10);
  EXPECT_EQ(read_some(fd, 1), "a");
  EXPECT_EQ(seek_location(fd, 5, SEEK_CUR), 16);
  EXPECT_EQ(read_some(fd, 1), "g");
  EXPECT_EQ(seek_location(fd, -6, SEEK_END), static_cast<int64_t>(kContent.size()) - 6);
  EXPECT_EQ(read_some(fd, 1), "u");
  EXPECT_EQ(seek_location(fd, 0, SEEK_SET), 0);
  EXPECT_EQ(seek_location(fd, -1, SEEK_SET), -1);
  EXPECT_EQ(seek_location(fd, 1000, SEEK_SET), 1000);  // past the end, as lseek allows
}

TEST_F(StreamTest, PipeRefusesAbsoluteSeeks) {
  int p[2];
  make_pipe(p);
  write_all(p[1], kContent);
  EXPECT_EQ(seek_location(p[0], 0, SEEK_SET), -1);
  EXPECT_EQ(seek_location(p[0], 0, SEEK_CUR), -1);
  EXPECT_EQ(seek_location(p[0], -3, SEEK_CUR), -1);
  EXPECT_EQ(seek_location(p[0], 0, SEEK_END), -1);
  EXPECT_EQ(read_some(p[0], 2), "01");  // nothing was consumed
}

TEST_F(StreamTest, PipeSkipsForwardByReading) {
  int p[2];
  make_pipe(p);
  write_all(p[1], kContent);
  EXPECT_EQ(seek_location(p[0], 10, SEEK_CUR), 11);
  EXPECT_EQ(read_some(p[0], 1), "a");
}

TEST_F(StreamTest, PipeSkipPastTheEndStillGivesOffsetPlusOne) {
  int p[2];
  make_pipe(p);
  write_all(p[1], "wxyz");
  close(p[1]);
  fds_.erase(std::find(fds_.begin(), fds_.end(), p[1]));
  EXPECT_EQ(seek_location(p[0], 10, SEEK_CUR), 11);
  EXPECT_EQ(read_some(p[0], 1), "");
}

TEST_F(StreamTest, LongSkipCrossesScratchBuffers) {
  int p[2];
  make_pipe(p);
  std::string data(5000, 'a');
  data += "END";
  std::thread writer([&] { write_all(p[1], data); });
  EXPECT_EQ(seek_location(p[0], 5000, SEEK_CUR), 5001);
  writer.join();
  EXPECT_EQ(read_some(p[0], 3), "END");
}

TEST_F(StreamTest, BadDescriptor) {
  EXPECT_EQ(seek_location(-1, 0, SEEK_SET), -1);
  EXPECT_EQ(seek_location(1000, 0, SEEK_SET), -1);
}

// ---- seek_location on network streams -----------------------------------

TEST_F(StreamTest, SocketWithoutRecordRefusesAbsoluteSeeks) {
  int sv[2];
  socket_pair(sv);
  write_all(sv[1], kContent);
  EXPECT_EQ(seek_location(sv[0], 0, SEEK_SET), -1);
  EXPECT_EQ(seek_location(sv[0], 5, SEEK_SET), -1);
  EXPECT_EQ(seek_location(sv[0], -5, SEEK_SET), -1);
  EXPECT_EQ(read_some(sv[0], 2), "01");
}

TEST_F(StreamTest, SocketRelativeAndEndSeeksAreRefusedWithoutReading) {
  int peer = socket_at(201);
  reopen_record_set(201, file_.c_str(), O_RDONLY, 0);
  write_all(peer, "peer");
  EXPECT_EQ(seek_location(201, 0, SEEK_CUR), -1);
  EXPECT_EQ(seek_location(201, -3, SEEK_CUR), -1);
  EXPECT_EQ(seek_location(201, -8, SEEK_END), -1);
  EXPECT_EQ(seek_location(201, 0, SEEK_END), -1);
  EXPECT_TRUE(is_socket(201));
  EXPECT_EQ(read_some(201, 4), "peer");
}

TEST_F(StreamTest, SocketSkipsForwardByReading) {
  int sv[2];
  socket_pair(sv);
  write_all(sv[1], kContent);
  EXPECT_EQ(seek_location(sv[0], 10, SEEK_CUR), 11);
  EXPECT_EQ(read_some(sv[0], 1), "a");

  int other[2];
  socket_pair(other);
  write_all(other[1], "abcd");
  shutdown(other[1], SHUT_WR);
  EXPECT_EQ(seek_location(other[0], 10, SEEK_CUR), 11);
  EXPECT_EQ(read_some(other[0], 1), "");
}

TEST_F(StreamTest, OpenedPathRecordReopensOnAbsoluteSeek) {
  // open_location records the path for its descriptor; a socket later
  // found on that number re-opens the path.
  int fd = open_location(file_.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  ASSERT_LT(fd, 256);
  close(fd);
  int peer = socket_at(fd);
  write_all(peer, "from the socket");

  EXPECT_EQ(seek_location(fd, 0, SEEK_SET), 0);
  EXPECT_FALSE(is_socket(fd));  // the fresh stream sits on the same number
  EXPECT_EQ(read_some(fd, 3), "012");
}

TEST_F(StreamTest, NetworkAbsoluteSeekResults) {
  int peer = socket_at(202);
  (void)peer;
  reopen_record_set(202, file_.c_str(), O_RDONLY, 0);

  EXPECT_EQ(seek_location(202, 7, SEEK_SET), 8);  // re-opened, 7 bytes consumed
  EXPECT_EQ(read_some(202, 1), "7");

  socket_at(202);
  EXPECT_EQ(seek_location(202, -5, SEEK_SET), -4);
  EXPECT_EQ(read_some(202, 1), "0");

  socket_at(202);
  EXPECT_EQ(seek_location(202, 100, SEEK_SET), 101);  // past the end: still offset + 1
  EXPECT_EQ(read_some(202, 1), "");
}

TEST_F(StreamTest, WritableStreamsAreNeverReopened) {
  for (int flags : {O_WRONLY, O_RDWR, O_WRONLY | O_CREAT | O_TRUNC}) {
    int peer = socket_at(203);
    reopen_record_set(203, file_.c_str(), flags, 0644);
    EXPECT_EQ(seek_location(203, 0, SEEK_SET), -1) << flags;
    EXPECT_TRUE(is_socket(203));
    write_all(peer, "x");
    EXPECT_EQ(read_some(203, 1), "x");
  }
}

TEST_F(StreamTest, FailedReopenLeavesTheDescriptor) {
  int peer = socket_at(204);
  reopen_record_set(204, (dir_.path() + "/gone").c_str(), O_RDONLY, 0);
  EXPECT_EQ(seek_location(204, 0, SEEK_SET), -1);
  EXPECT_TRUE(is_socket(204));
  write_all(peer, "still");
  EXPECT_EQ(read_some(204, 5), "still");

  set_network_disabled(true);
  reopen_record_set(204, "http://127.0.0.1:1/x", O_RDONLY, 0);
  EXPECT_EQ(seek_location(204, 0, SEEK_SET), -1);
  EXPECT_TRUE(is_socket(204));
}

TEST_F(StreamTest, RecordsBeyondTheTableAreIgnored) {
  reopen_record_set(300, file_.c_str(), O_RDONLY, 0);
  reopen_record_set(-1, file_.c_str(), O_RDONLY, 0);
  int sv[2];
  socket_pair(sv);
  int high = fcntl(sv[0], F_DUPFD, 300);
  ASSERT_GE(high, 300);
  track(high);
  EXPECT_EQ(seek_location(high, 0, SEEK_SET), -1);
}

TEST_F(StreamTest, ResetEmptiesTheTable) {
  socket_at(205);
  reopen_record_set(205, file_.c_str(), O_RDONLY, 0);
  reopen_table_reset();
  EXPECT_EQ(seek_location(205, 0, SEEK_SET), -1);
}

TEST_F(StreamTest, LaterRecordReplacesEarlierOne) {
  std::string second = dir_.path() + "/second";
  int fd = open(second.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  write_all(fd, "SECOND");
  close(fd);
  socket_at(206);
  reopen_record_set(206, file_.c_str(), O_RDONLY, 0);
  reopen_record_set(206, second.c_str(), O_RDONLY, 0);
  EXPECT_EQ(seek_location(206, 0, SEEK_SET), 0);
  EXPECT_EQ(read_some(206, 6), "SECOND");
}

// ---- read_full ----------------------------------------------------------

TEST_F(StreamTest, ReadFullSizeZeroReadsNothing) {
  int p[2];
  make_pipe(p);
  write_all(p[1], "abc");
  char buf[4] = {'-', '-', '-', '-'};
  EXPECT_EQ(read_full(p[0], buf, 0), 0);
  EXPECT_EQ(buf[0], '-');
  EXPECT_EQ(read_some(p[0], 3), "abc");
  EXPECT_EQ(read_full(-1, buf, 0), 0);  // not even a bad descriptor is touched
}

TEST_F(StreamTest, ReadFullShortCountAtEnd) {
  int p[2];
  make_pipe(p);
  write_all(p[1], "abc");
  close(p[1]);
  fds_.erase(std::find(fds_.begin(), fds_.end(), p[1]));
  char buf[8] = {};
  EXPECT_EQ(read_full(p[0], buf, 8), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(read_full(p[0], buf, 8), 0);
}

TEST_F(StreamTest, ReadFullCollectsPieces) {
  int sv[2];
  socket_pair(sv);
  std::thread writer([&] {
    for (int i = 0; i < 5; ++i) {
      write_all(sv[1], std::string(100, static_cast<char>('a' + i)));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::string buf(500, '\0');
  EXPECT_EQ(read_full(sv[0], buf.data(), 500), 500);
  writer.join();
  EXPECT_EQ(buf.substr(0, 100), std::string(100, 'a'));
  EXPECT_EQ(buf.substr(400), std::string(100, 'e'));
}

TEST_F(StreamTest, ReadFullReturnsTheFailingRead) {
  int fd = track(open(file_.c_str(), O_WRONLY));
  ASSERT_GE(fd, 0);
  char buf[8];
  EXPECT_EQ(read_full(fd, buf, 8), -1);
  EXPECT_EQ(read_full(-1, buf, 8), -1);
}

void ignore_signal(int) {}

TEST_F(StreamTest, ReadFullRetriesInterruptedReads) {
  struct sigaction action = {};
  struct sigaction old = {};
  action.sa_handler = ignore_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read fails with EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);

  int p[2];
  make_pipe(p);
  pthread_t reader = pthread_self();
  std::thread helper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pthread_kill(reader, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    write_all(p[1], "late");
  });
  char buf[4];
  EXPECT_EQ(read_full(p[0], buf, 4), 4);
  helper.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(std::string(buf, 4), "late");
}

}  // namespace
}  // namespace mirt
