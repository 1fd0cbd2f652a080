#include "location/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "common/diag.h"
#include "common/io.h"
#include "location/schemes.h"
#include "location/url.h"

namespace mirt {
namespace {

constexpr int kReopenSlots = 256;

// What is known of each descriptor a location was opened on: how to open
// it again, and the body length its server announced. The announcement
// keeps the stream's identity, so a number reused for something else is
// not mistaken for it.
struct ReopenRecord {
  bool used = false;
  std::string location_copy;
  int32_t open_flags = 0;
  uint16_t create_mode = 0;
  int64_t announced_length = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

ReopenRecord g_reopen[kReopenSlots];

std::string g_failure_reason;

// Sockets have the file type 0xC000; the test also admits the whiteout type.
bool is_network_stream(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;  // lseek will report the bad descriptor
  return static_cast<uint16_t>(st.st_mode) >= 0xC000;
}

// Reads and discards `offset` bytes (fewer at end of stream or on an
// error). The result is offset + 1 in every case, which tells callers that
// asked for an absolute position that they did not get a true seek.
int64_t skip_by_reading(int fd, int64_t offset) {
  char scratch[1024];
  int64_t left = offset;
  while (left > 0) {
    size_t want = left < static_cast<int64_t>(sizeof scratch) ? static_cast<size_t>(left)
                                                               : sizeof scratch;
    const ssize_t got = read_some(fd, scratch, want);
    if (got <= 0) break;
    left -= got;
  }
  return static_cast<int64_t>(static_cast<uint64_t>(offset) + 1);
}

}  // namespace

void reopen_record_set(int fd, const char* location, int flags, int mode) {
  if (fd < 0 || fd >= kReopenSlots || location == nullptr) return;
  ReopenRecord& record = g_reopen[fd];
  record.location_copy = location;
  record.open_flags = flags;
  record.create_mode = static_cast<uint16_t>(mode);
  record.used = true;
}

void announce_length(int fd, int64_t length) {
  if (fd < 0 || fd >= kReopenSlots) return;
  ReopenRecord& record = g_reopen[fd];
  struct stat info;
  if (length < 0 || fstat(fd, &info) != 0) {
    record.announced_length = -1;
    return;
  }
  record.announced_length = length;
  record.device = info.st_dev;
  record.inode = info.st_ino;
}

int64_t expected_length(int fd) {
  if (fd < 0 || fd >= kReopenSlots || g_reopen[fd].announced_length < 0) return -1;
  const ReopenRecord& record = g_reopen[fd];
  struct stat info;
  if (fstat(fd, &info) != 0 || info.st_dev != record.device || info.st_ino != record.inode)
    return -1;
  return record.announced_length;
}

void reopen_table_reset() {
  for (ReopenRecord& record : g_reopen) record = ReopenRecord{};
}

const char* open_failure_reason() {
  return g_failure_reason.empty() ? nullptr : g_failure_reason.c_str();
}

void set_open_failure_reason(std::string reason) { g_failure_reason = std::move(reason); }

void report_open_failure(int result) {
  if (const char* reason = open_failure_reason())
    report("open: %s\n", reason);
  else
    report_system_error("open", result);
}

int open_location(const char* location, int flags, int mode) {
  g_failure_reason.clear();
  if (location == nullptr) return -EINVAL;
  UrlParts parts;
  if (parse_url(location, parts) == 1) {
    int fd = open(location, flags, static_cast<mode_t>(static_cast<uint16_t>(mode)));
    if (fd < 0) return -errno;
    reopen_record_set(fd, location, flags, mode);
    return fd;
  }
  // The URL layer writes the record for the descriptor it hands back.
  return open_url(location, parts, flags, mode);
}

int64_t seek_location(int fd, int64_t offset, int whence) {
  if (!is_network_stream(fd)) {
    off_t result = lseek(fd, static_cast<off_t>(offset), whence);
    if (whence == SEEK_CUR && offset > 0 && result < 0) return skip_by_reading(fd, offset);
    return result;
  }
  if (whence == SEEK_CUR && offset > 0) return skip_by_reading(fd, offset);
  if (whence != SEEK_SET) return -1;

  if (fd < 0 || fd >= kReopenSlots || !g_reopen[fd].used) return -1;
  // A stream that stores data is never opened a second time.
  if (g_reopen[fd].open_flags & (O_WRONLY | O_RDWR)) return -1;

  // Copied: the nested open may rewrite records.
  const std::string location = g_reopen[fd].location_copy;
  int fresh = open_location(location.c_str(), g_reopen[fd].open_flags, g_reopen[fd].create_mode);
  if (fresh < 0) return -1;
  if (fresh != fd) {
    int moved;
    do {
      moved = dup2(fresh, fd);
    } while (moved < 0 && errno == EINTR);
    close(fresh);
    if (moved < 0) return -1;
  }

  if (offset == 0) return 0;
  if (offset > 0) return skip_by_reading(fd, offset);
  return offset + 1;
}

}  // namespace mirt
