#include "cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "cli/signals.h"
#include "common/diag.h"
#include "location/stream.h"
#include "location/url.h"

namespace mirt {
namespace {

// ".NAME.XXXXXX" next to NAME: hidden, and plainly not the finished file.
std::string temporary_pattern(const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : name.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  return directory + "." + base + ".XXXXXX";
}

mode_t process_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// The input's permission bits without set-user-ID, set-group-ID and
// sticky; group bits only when the output could be given the input's
// group (otherwise they would open it to another group).
mode_t mode_for(int fd, const struct stat* source) {
  if (source == nullptr) return 0644 & ~process_umask();
  mode_t mode = source->st_mode & 0777;
  if (::fchown(fd, source->st_uid, source->st_gid) != 0) (void)::fchown(fd, -1, source->st_gid);
  struct stat now {};
  if (::fstat(fd, &now) != 0 || now.st_gid != source->st_gid) mode &= ~mode_t{070};
  return mode;
}

}  // namespace

OutputFile::~OutputFile() { discard(); }

int OutputFile::open(const std::string& name) {
  name_ = name;
  if (is_url(name)) {
    fd_ = open_location(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return fd_ < 0 ? fd_ : 0;
  }
  std::string pattern = temporary_pattern(name);
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  // Created exclusively and never through a symbolic link.
  fd_ = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd_ < 0) return -errno;
  temporary_ = path.data();
  watch_partial_output(temporary_);
  return 0;
}

bool OutputFile::commit(const struct stat* source) {
  if (fd_ < 0) return false;
  bool ok = true;
  if (!temporary_.empty()) {
    if (::fchmod(fd_, mode_for(fd_, source)) != 0) {
      report_system_error("chmod", errno);
      ok = false;
    }
    if (ok && source != nullptr) {
      const struct timespec times[2] = {source->st_atim, source->st_mtim};
      if (::futimens(fd_, times) != 0) {
        report_system_error("utime", errno);
        ok = false;
      }
    }
  }
  if (::close(fd_) != 0 && ok) {
    report_system_error("close", errno);
    ok = false;
  }
  fd_ = -1;
  if (ok && !temporary_.empty() && ::rename(temporary_.c_str(), name_.c_str()) != 0) {
    report_system_error("rename", errno);
    ok = false;
  }
  if (!ok) {
    discard();
    return false;
  }
  temporary_.clear();
  unwatch_partial_output();
  return true;
}

void OutputFile::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
    unwatch_partial_output();
  }
}

}  // namespace mirt
