// Standard streams and pipes for tests that call the program's functions
// in process.
#pragma once

#include <string>
#include <thread>

#include "support/files.h"

namespace mirt::test {

// Redirects descriptor `target` (1 or 2) into a temporary file while alive.
class Capture {
 public:
  explicit Capture(int target);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Everything written since the capture started; ends the capture.
  std::string text();

 private:
  void restore();
  int target_;
  int file_fd_ = -1;
  int saved_ = -1;
  std::string path_;
};

// Standard input read from `path` while alive; what is left unread is
// drained before the old input comes back.
class StdinFrom {
 public:
  explicit StdinFrom(const std::string& path);
  ~StdinFrom();
  StdinFrom(const StdinFrom&) = delete;
  StdinFrom& operator=(const StdinFrom&) = delete;

 private:
  int saved_;
};

// A pipe whose read end delivers `data`, fed by a thread so that data
// larger than the pipe buffer works too. SIGPIPE is ignored from then on:
// a reader that stops early gives the writer EPIPE instead.
class PipeInput {
 public:
  explicit PipeInput(Bytes data);
  ~PipeInput();
  PipeInput(const PipeInput&) = delete;
  PipeInput& operator=(const PipeInput&) = delete;
  int fd() const { return read_fd_; }

 private:
  Bytes data_;
  int read_fd_ = -1;
  std::thread writer_;
};

// A pipe whose write end is handed to the code under test; a thread
// collects everything that arrives until finish().
class PipeOutput {
 public:
  PipeOutput();
  ~PipeOutput() { finish(); }
  PipeOutput(const PipeOutput&) = delete;
  PipeOutput& operator=(const PipeOutput&) = delete;
  int fd() const { return write_fd_; }
  // Closes the write end and gives what arrived.
  Bytes finish();

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
  std::thread reader_;
  Bytes data_;
};

}  // namespace mirt::test
