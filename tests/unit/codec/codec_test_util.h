// Helpers for the container reader tests: temporary files, pipes and
// captured standard streams.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace mirt::testing {

using Bytes = std::vector<uint8_t>;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/mirt-codec-test-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline void write_text(const std::string& path, const std::string& text) {
  write_file(path, Bytes(text.begin(), text.end()));
}

inline Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string read_text(const std::string& path) {
  Bytes b = read_file(path);
  return std::string(b.begin(), b.end());
}

// A pipe whose read end delivers `data`, fed by a thread so that data
// larger than the pipe buffer works too.
class PipeInput {
 public:
  explicit PipeInput(Bytes data) : data_(std::move(data)) {
    // The reader may stop early; the writer then gets EPIPE, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    read_fd_ = fds[0];
    int w = fds[1];
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
  ~PipeInput() {
    if (read_fd_ >= 0) close(read_fd_);
    writer_.join();
  }
  PipeInput(const PipeInput&) = delete;
  PipeInput& operator=(const PipeInput&) = delete;
  int fd() const { return read_fd_; }

 private:
  Bytes data_;
  int read_fd_ = -1;
  std::thread writer_;
};

// Redirects a standard descriptor into a temporary file while alive.
class Capture {
 public:
  explicit Capture(int target) : target_(target) {
    std::fflush(stdout);
    std::fflush(stderr);
    char tmpl[] = "/tmp/mirt-capture-XXXXXX";
    file_fd_ = mkstemp(tmpl);
    path_ = tmpl;
    saved_ = dup(target_);
    dup2(file_fd_, target_);
  }
  ~Capture() {
    restore();
    unlink(path_.c_str());
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::string text() {
    restore();
    return read_text(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_, target_);
    close(saved_);
    close(file_fd_);
    saved_ = -1;
  }
  int target_;
  int file_fd_ = -1;
  int saved_ = -1;
  std::string path_;
};

inline size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Big-endian bytes of `value`, `width` wide.
inline Bytes be(uint64_t value, int width) {
  Bytes out;
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return out;
}

inline void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

inline Bytes record(uint8_t type, const Bytes& data) {
  Bytes out{type};
  append(out, be(data.size(), 2));
  append(out, data);
  return out;
}

inline Bytes text_record(uint8_t type, const std::string& text) {
  return record(type, Bytes(text.begin(), text.end()));
}

inline Bytes block(uint8_t algorithm, const Bytes& data, int width) {
  Bytes out{algorithm};
  append(out, be(data.size(), width));
  append(out, data);
  return out;
}

// A container assembled field by field; defaults give a current header.
struct ContainerBytes {
  uint8_t version[3] = {0, 8, 42};
  uint64_t size = 0;
  // The count a writer patches in with the size; -1 derives it from them.
  int64_t count = -1;
  uint32_t block_size = 8;
  Bytes ext;
  bool ext_length_given = false;
  uint32_t ext_length = 0;
  Bytes blocks;
  bool trailer = false;
  uint64_t trailer_size = 0;

  bool old_layout() const {
    int32_t packed = static_cast<int8_t>(version[0]) * 65536 |
                     static_cast<int8_t>(version[1]) * 256 | static_cast<int8_t>(version[2]);
    return packed <= 2086;
  }

  Bytes build() const {
    const int size_width = old_layout() ? 4 : 8;
    Bytes out = {0x4D, 0x52, 0x54, 0xC3, version[0], version[1], version[2]};
    append(out, be(size, size_width));
    const uint64_t counted = block_size == 0 ? 0 : (size + block_size - 1) / block_size;
    append(out, be(count >= 0 ? static_cast<uint64_t>(count) : counted, 4));
    append(out, be(block_size, 4));
    out.push_back(0);
    append(out, be(ext_length_given ? ext_length : ext.size(), 4));
    append(out, ext);
    append(out, blocks);
    if (trailer) {
      append(out, {0xFF, 0x3F, 0xDE, 0x08});
      append(out, be(trailer_size, size_width));
    }
    return out;
  }
};

// The 3-byte text "abc" in one 8-byte block, written to a seekable file.
inline Bytes abc_file_container() {
  ContainerBytes c;
  c.size = 3;
  c.count = 1;
  c.ext = text_record(4, "t");
  append(c.ext, record(0, be(0x08100127, 4)));
  append(c.ext, record(1, be(0x08100127, 4)));
  c.blocks = block(0, {'a', 'b', 'c', 0, 0, 0, 0, 0}, 1);
  return c.build();
}

// The same input written to a pipe: no size, filler only, a trailer.
inline Bytes abc_pipe_container() {
  ContainerBytes c;
  c.ext = Bytes(18, 0x0A);
  c.blocks = block(0, {'a', 'b', 'c', 0, 0, 0, 0, 0}, 1);
  c.trailer = true;
  c.trailer_size = 3;
  return c.build();
}

}  // namespace mirt::testing
