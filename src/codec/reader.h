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

// Reads everything after the magic, silently: `complete` tells whether
// every field was there. With `warn_early` the old-layout warning comes
// right after the version bytes.
ContainerHeader read_header_fields(int fd, bool warn_early = false);

// A big-endian number of 1 to 8 bytes; false when the input ends first
// or a read fails (nothing is printed).
bool read_number(int fd, int width, uint64_t& value);

// One item of the extension area other than filler. Types 0 and 1 always
// carry four bytes in `value`, whatever their length says; every other
// type carries `length` bytes in `data`.
struct ExtensionRecord {
  uint8_t type = 0;
  uint16_t length = 0;
  uint32_t value = 0;
  std::vector<uint8_t> data;
};

// Walks the extension area of `area_length` bytes, handing each record to
// `visit`, which returns false to stop. Returns false when the input ends
// inside the area (or `visit` stopped the walk).
template <typename Visit>
bool walk_records(int fd, uint32_t area_length, Visit&& visit);
bool read_extension_record(int fd, ExtensionRecord& record, uint64_t& consumed, bool& filler);

// The block list of a container ends either after the number of blocks
// its header counts (a header that was patched in place holds the size)
// or, when the header holds no size, with an end marker and the trailer.
inline bool counted_blocks(const ContainerHeader& header) {
  return header.uncompressed_size != 0;
}
// Blocks needed for `size` plain bytes: every block but the last is full.
uint64_t blocks_for(uint64_t size, uint32_t block_size);

enum class BlockHead { kBlock, kEndMarker, kEndOfInput, kTruncated, kError };
// The algorithm byte and stored length of the next block record.
BlockHead read_block_head(int fd, int width, uint8_t& algorithm, uint32_t& length, int& error);
// What follows an end marker: the rest of the end-of-file magic and the
// size. False when they are not there.
bool read_trailer_rest(int fd, bool old_layout, uint64_t& size);

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

enum class After { kNothing, kContainer, kGarbage, kBadTrailer };
// What follows a container: another one (its magic is consumed), the end
// of the input, or only zero bytes to the end (the padding of tapes and
// block devices), or anything else. A container whose header counts its
// blocks (`counted`, else null) may still end with the end marker and a
// trailer, whose size must then be the header's.
After what_follows(int fd, const ContainerHeader* counted);

// The first four bytes of the input, big-endian; `got` counts them.
uint32_t read_magic(int fd, int32_t& got);

// The offset of a descriptor that can seek and re-read (a regular file or
// a device), or -1.
int64_t seekable_position(int fd);

template <typename Visit>
bool walk_records(int fd, uint32_t area_length, Visit&& visit) {
  uint64_t consumed = 0;
  ExtensionRecord record;
  while (consumed < area_length) {
    bool filler = false;
    if (!read_extension_record(fd, record, consumed, filler)) return false;
    if (!filler && !visit(record)) return false;
  }
  return true;
}

}  // namespace mirt
