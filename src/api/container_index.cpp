// Walking the structure of containers: header, extension records, block
// records, trailer, and what follows each container.
#include "api/container_index.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "api/api.h"
#include "codec/format.h"
#include "codec/reader.h"
#include "codec/tables.h"

namespace mirt::api {
namespace {

// Reads forward through a source, a small window at a time, so that a
// block record's head costs one read and its data none.
class Cursor {
 public:
  Cursor(Source& source, int64_t length) : source_(source), length_(length) {}

  uint64_t position() const { return position_; }
  uint64_t length() const { return static_cast<uint64_t>(length_); }
  bool at_end() const { return position_ >= length(); }
  void skip(uint64_t count) { position_ += count; }
  void seek(uint64_t position) { position_ = position; }

  // Exactly `size` bytes; false at the end of the input (or on an error,
  // which `status` then holds).
  bool bytes(void* out, size_t size) {
    auto* to = static_cast<uint8_t*>(out);
    while (size > 0) {
      if (position_ < window_start_ || position_ >= window_start_ + window_length_) {
        if (!refill()) return false;
      }
      const uint64_t at = position_ - window_start_;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(size, window_length_ - at));
      std::memcpy(to, window_ + at, n);
      to += n;
      size -= n;
      position_ += n;
    }
    return true;
  }

  bool number(int width, uint64_t& value) {
    uint8_t raw[8];
    if (width < 1 || width > 8 || !bytes(raw, static_cast<size_t>(width))) return false;
    value = 0;
    for (int i = 0; i < width; ++i) value = value << 8 | raw[i];
    return true;
  }

  int status = MIRT_OK;

 private:
  bool refill() {
    window_start_ = position_;
    window_length_ = 0;
    const int64_t got = source_.read_at(position_, window_, sizeof window_);
    if (got < 0) status = static_cast<int>(got);
    if (got <= 0) return false;
    window_length_ = static_cast<uint64_t>(got);
    return true;
  }

  Source& source_;
  int64_t length_;
  uint64_t position_ = 0;
  uint8_t window_[4096];
  uint64_t window_start_ = 0;
  uint64_t window_length_ = 0;
};

// One container of the file, from just after its magic.
class ContainerWalk {
 public:
  ContainerWalk(Cursor& cursor, mirt_index& index) : cursor_(cursor), index_(index) {}
  int run();

 private:
  int header();
  int records();
  int blocks();
  int end_of_blocks(bool marker);
  int corrupt(const char* reason) {
    return cursor_.status != MIRT_OK
               ? cursor_.status
               : fail(MIRT_ERROR_CORRUPT, std::string("corrupt file (") + reason + ")");
  }

  Cursor& cursor_;
  mirt_index& index_;
  ContainerHeader header_;
  IndexedContainer container_;
  uint64_t read_ = 0;  // block records so far
};

int ContainerWalk::run() {
  int status = header();
  if (status == MIRT_OK) status = records();
  if (status == MIRT_OK) status = blocks();
  if (status != MIRT_OK) return status;
  index_.size += container_.size;
  index_.containers.push_back(container_);
  return MIRT_OK;
}

int ContainerWalk::header() {
  uint8_t version[3];
  ContainerHeader& h = header_;
  bool ok = cursor_.bytes(version, 3);
  for (int i = 0; i < 3; ++i) h.version[i] = static_cast<int8_t>(version[i]);
  h.packed_version = h.version[0] * 65536 | h.version[1] * 256 | h.version[2];
  h.old_layout = h.packed_version <= kOldLayoutVersion;
  uint64_t count = 0, size = 0, reserved = 0, area = 0;
  ok = ok && cursor_.number(h.old_layout ? 4 : 8, h.uncompressed_size);
  ok = ok && cursor_.number(4, count) && cursor_.number(4, size);
  ok = ok && cursor_.number(1, reserved) && cursor_.number(4, area);
  if (!ok) return corrupt("truncated header");
  h.block_count = static_cast<uint32_t>(count);
  h.block_size = static_cast<uint32_t>(size);
  h.ext_length = static_cast<uint32_t>(area);
  if (h.block_size == 0 || h.block_size > kMaxBlockSize) return corrupt("bad block size");
  if (counted_blocks(h) && blocks_for(h.uncompressed_size, h.block_size) != h.block_count)
    return corrupt("size and block count disagree");
  container_.plain_offset = index_.size;
  container_.block_size = h.block_size;
  container_.first_block = index_.blocks.size();
  container_.old_layout = h.old_layout;
  container_.size = h.uncompressed_size;
  return MIRT_OK;
}

// Only a cipher matters here: its state runs through the blocks in order,
// so they cannot be read apart.
int ContainerWalk::records() {
  uint64_t consumed = 0;
  while (consumed < header_.ext_length) {
    uint64_t type = 0, length = 0;
    if (!cursor_.number(1, type)) return corrupt("truncated header");
    if (type == kFillerByte) {
      ++consumed;
      continue;
    }
    if (!cursor_.number(2, length)) return corrupt("truncated header");
    consumed += length + 3;
    if (type == kRecordCipher)
      return fail(MIRT_ERROR_UNSUPPORTED, "the container is encrypted: its blocks cannot be read apart");
    // The checksum records are read as four bytes whatever they claim.
    cursor_.skip(type == kRecordCompressedSum || type == kRecordPlainSum ? 4 : length);
    if (cursor_.position() > cursor_.length()) return corrupt("truncated header");
  }
  return MIRT_OK;
}

int ContainerWalk::blocks() {
  const uint32_t block_size = header_.block_size;
  const int width = length_field_width(block_size);
  for (;;) {
    if (counted_blocks(header_) && read_ == header_.block_count) return end_of_blocks(false);
    uint64_t algorithm = 0, length = 0;
    if (!cursor_.number(1, algorithm)) {
      if (cursor_.status != MIRT_OK) return cursor_.status;
      if (counted_blocks(header_) && read_ == 0) return corrupt("the data is not in the file");
      return corrupt("data ends early");
    }
    if (algorithm == kEndOfBlocks) return end_of_blocks(true);
    if (!cursor_.number(width, length)) return corrupt("truncated block");
    if (length > uint64_t{block_size} * 2) return corrupt("stored length too large");
    const uint64_t offset = cursor_.position();
    cursor_.skip(length);
    if (cursor_.position() > cursor_.length()) return corrupt("truncated block");
    index_.blocks.push_back({offset, static_cast<uint32_t>(length),
                             static_cast<uint32_t>(index_.containers.size()),
                             static_cast<uint8_t>(algorithm)});
    ++read_;
  }
}

// After the last counted block an end marker and trailer may still
// follow; without a count the marker is required and the trailer gives
// the size.
int ContainerWalk::end_of_blocks(bool marker) {
  if (!marker) {
    const uint64_t at = cursor_.position();
    uint64_t next = 0;
    if (!cursor_.number(1, next) || next != kEndOfBlocks) {
      if (cursor_.status != MIRT_OK) return cursor_.status;
      cursor_.seek(at);
      return MIRT_OK;
    }
  }
  uint64_t magic_rest = 0, size = 0;
  if (!cursor_.number(3, magic_rest) || magic_rest != (kEndOfFileMagic & 0xFFFFFFu) ||
      !cursor_.number(header_.old_layout ? 4 : 8, size))
    return corrupt("data ends early");
  if (counted_blocks(header_))
    return size == header_.uncompressed_size ? MIRT_OK : corrupt("size does not match the blocks");
  if (read_ == 0 && size > 0) return corrupt("the data is not in the file");
  if (blocks_for(size, header_.block_size) != read_) return corrupt("size does not match the blocks");
  container_.size = size;
  return MIRT_OK;
}

// What follows a container: nothing, another container (its magic is
// then read), zero bytes to the end (the padding of tapes), or garbage.
enum class Next { kEnd, kContainer, kGarbage };

Next what_follows(Cursor& cursor) {
  if (cursor.at_end()) return Next::kEnd;
  const uint64_t at = cursor.position();
  uint64_t magic = 0;
  if (cursor.number(4, magic) && magic == kContainerMagic) return Next::kContainer;
  cursor.seek(at);
  uint8_t chunk[4096];
  while (!cursor.at_end()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, cursor.length() - cursor.position()));
    if (!cursor.bytes(chunk, n)) return Next::kGarbage;
    if (std::any_of(chunk, chunk + n, [](uint8_t b) { return b != 0; })) return Next::kGarbage;
  }
  return Next::kEnd;
}

}  // namespace

int build_index(Source& source, mirt_index& index) {
  const int64_t length = source.length();
  if (length < 0) return static_cast<int>(length);
  Cursor cursor(source, length);
  uint64_t magic = 0;
  if (!cursor.number(4, magic) || magic != kContainerMagic) {
    if (cursor.status != MIRT_OK) return cursor.status;
    return fail(MIRT_ERROR_FORMAT, "not a compressed file");
  }
  for (;;) {
    ContainerWalk walk(cursor, index);
    const int status = walk.run();
    if (status != MIRT_OK) return status;
    switch (what_follows(cursor)) {
      case Next::kContainer:
        continue;
      case Next::kEnd:
        return MIRT_OK;
      case Next::kGarbage:
        if (cursor.status != MIRT_OK) return cursor.status;
        return fail(MIRT_ERROR_CORRUPT, "trailing garbage after the compressed data");
    }
  }
}

}  // namespace mirt::api

uint64_t mirt_index::plain_offset(uint64_t b) const {
  const mirt::api::IndexedContainer& c = container_of(b);
  return c.plain_offset + (b - c.first_block) * c.block_size;
}

uint64_t mirt_index::plain_length(uint64_t b) const {
  const mirt::api::IndexedContainer& c = container_of(b);
  const uint64_t start = (b - c.first_block) * c.block_size;
  return std::min<uint64_t>(c.block_size, c.size - start);
}

uint64_t mirt_index::find(uint64_t offset) const {
  if (offset >= size) return blocks.size();
  // The last container that starts at or before the offset.
  auto c = std::upper_bound(containers.begin(), containers.end(), offset,
                            [](uint64_t at, const mirt::api::IndexedContainer& container) {
                              return at < container.plain_offset;
                            });
  // Empty containers share their offset with the next; skip to one with data.
  --c;
  while (c->size == 0) ++c;
  return c->first_block + (offset - c->plain_offset) / c->block_size;
}
