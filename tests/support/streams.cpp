#include "support/streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace mirt::test {

Capture::Capture(int target) : target_(target) {
  std::fflush(stdout);
  std::fflush(stderr);
  char tmpl[] = "/tmp/mirt-capture-XXXXXX";
  file_fd_ = mkstemp(tmpl);
  path_ = tmpl;
  saved_ = dup(target_);
  if (file_fd_ < 0 || saved_ < 0 || dup2(file_fd_, target_) < 0) std::abort();
}

Capture::~Capture() {
  restore();
  unlink(path_.c_str());
}

std::string Capture::text() {
  restore();
  return read_file(path_);
}

void Capture::restore() {
  if (saved_ < 0) return;
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_, target_);
  close(saved_);
  close(file_fd_);
  saved_ = -1;
}

StdinFrom::StdinFrom(const std::string& path) {
  saved_ = dup(0);
  int fd = open(path.c_str(), O_RDONLY);
  dup2(fd, 0);
  close(fd);
  clearerr(stdin);
}

StdinFrom::~StdinFrom() {
  while (std::fgetc(stdin) != EOF) {
  }
  dup2(saved_, 0);
  close(saved_);
  clearerr(stdin);
}

PipeInput::PipeInput(Bytes data) : data_(std::move(data)) {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  read_fd_ = fds[0];
  const int w = fds[1];
  writer_ = std::thread([this, w] {
    size_t done = 0;
    while (done < data_.size()) {
      ssize_t n = write(w, data_.data() + done, data_.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(w);
  });
}

PipeInput::~PipeInput() {
  if (read_fd_ >= 0) close(read_fd_);
  writer_.join();
}

PipeOutput::PipeOutput() {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  reader_ = std::thread([this] {
    uint8_t buf[65536];
    ssize_t n;
    while ((n = read(read_fd_, buf, sizeof buf)) > 0) data_.insert(data_.end(), buf, buf + n);
  });
}

Bytes PipeOutput::finish() {
  if (write_fd_ >= 0) {
    close(write_fd_);
    write_fd_ = -1;
    reader_.join();
    close(read_fd_);
  }
  return data_;
}

}  // namespace mirt::test
