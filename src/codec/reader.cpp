#include "codec/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "codec/format.h"
#include "common/diag.h"
#include "location/stream.h"
#include "location/template.h"

namespace mirt {

int ContainerHeader::header_length() const {
  return old_layout ? kOldHeaderLength : kHeaderLength;
}

ContainerHeader read_header_fields(int fd, bool warn_early) {
  ContainerHeader h;
  bool ok = true;
  for (int i = 0; i < 3; ++i) {
    uint8_t b = 0;
    ok = read_be(fd, &b, 1, 1) == 1 && ok;
    h.version[i] = static_cast<int8_t>(b);
  }
  // Each byte is taken as signed, so a byte of 128 or more gives a
  // negative version and the old layout.
  h.packed_version = static_cast<int32_t>(h.version[0]) * 65536 |
                     static_cast<int32_t>(h.version[1]) * 256 |
                     static_cast<int32_t>(h.version[2]);
  h.old_layout = h.packed_version <= kOldLayoutVersion;
  if (warn_early && h.old_layout) std::fputs(kOldHeaderWarning, stderr);
  ok = read_be(fd, &h.uncompressed_size, h.old_layout ? 4 : 8, 8) > 0 && ok;
  ok = read_be(fd, &h.block_count, 4, 4) > 0 && ok;
  ok = read_be(fd, &h.block_size, 4, 4) > 0 && ok;
  ok = read_be(fd, &h.reserved, 1, 1) > 0 && ok;
  ok = read_be(fd, &h.ext_length, 4, 4) > 0 && ok;
  h.complete = ok;
  return h;
}

bool read_exactly(int fd, std::vector<uint8_t>& out, uint64_t length) {
  constexpr uint64_t kFirstStep = 64 * 1024;
  out.clear();
  uint64_t have = 0;
  while (have < length) {
    // Grow geometrically, but never beyond twice what has arrived.
    uint64_t step = have < kFirstStep ? kFirstStep : have;
    uint64_t want = length - have < step ? length - have : step;
    out.resize(have + want);
    int32_t got = read_full(fd, out.data() + have, static_cast<uint32_t>(want));
    if (got <= 0) {
      out.resize(have);
      return false;
    }
    have += static_cast<uint64_t>(got);
    if (static_cast<uint64_t>(got) < want) {
      out.resize(have);
      return false;
    }
  }
  return true;
}

uint64_t big_endian_value(const std::vector<uint8_t>& bytes) {
  uint64_t value = 0;
  for (uint8_t b : bytes) value = value << 8 | b;
  return value;
}

std::string record_text(const std::vector<uint8_t>& bytes) {
  std::string text(bytes.begin(), bytes.end());
  return std::string(text.c_str());
}

// Locations come from the container, written by whoever made the file:
// their templates never prompt.
void add_location(const char* tmpl, const char* file_value, std::vector<std::string>& locations) {
  if (locations.size() >= kMaxLocations) return;
  locations.push_back(expand_template(tmpl, file_value, Prompts::kNever));
}

void read_location_list(const std::string& path, const char* file_value,
                        std::vector<std::string>& locations) {
  // The container names the file: a FIFO or a device would block us or
  // read forever, so only a regular file is read. Opening without
  // blocking keeps the open itself from waiting for a FIFO's writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    report("%s: not a regular file, ignored.\n", path.c_str());
    return;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> file(::fdopen(fd, "r"), &std::fclose);
  if (!file) {
    ::close(fd);
    return;
  }
  char line[4096];
  // Stop once the list is full, so an endless file cannot keep us reading.
  while (locations.size() < kMaxLocations && std::fgets(line, 4095, file.get())) {
    // The last line counts even without its newline.
    line[std::strcspn(line, "\n")] = '\0';
    add_location(line, file_value, locations);
  }
}

bool is_socket(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

TrailerResult read_trailer(int fd, const ContainerHeader& header, uint64_t program_length,
                           uint64_t& size) {
  if (is_socket(fd) || program_length > kMaxProgramLength) return TrailerResult::kNotSeekable;
  const int64_t probe = static_cast<int64_t>(program_length) + 1;
  if (seek_location(fd, probe, SEEK_SET) != probe) return TrailerResult::kNotSeekable;
  if (header.old_layout) std::fputs(kOldHeaderWarning, stderr);
  const int size_width = header.old_layout ? 4 : 8;
  uint32_t magic = 0;
  uint64_t value = 0;
  if (seek_location(fd, -(4 + size_width), SEEK_END) < 0 || read_be(fd, &magic, 4, 4) != 4 ||
      magic != kEndOfFileMagic || read_be(fd, &value, size_width, 8) != size_width) {
    size = 0;
    return TrailerResult::kBadMagic;
  }
  size = value;
  return TrailerResult::kFound;
}

}  // namespace mirt
