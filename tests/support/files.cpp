#include "support/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace mirt::test {

std::string read_to_end(int fd) {
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  return data;
}

std::string read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return std::string();
  std::string data = read_to_end(fd);
  ::close(fd);
  return data;
}

bool write_file(const std::string& path, const std::string& bytes, unsigned mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(put);
  }
  ::fchmod(fd, mode);
  return ::close(fd) == 0;
}

Bytes read_bytes(const std::string& path) {
  const std::string data = read_file(path);
  return Bytes(data.begin(), data.end());
}

bool write_bytes(const std::string& path, const Bytes& bytes, unsigned mode) {
  return write_file(path, std::string(bytes.begin(), bytes.end()), mode);
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

bool file_exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

std::string make_data(size_t size, int kind, unsigned seed) {
  std::string data(size, '\0');
  std::mt19937 random(seed);
  static const char* const kWords[] = {"block ", "stream ", "the ", "container ", "of ",
                                       "header\n", "record ", "data "};
  size_t i = 0;
  while (i < size) {
    if (kind == 0) {
      data[i++] = static_cast<char>(random() & 0xFF);
    } else if (kind == 1) {
      const char* word = kWords[random() % 8];
      for (; *word != '\0' && i < size; ++word) data[i++] = *word;
    } else {
      data[i++] = 'a';
    }
  }
  return data;
}

}  // namespace mirt::test
