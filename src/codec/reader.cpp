#include "codec/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "codec/format.h"
#include "codec/tables.h"
#include "common/diag.h"
#include "common/io.h"
#include "common/text.h"
#include "location/stream.h"
#include "location/template.h"

namespace mirt {

int ContainerHeader::header_length() const {
  return old_layout ? kOldHeaderLength : kHeaderLength;
}

bool read_number(int fd, int width, uint64_t& value) {
  uint8_t bytes[8];
  if (width < 1 || width > 8 || read_full(fd, bytes, static_cast<uint32_t>(width)) != width)
    return false;
  value = 0;
  for (int i = 0; i < width; ++i) value = value << 8 | bytes[i];
  return true;
}

namespace {

template <typename T>
bool read_field(int fd, int width, T& field) {
  uint64_t value = 0;
  if (!read_number(fd, width, value)) return false;
  field = static_cast<T>(value);
  return true;
}

}  // namespace

ContainerHeader read_header_fields(int fd, bool warn_early) {
  ContainerHeader h;
  uint8_t version[3] = {0, 0, 0};
  bool ok = read_full(fd, version, 3) == 3;
  for (int i = 0; i < 3; ++i) h.version[i] = static_cast<int8_t>(version[i]);
  // Each byte is taken as signed, so a byte of 128 or more gives a
  // negative version and the old layout.
  h.packed_version = static_cast<int32_t>(h.version[0]) * 65536 |
                     static_cast<int32_t>(h.version[1]) * 256 |
                     static_cast<int32_t>(h.version[2]);
  h.old_layout = h.packed_version <= kOldLayoutVersion;
  if (warn_early && h.old_layout) std::fputs(kOldHeaderWarning, stderr);
  // Stop at the first missing field: nothing after it means anything.
  ok = ok && read_field(fd, h.old_layout ? 4 : 8, h.uncompressed_size);
  ok = ok && read_field(fd, 4, h.block_count);
  ok = ok && read_field(fd, 4, h.block_size);
  ok = ok && read_field(fd, 1, h.reserved);
  ok = ok && read_field(fd, 4, h.ext_length);
  h.complete = ok;
  return h;
}

bool read_extension_record(int fd, ExtensionRecord& record, uint64_t& consumed, bool& filler) {
  if (!read_field(fd, 1, record.type)) return false;
  filler = record.type == kFillerByte;
  if (filler) {
    consumed += 1;
    return true;
  }
  if (!read_field(fd, 2, record.length)) return false;
  consumed += uint64_t{record.length} + 3;
  record.data.clear();
  if (record.type == kRecordCompressedSum || record.type == kRecordPlainSum)
    return read_field(fd, 4, record.value);
  return read_exactly(fd, record.data, record.length);
}

uint64_t blocks_for(uint64_t size, uint32_t block_size) {
  return size / block_size + (size % block_size != 0 ? 1 : 0);
}

BlockHead read_block_head(int fd, int width, uint8_t& algorithm, uint32_t& length, int& error) {
  const ssize_t n = read_some(fd, &algorithm, 1);
  if (n == 0) return BlockHead::kEndOfInput;
  if (n < 0) {
    error = errno != 0 ? errno : EIO;
    return BlockHead::kError;
  }
  if (algorithm == kEndOfBlocks) return BlockHead::kEndMarker;
  return read_field(fd, width, length) ? BlockHead::kBlock : BlockHead::kTruncated;
}

bool read_trailer_rest(int fd, bool old_layout, uint64_t& size) {
  uint64_t magic_rest = 0;
  return read_number(fd, 3, magic_rest) && magic_rest == (kEndOfFileMagic & 0xFFFFFFu) &&
         read_number(fd, old_layout ? 4 : 8, size);
}

bool read_exactly(int fd, std::vector<uint8_t>& out, uint64_t length) {
  constexpr uint64_t kFirstStep = 64 * 1024;
  uint64_t have = 0;
  while (have < length) {
    // Grow geometrically, but never beyond twice what has arrived. A
    // reused buffer keeps its size: growing it again would zero it again.
    uint64_t step = have < kFirstStep ? kFirstStep : have;
    uint64_t want = length - have < step ? length - have : step;
    if (out.size() < have + want) out.resize(have + want);
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
  out.resize(length);
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
    report("%s: not a regular file, ignored.\n", shown_text(path).c_str());
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

uint32_t read_magic(int fd, int32_t& got) {
  uint8_t bytes[4] = {0, 0, 0, 0};
  got = read_full(fd, bytes, sizeof bytes);
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
         bytes[3];
}

After what_follows(int fd, const ContainerHeader* counted) {
  int32_t got = 0;
  const uint32_t magic = read_magic(fd, got);
  if (got == 0) return After::kNothing;
  if (got == 4 && magic == kContainerMagic) return After::kContainer;
  if (got == 4 && magic == kEndOfFileMagic && counted != nullptr) {
    uint64_t size = 0;
    if (!read_number(fd, counted->old_layout ? 4 : 8, size) ||
        size != counted->uncompressed_size)
      return After::kBadTrailer;
    return what_follows(fd, nullptr);
  }
  if (got < 0 || magic != 0) return After::kGarbage;
  std::vector<uint8_t> rest(64 * 1024);
  for (;;) {
    const int32_t n = read_full(fd, rest.data(), static_cast<uint32_t>(rest.size()));
    if (n == 0) return After::kNothing;
    if (n < 0 || std::any_of(rest.data(), rest.data() + n, [](uint8_t b) { return b != 0; }))
      return After::kGarbage;
  }
}

int64_t seekable_position(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) return -1;
  const off_t at = lseek(fd, 0, SEEK_CUR);
  return at < 0 ? -1 : static_cast<int64_t>(at);
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
