#include "api/block_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "api/api.h"
#include "codec/format.h"
#include "codec/tables.h"
#include "mirt/module.h"

namespace mirt::api {
namespace {

int corrupt(uint64_t block, const char* reason) {
  return fail(MIRT_ERROR_CORRUPT,
              "corrupt file (block " + std::to_string(block + 1) + ": " + reason + ")");
}

}  // namespace

int64_t BlockReader::read(void* buffer, size_t size, uint64_t offset) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < size && offset + done < index_.size) {
    const uint64_t at = offset + done;
    const uint64_t block = index_.find(at);
    const int status = decode(block);
    if (status != MIRT_OK) return status;
    const uint64_t within = at - index_.plain_offset(block);
    const uint64_t n = std::min<uint64_t>(size - done, index_.plain_length(block) - within);
    std::memcpy(out + done, plain_.get() + within, static_cast<size_t>(n));
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int BlockReader::decode(uint64_t block) {
  if (block == cached_) return MIRT_OK;
  cached_ = UINT64_MAX;
  const IndexedBlock& record = index_.blocks[block];
  const uint32_t block_size = index_.container_of(block).block_size;
  const uint64_t need = uint64_t{block_size} + record.stored_length +
                        algorithm_memory(record.algorithm, MR_MODE_DECOMPRESS, block_size);
  const uint64_t limit = context_.settings.resources.memory_limit;
  if (!context_.settings.resources.fits_memory(need))
    return fail(MIRT_ERROR_MEMORY_LIMIT,
                "the file needs " + std::to_string((need + 1048575) >> 20) +
                    " MiB to decode a block; the memory limit is " +
                    std::to_string(limit >> 20) + " MiB");
  if (!algorithm_available(record.algorithm)) {
    const char* name = algorithm_name(record.algorithm);
    return fail(MIRT_ERROR_UNAVAILABLE,
                "block " + std::to_string(block + 1) + " needs algorithm " +
                    std::to_string(record.algorithm) + " (" + (name ? name : "unnamed") +
                    "), which is not loaded");
  }
  stored_.resize(record.stored_length);
  const int64_t got = source_.read_at(record.offset, stored_.data(), stored_.size());
  if (got < 0) return static_cast<int>(got);
  if (static_cast<uint64_t>(got) != record.stored_length) return corrupt(block, "truncated block");
  // The copy algorithm ignores the capacity, so hold it to the block size here.
  if (algorithm_entry(record.algorithm) == copy_algorithm && record.stored_length > block_size)
    return corrupt(block, "block longer than the block size");
  if (plain_capacity_ < block_size) {
    plain_.reset();
    plain_capacity_ = 0;
    plain_ = allocate_buffer(block_size);
    plain_capacity_ = block_size;
  }
  // The check of a block is bound to its place in its container.
  BlockPlace place;
  place.index = block - index_.container_of(block).first_block;
  place.key = block_key(place.index, block_size, static_cast<uint32_t>(index_.plain_length(block)));
  const uint32_t produced = call_algorithm(record.algorithm, MR_MODE_DECOMPRESS, stored_.data(),
                                           plain_.get(), record.stored_length, block_size, &place);
  ++decoded_;
  const int status = check(block, produced);
  if (status == MIRT_OK) cached_ = block;
  return status;
}

// What the sequential reader checks of each block, too: every block holds
// a whole block of data; the last holds the rest of the size, then zeros.
int BlockReader::check(uint64_t block, uint32_t produced) const {
  const uint32_t block_size = index_.container_of(block).block_size;
  if (produced == 0) return corrupt(block, "its check failed");
  if (produced > block_size) return corrupt(block, "block longer than the block size");
  const uint64_t real = index_.plain_length(block);
  if (real < block_size) {
    if (produced < real) return corrupt(block, "data ends early");
    if (std::any_of(plain_.get() + real, plain_.get() + produced, [](uint8_t b) { return b != 0; }))
      return corrupt(block, "data after the end of the input");
  } else if (produced != block_size) {
    return corrupt(block, "block shorter than the block size");
  }
  return MIRT_OK;
}

}  // namespace mirt::api
