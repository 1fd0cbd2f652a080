// Reading side of the container, shared by the decompressor and the
// statistics report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirt {

// Download locations a container names; further entries are dropped.
inline constexpr size_t kMaxLocations = 256;

struct ContainerHeader {
  int8_t version[3] = {0, 0, 0};
  int32_t packed_version = 0;
  bool old_layout = false;
  uint64_t uncompressed_size = 0;
  uint32_t block_count = 0;
  uint32_t block_size = 0;
  uint8_t reserved = 0;
  uint32_t ext_length = 0;
  bool complete = false;  // every field could be read

  int header_length() const;
};

// Reads everything after the magic; read failures are reported by read_be.
// With `warn_early` the old-layout warning comes right after the version
// bytes, ahead of any complaint about the fields that follow.
ContainerHeader read_header_fields(int fd, bool warn_early = false);

// Reads exactly `length` bytes, growing the buffer only as data arrives so
// that a hostile length costs nothing. False when the input ends first.
bool read_exactly(int fd, std::vector<uint8_t>& out, uint64_t length);

// Big-endian number of any width; only the low 64 bits are kept.
uint64_t big_endian_value(const std::vector<uint8_t>& bytes);

// The bytes as a C string (up to the first NUL, as they would print).
std::string record_text(const std::vector<uint8_t>& bytes);

// Appends one expanded location per line of the list file at `path`.
// A missing file adds nothing.
void read_location_list(const std::string& path, const char* file_value,
                        std::vector<std::string>& locations);

// Appends an expanded location unless the list is full.
void add_location(const char* tmpl, const char* file_value, std::vector<std::string>& locations);

enum class TrailerResult { kNotSeekable, kFound, kBadMagic };

// Probes whether the input can seek (sockets are never probed, so a
// re-opening seek cannot move them) and, when it can, reads the size
// from the trailer. The position afterwards is unspecified.
TrailerResult read_trailer(int fd, const ContainerHeader& header, uint64_t program_length,
                           uint64_t& size);

// Largest program length we accept; keeps every absolute seek in range.
inline constexpr uint64_t kMaxProgramLength = uint64_t{1} << 56;

// True when the descriptor is a network stream.
bool is_socket(int fd);

}  // namespace mirt
