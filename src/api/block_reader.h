// Positioned reads: the plain bytes of a range, from the blocks that
// cover it and no others.
#pragma once

#include <cstdint>
#include <vector>

#include "api/container_index.h"
#include "api/context.h"
#include "api/source.h"
#include "common/buffer.h"

namespace mirt::api {

class BlockReader {
 public:
  BlockReader(const mirt_context& context, const mirt_index& index, Source& source)
      : context_(context), index_(index), source_(source) {}

  // Up to `size` plain bytes from `offset`: the count (short only at the
  // end), or a negative status.
  int64_t read(void* buffer, size_t size, uint64_t offset);
  uint64_t decoded() const { return decoded_; }

 private:
  // Block `block` into plain_; MIRT_OK or a status. The last one decoded
  // is kept, so small reads in a row decode it once.
  int decode(uint64_t block);
  int check(uint64_t block, uint32_t produced) const;

  const mirt_context& context_;
  const mirt_index& index_;
  Source& source_;
  std::vector<uint8_t> stored_;
  Buffer plain_;
  uint32_t plain_capacity_ = 0;
  uint64_t cached_ = UINT64_MAX;
  uint64_t decoded_ = 0;
};

}  // namespace mirt::api
