// The C interface of the index and of positioned reads.
#include <memory>

#include "api/api.h"
#include "api/block_reader.h"
#include "api/container_index.h"
#include "api/context.h"
#include "api/source.h"

using mirt::api::fail;
using mirt::api::guarded;

namespace {

int build(mirt::api::Source& source, mirt_index** out) {
  if (out == nullptr) return fail(MIRT_ERROR_ARGUMENT, "no place for the index");
  *out = nullptr;
  auto index = std::make_unique<mirt_index>();
  const int status = mirt::api::build_index(source, *index);
  if (status != MIRT_OK) return status;
  *out = index.release();
  mirt::api::succeed();
  return MIRT_OK;
}

}  // namespace

extern "C" {

MIRT_API int mirt_index_build(int fd, mirt_index** out) {
  return guarded([&]() -> int {
    mirt::api::FdSource source(fd);
    return build(source, out);
  });
}

MIRT_API int mirt_index_build_input(const mirt_input* input, mirt_index** out) {
  return guarded([&]() -> int {
    if (input == nullptr || input->read == nullptr)
      return fail(MIRT_ERROR_ARGUMENT, "no read callback");
    mirt::api::InputSource source(*input);
    return build(source, out);
  });
}

MIRT_API void mirt_index_free(mirt_index* index) { delete index; }

MIRT_API uint64_t mirt_index_size(const mirt_index* index) { return index ? index->size : 0; }

MIRT_API uint64_t mirt_index_block_count(const mirt_index* index) {
  return index ? index->blocks.size() : 0;
}

MIRT_API uint32_t mirt_index_container_count(const mirt_index* index) {
  return index ? static_cast<uint32_t>(index->containers.size()) : 0;
}

MIRT_API uint32_t mirt_index_block_size(const mirt_index* index) {
  return index && !index->containers.empty() ? index->containers.front().block_size : 0;
}

MIRT_API int mirt_index_block(const mirt_index* index, uint64_t block, mirt_block_info* info) {
  if (index == nullptr || info == nullptr || block >= index->blocks.size())
    return fail(MIRT_ERROR_ARGUMENT, "no such block");
  const mirt::api::IndexedBlock& record = index->blocks[block];
  info->plain_offset = index->plain_offset(block);
  info->plain_length = index->plain_length(block);
  info->offset = record.offset;
  info->stored_length = record.stored_length;
  info->algorithm = record.algorithm;
  info->container = record.container;
  info->block_size = index->container_of(block).block_size;
  mirt::api::succeed();
  return MIRT_OK;
}

MIRT_API uint64_t mirt_index_find(const mirt_index* index, uint64_t offset) {
  return index ? index->find(offset) : 0;
}

MIRT_API int64_t mirt_index_read(const mirt_context* context, const mirt_index* index, int fd,
                                 void* buffer, size_t size, uint64_t offset,
                                 uint64_t* blocks_decoded) {
  return guarded([&]() -> int64_t {
    if (blocks_decoded != nullptr) *blocks_decoded = 0;
    if (context == nullptr || index == nullptr || (buffer == nullptr && size > 0))
      return fail(MIRT_ERROR_ARGUMENT, "no context, index or buffer");
    mirt::api::FdSource source(fd);
    mirt::api::BlockReader reader(*context, *index, source);
    const int64_t got = reader.read(buffer, size, offset);
    if (blocks_decoded != nullptr) *blocks_decoded = reader.decoded();
    if (got >= 0) mirt::api::succeed();
    return got;
  });
}

}  // extern "C"
