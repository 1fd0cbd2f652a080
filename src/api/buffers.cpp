// One-shot compression and expansion of memory buffers.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "api/api.h"
#include "api/container_index.h"
#include "api/context.h"
#include "api/reader.h"
#include "api/source.h"
#include "codec/codec.h"
#include "codec/format.h"
#include "codec/reader.h"
#include "codec/tables.h"
#include "common/io.h"
#include "common/unique_fd.h"

using mirt::api::fail;
using mirt::api::guarded;

namespace {

int system_failure(const char* operation) {
  return fail(MIRT_ERROR_IO, std::string(operation) + ": " + std::strerror(errno));
}

// A file in memory: the compressor sizes its blocks from the input's
// length and patches the header of an output it can seek, as it does for
// regular files.
bool memory_file(mirt::UniqueFd& fd) {
  fd.reset(::memfd_create("mirt", MFD_CLOEXEC));
  if (fd.get() >= 0) return true;
  system_failure("memfd_create");
  return false;
}

int64_t compress_buffer(const mirt_context& context, const void* src, size_t src_size, void* dst,
                        size_t dst_capacity) {
  mirt::UniqueFd input, output;
  if (!memory_file(input) || !memory_file(output)) return MIRT_ERROR_IO;
  if (src_size > 0 && !mirt::write_full(input.get(), src, src_size)) return system_failure("write");
  if (::lseek(input.get(), 0, SEEK_SET) != 0) return system_failure("lseek");
  mirt::ChecksumRecord sums;
  mirt::StreamResult result;
  std::string messages;
  {
    mirt::DiagnosticCapture capture;
    result = mirt::run_stream(input.get(), output.get(), mirt::kModeCompress, context.settings,
                              nullptr, sums, -1);
    messages = capture.text();
  }
  if (!result.ok) return mirt::api::fail_from(messages, MIRT_ERROR_IO);
  struct stat info {};
  if (::fstat(output.get(), &info) != 0) return system_failure("fstat");
  const auto length = static_cast<uint64_t>(info.st_size);
  if (length > dst_capacity)
    return fail(MIRT_ERROR_SPACE, "the container needs " + std::to_string(length) +
                                      " bytes, the buffer holds " + std::to_string(dst_capacity));
  mirt::api::FdSource container(output.get());
  const int64_t got = container.read_at(0, dst, static_cast<size_t>(length));
  if (got < 0) return got;
  return static_cast<int64_t>(length);
}

int64_t expand_buffer(const mirt_context& context, const void* src, size_t src_size, void* dst,
                      size_t dst_capacity) {
  std::unique_ptr<mirt_reader> reader;
  const int status = mirt::api::open_memory_reader(&context, src, src_size, reader);
  if (status != MIRT_OK) return status;
  const int64_t got = reader->read(static_cast<uint8_t*>(dst), dst_capacity);
  if (got < 0) return got;
  uint8_t more = 0;
  const int64_t beyond = reader->read(&more, 1);
  if (beyond < 0) return beyond;
  if (beyond > 0) {
    reader->stop_codec();
    return fail(MIRT_ERROR_SPACE, "the plain data is larger than the buffer (" +
                                      std::to_string(dst_capacity) + " bytes)");
  }
  return got;
}

}  // namespace

extern "C" {

MIRT_API uint64_t mirt_compress_bound(const mirt_context* context, uint64_t plain_size) {
  if (context == nullptr) return 0;
  const uint64_t block_size = mirt_context_block_size(context, plain_size);
  const uint64_t blocks = mirt::blocks_for(plain_size, static_cast<uint32_t>(block_size));
  // Without the copy algorithm a block may take up to the codec's limit.
  const uint64_t stored = mirt::algorithm_available(0) ? block_size : 2 * block_size;
  // Header, the checksum records, a trailer, and each block record whole.
  return mirt::kHeaderLength + mirt::kChecksumRecordsLength + 12 + blocks * (1 + 4 + stored);
}

MIRT_API int64_t mirt_compress(const mirt_context* context, const void* src, size_t src_size,
                               void* dst, size_t dst_capacity) {
  return guarded([&]() -> int64_t {
    if (context == nullptr || (src == nullptr && src_size > 0) ||
        (dst == nullptr && dst_capacity > 0))
      return fail(MIRT_ERROR_ARGUMENT, "no context or no buffer");
    const int64_t length = compress_buffer(*context, src, src_size, dst, dst_capacity);
    if (length >= 0) mirt::api::succeed();
    return length;
  });
}

MIRT_API int mirt_decompressed_size(const void* src, size_t src_size, uint64_t* size) {
  return guarded([&]() -> int {
    if ((src == nullptr && src_size > 0) || size == nullptr)
      return fail(MIRT_ERROR_ARGUMENT, "no buffer");
    mirt::api::MemorySource source(src, src_size);
    mirt_index index;
    const int status = mirt::api::build_index(source, index);
    if (status != MIRT_OK) return status;
    *size = index.size;
    mirt::api::succeed();
    return MIRT_OK;
  });
}

MIRT_API int64_t mirt_decompress(const mirt_context* context, const void* src, size_t src_size,
                                 void* dst, size_t dst_capacity) {
  return guarded([&]() -> int64_t {
    if (context == nullptr || (src == nullptr && src_size > 0) ||
        (dst == nullptr && dst_capacity > 0))
      return fail(MIRT_ERROR_ARGUMENT, "no context or no buffer");
    const int64_t length = expand_buffer(*context, src, src_size, dst, dst_capacity);
    if (length >= 0) mirt::api::succeed();
    return length;
  });
}

}  // extern "C"
