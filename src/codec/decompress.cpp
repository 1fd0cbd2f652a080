// Containers to plain bytes (mode 2): for each container one after
// another, header and records, remote copy, block pipeline, verdict.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/checksum.h"
#include "codec/codec.h"
#include "codec/foreign.h"
#include "codec/format.h"
#include "codec/pipeline.h"
#include "codec/reader.h"
#include "codec/tables.h"
#include "common/buffer.h"
#include "common/diag.h"
#include "common/io.h"
#include "common/keyword.h"
#include "location/stream.h"
#include "status/status.h"

namespace mirt {
namespace {

void report_corrupt(const char* file_name, const char* reason) {
  report("%s: corrupt file (%s).\n", display_name(file_name), reason);
}

bool write_all(int fd, const uint8_t* data, uint64_t length) {
  if (write_full(fd, data, static_cast<size_t>(length))) return true;
  report_system_error("write", errno);
  return false;
}

bool pair_passes(uint32_t stored, uint32_t running) {
  return stored == 0 || running == 0 || stored == running;
}

uint32_t progress_total(uint64_t size, uint32_t block_size) {
  float q = static_cast<float>(size) / static_cast<float>(block_size);
  double total = q + 0.9999;
  if (total >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(total);
}

// What the header and the extension records say about one container.
struct ContainerInfo {
  ContainerHeader header;
  std::vector<std::string> locations;
  uint64_t program_length = 0;
  int cipher = -1;
};

// A checksum record: false when a fetched copy does not match the local
// file it replaces.
bool take_sum(const ExtensionRecord& record, const Options& options, const char* file_name,
              ChecksumRecord& sums) {
  uint32_t expected;
  if (record.type == kRecordCompressedSum) {
    sums.stored_compressed_sum = record.value;
    expected = sums.expected_compressed_sum;
  } else {
    sums.stored_plain_sum = record.value;
    expected = sums.expected_plain_sum;
  }
  if (expected == 0 || expected == record.value) return true;
  status_message(1, "CRC error.");
  if (options.no_crc) return true;
  // The status line is not drawn at level 0: say it plainly.
  report("%s: fetched copy does not match the local checksums.\n", display_name(file_name));
  return false;
}

// Header fields and extension records, from just after the magic.
bool read_container_head(int input, const Options& options, const char* file_name,
                         ChecksumRecord& sums, ContainerInfo& info) {
  info.header = read_header_fields(input, true);
  const ContainerHeader& header = info.header;
  if (!header.complete) {
    report_corrupt(file_name, "truncated header");
    return false;
  }
  if (header.block_size == 0 || header.block_size > kMaxBlockSize) {
    report_corrupt(file_name, "bad block size");
    return false;
  }
  // Nothing checks the size field but this: every block but the last is
  // full, so the size fixes the count.
  if (counted_blocks(header) &&
      blocks_for(header.uncompressed_size, header.block_size) != header.block_count) {
    report_corrupt(file_name, "size and block count disagree");
    return false;
  }
  const char* file_value = file_name ? file_name : "";
  bool mismatch = false;
  const bool whole = walk_records(input, header.ext_length, [&](const ExtensionRecord& r) {
    switch (r.type) {
      case kRecordCompressedSum:
      case kRecordPlainSum:
        mismatch = !take_sum(r, options, file_name, sums);
        return !mismatch;
      case kRecordDescription:
        std::fprintf(stderr, "DESC: %s\n", record_text(r.data).c_str());
        break;
      case kRecordLocation:
        add_location(record_text(r.data).c_str(), file_value, info.locations);
        break;
      case kRecordLocationFile:
        read_location_list(record_text(r.data), file_value, info.locations);
        break;
      case kRecordCipher:
        info.cipher = static_cast<int>(static_cast<uint32_t>(big_endian_value(r.data)));
        break;
      case kRecordProgramLength:
        info.program_length = big_endian_value(r.data);
        break;
      default:
        break;
    }
    return true;
  });
  if (mismatch) return false;
  if (!whole) {
    report_corrupt(file_name, "truncated header");
    return false;
  }
  return true;
}

// The block whose data is all there: stored (and decrypted) bytes in, the
// plain block out.
class BlockExpansion : public BlockJob {
 public:
  BlockExpansion(uint8_t algorithm, std::vector<uint8_t> stored)
      : algorithm(algorithm), stored(std::move(stored)) {}

  void plan(std::vector<BlockTask>& tasks) override {
    if (planned_ || !in_worker) return;
    planned_ = true;
    tasks.push_back({[this](unsigned) { expand(); }, stored.size()});
  }

  void expand() {
    produced = call_algorithm(algorithm, MR_MODE_DECOMPRESS, stored.data(), plain.get(),
                              static_cast<uint32_t>(stored.size()), capacity);
    if (sum_plain && produced <= capacity) plain_sum = adler32(0, plain.get(), produced);
  }

  const uint8_t algorithm;
  std::vector<uint8_t> stored;
  Buffer plain;
  uint32_t capacity = 0;
  uint32_t produced = 0;
  uint32_t plain_sum = 0;
  bool sum_plain = false;  // Adler-32 of the output, combined in order
  // Slots that print (the stub) or hold nothing expand in order instead.
  bool in_worker = true;

 private:
  bool planned_ = false;
};

// The end of the blocks as the reader met it, reported in its turn.
class BlockFailure : public BlockJob {
 public:
  BlockFailure(const char* reason, int error) : reason(reason), error(error) {}
  void plan(std::vector<BlockTask>&) override {}
  const char* reason;  // a corrupt-file reason, or null for a system error
  int error;
};

// The blocks of one container: read in order (the cipher state runs
// through them), expanded anywhere, checked and written in order. The
// last block is written only once the reader has seen what ends the
// list, so that it can be cut at the size the trailer gives.
class ExpandStream : public BlockStage {
 public:
  ExpandStream(int input, int output, const char* file_name, ChecksumRecord& sums,
               const ContainerInfo& info)
      : input_(input),
        output_(output),
        file_name_(file_name),
        sums_(sums),
        info_(info),
        block_size_(info.header.block_size),
        width_(length_field_width(info.header.block_size)),
        counted_(counted_blocks(info.header)),
        size_(info.header.uncompressed_size) {}

  bool start_cipher();
  bool run() { return run_pipeline(*this, PipelineShape{codec_threads(), true}); }
  uint64_t size() const { return size_; }

  std::unique_ptr<BlockJob> next() override;
  bool finish(BlockJob& job) override;

 private:
  std::unique_ptr<BlockJob> fail(const char* reason, int error = 0);
  std::unique_ptr<BlockJob> end_of_blocks(BlockHead head);
  std::unique_ptr<BlockJob> read_block(uint8_t algorithm, uint32_t stored_length);
  Buffer take_block();
  bool decrypt(std::vector<uint8_t>& stored);
  void add_plain_sum(const BlockExpansion& block);
  bool write_block(const BlockExpansion& block, bool last);

  const int input_;
  const int output_;
  const char* const file_name_;
  ChecksumRecord& sums_;
  const ContainerInfo& info_;
  const uint32_t block_size_;
  const int width_;
  const bool counted_;
  uint64_t size_;  // known from the header, or once the trailer is read
  bool ended_ = false;
  bool end_ok_ = false;
  uint64_t read_ = 0;
  uint64_t finished_ = 0;
  uint64_t produced_ = 0;
  CipherEntry cipher_ = nullptr;
  std::vector<uint8_t> cipher_state_;
  std::vector<uint8_t> cipher_scratch_;
  std::vector<Buffer> spare_blocks_;
};

bool ExpandStream::start_cipher() {
  if (info_.cipher == -1) return true;
  if (!cipher_available(info_.cipher)) {
    report_corrupt(file_name_, "cipher not available");
    return false;
  }
  cipher_ = cipher_entry(info_.cipher);
  cipher_state_.assign(MR_CIPHER_STATE_SIZE, 0);
  cipher_(nullptr, nullptr, 0, cipher_state_.data(), MR_CIPHER_START_DECRYPT);
  return true;
}

Buffer ExpandStream::take_block() {
  if (spare_blocks_.empty()) return allocate_buffer(block_size_);
  Buffer block = std::move(spare_blocks_.back());
  spare_blocks_.pop_back();
  return block;
}

bool ExpandStream::decrypt(std::vector<uint8_t>& stored) {
  const auto length = static_cast<uint32_t>(stored.size());
  cipher_scratch_.assign(uint64_t{length} * 2, 0);
  const int32_t got = cipher_(stored.data(), cipher_scratch_.data(), length,
                              cipher_state_.data(), MR_CIPHER_DECRYPT);
  if (got < 0 || static_cast<uint32_t>(got) > length) return false;
  std::memcpy(stored.data(), cipher_scratch_.data(), static_cast<size_t>(got));
  return true;
}

// Whatever ends the container, well or badly, ends the reading.
std::unique_ptr<BlockJob> ExpandStream::fail(const char* reason, int error) {
  ended_ = true;
  return std::make_unique<BlockFailure>(reason, error);
}

std::unique_ptr<BlockJob> ExpandStream::end_of_blocks(BlockHead head) {
  if (head == BlockHead::kEndOfInput) {
    // A header that counts blocks but is followed by none: the data was
    // never written into this file.
    if (counted_ && read_ == 0) return fail("the data is not in the file");
    return fail("data ends early");
  }
  // The end marker: only a list without a size ends so, with the trailer.
  if (counted_ || !read_trailer_rest(input_, info_.header.old_layout, size_))
    return fail("data ends early");
  if (info_.header.old_layout) std::fputs(kOldHeaderWarning, stderr);
  if (read_ == 0 && size_ > 0) return fail("the data is not in the file");
  if (blocks_for(size_, block_size_) != read_) return fail("size does not match the blocks");
  ended_ = end_ok_ = true;
  return nullptr;
}

std::unique_ptr<BlockJob> ExpandStream::next() {
  if (ended_) return nullptr;
  if (counted_ && read_ == info_.header.block_count) {
    ended_ = end_ok_ = true;
    return nullptr;
  }
  uint8_t algorithm = 0;
  uint32_t stored_length = 0;
  int error = 0;
  switch (read_block_head(input_, width_, algorithm, stored_length, error)) {
    case BlockHead::kBlock:
      return read_block(algorithm, stored_length);
    case BlockHead::kError:
      return fail(nullptr, error);
    case BlockHead::kTruncated:
      return fail("truncated block");
    case BlockHead::kEndMarker:
      return end_of_blocks(BlockHead::kEndMarker);
    case BlockHead::kEndOfInput:
      break;
  }
  return end_of_blocks(BlockHead::kEndOfInput);
}

std::unique_ptr<BlockJob> ExpandStream::read_block(uint8_t algorithm, uint32_t stored_length) {
  // Stored blocks never exceed twice the block size (the compressor's
  // output buffer); anything longer is not ours.
  if (stored_length > uint64_t{block_size_} * 2) return fail("stored length too large");
  std::vector<uint8_t> stored;
  errno = 0;  // set by a failed read (a stalled or reset connection), not by an early end
  if (!read_exactly(input_, stored, stored_length))
    return errno != 0 ? fail(nullptr, errno) : fail("truncated block");
  ++read_;
  auto block = std::make_unique<BlockExpansion>(algorithm, std::move(stored));
  block->plain = take_block();
  block->capacity = block_size_;
  const bool old = info_.header.old_layout;
  const uint8_t* data = block->stored.data();
  sums_.compressed_sum = old ? elf_hash(sums_.compressed_sum, data, stored_length)
                             : adler32(sums_.compressed_sum, data, stored_length);
  if (cipher_ != nullptr && !decrypt(block->stored)) return fail("bad decrypted length");
  // The copy algorithm ignores the capacity, so hold it to the block size here.
  if (algorithm_entry(algorithm) == copy_algorithm && stored_length > block_size_)
    return fail("block longer than the block size");
  block->sum_plain = cipher_ == nullptr && !old;
  block->in_worker = algorithm_available(algorithm);
  return block;
}

void ExpandStream::add_plain_sum(const BlockExpansion& block) {
  if (cipher_ != nullptr) return;
  if (info_.header.old_layout) {
    std::fputs(kOldHeaderWarning, stderr);
    sums_.plain_sum = elf_hash(sums_.plain_sum, block.plain.get(), block.produced);
  } else if (block.in_worker) {
    sums_.plain_sum = adler32_combine(sums_.plain_sum, block.plain_sum, block.produced);
  } else {
    sums_.plain_sum = adler32(sums_.plain_sum, block.plain.get(), block.produced);
  }
}

// Every block but the last holds a whole block of data; the last holds
// the rest of the size, then zero fill.
bool ExpandStream::write_block(const BlockExpansion& block, bool last) {
  uint64_t keep = block.produced;
  if (last) {
    const uint64_t rest = size_ - produced_;
    if (block.produced < rest) {
      report_corrupt(file_name_, "data ends early");
      return false;
    }
    const uint8_t* fill = block.plain.get() + rest;
    const uint8_t* end = block.plain.get() + block.produced;
    if (std::any_of(fill, end, [](uint8_t b) { return b != 0; })) {
      report_corrupt(file_name_, "data after the end of the input");
      return false;
    }
    keep = rest;
  } else if (block.produced != block_size_) {
    report_corrupt(file_name_, "block shorter than the block size");
    return false;
  }
  if (keep > 0 && !write_all(output_, block.plain.get(), keep)) return false;
  produced_ += keep;
  return true;
}

bool ExpandStream::finish(BlockJob& job) {
  if (auto* failure = dynamic_cast<BlockFailure*>(&job)) {
    if (failure->reason != nullptr)
      report_corrupt(file_name_, failure->reason);
    else
      report_system_error("read", failure->error);
    return false;
  }
  auto& block = static_cast<BlockExpansion&>(job);
  const bool last = ended_ && finished_ + 1 == read_;
  ++finished_;
  // Without the end of the list there is no size to cut the last block
  // at: the failure that follows says why.
  if (last && !end_ok_) return true;
  if (info_.header.old_layout) std::fputs(kOldHeaderWarning, stderr);
  if (!block.in_worker)
    block.produced = decompress_block(block.algorithm, block.stored.data(),
                                      static_cast<uint32_t>(block.stored.size()),
                                      block.plain.get(), block_size_);
  if (block.produced == 0) {
    report(cipher_ ? "Decompression resulted in 0-byte block.  Invalid key?\n"
                   : "Decompression resulted in 0-byte block.\n");
    return false;
  }
  if (block.produced > block_size_) {
    report_corrupt(file_name_, "block longer than the block size");
    return false;
  }
  add_plain_sum(block);
  progress_step(1);
  if (!write_block(block, last)) return false;
  spare_blocks_.push_back(std::move(block.plain));
  return true;
}

StreamResult decompress_input(int input, int output, const Options& options, const char* file_name,
                              ChecksumRecord& sums, int cipher, bool may_retry);

// With `try_urls`, the first download location that opens replaces the
// local data: it is read in its place, as a stream of its own, and its
// download locations are not followed again. The local input is left to
// its owner, who closes it.
bool use_remote_copy(int output, const Options& options, const char* file_name,
                     ChecksumRecord& sums, const ContainerInfo& info, StreamResult& result) {
  for (const std::string& location : info.locations) {
    status_message(1, "Trying to get remote url ");
    status_append(2, location.c_str());
    int fetched = open_location(location.c_str(), O_RDONLY, 0);
    if (fetched < 0) {
      status_message(1, "Failed.");
      continue;
    }
    sums.expected_compressed_sum = sums.stored_compressed_sum;
    sums.expected_plain_sum = sums.stored_plain_sum;
    result = decompress_input(fetched, output, options, file_name, sums, info.cipher, false);
    close(fetched);
    return true;
  }
  return false;
}

// A size for the progress display before the blocks are read: the
// header's, or a trailer found by walking the block records of an input
// that can seek back. Purely a display: the blocks are checked as read.
uint64_t size_for_progress(int input, const ContainerInfo& info) {
  if (counted_blocks(info.header)) return info.header.uncompressed_size;
  const int64_t at = seekable_position(input);
  if (at < 0) return 0;
  const int width = length_field_width(info.header.block_size);
  uint64_t size = 0;
  for (;;) {
    uint8_t algorithm = 0;
    uint32_t length = 0;
    int error = 0;
    const BlockHead head = read_block_head(input, width, algorithm, length, error);
    if (head == BlockHead::kEndMarker && !read_trailer_rest(input, info.header.old_layout, size))
      size = 0;
    if (head != BlockHead::kBlock || lseek(input, length, SEEK_CUR) < 0) break;
  }
  lseek(input, at, SEEK_SET);
  return size;
}

// One container, from just after its magic. `took_input` tells that a
// remote copy was read in its place.
StreamResult decompress_container(int input, int output, const Options& options,
                                  const char* file_name, ChecksumRecord& sums, int cipher,
                                  bool may_retry, bool& took_input) {
  ContainerInfo info;
  info.cipher = cipher;
  if (!read_container_head(input, options, file_name, sums, info)) return {};

  StreamResult fetched;
  if (options.use_urls && may_retry &&
      use_remote_copy(output, options, file_name, sums, info, fetched)) {
    took_input = true;
    return fetched;
  }

  progress_begin(progress_total(size_for_progress(input, info), info.header.block_size));
  ExpandStream stream(input, output, file_name, sums, info);
  if (!stream.start_cipher() || !stream.run()) return {};

  const bool passes = pair_passes(sums.stored_compressed_sum, sums.compressed_sum) &&
                      pair_passes(sums.stored_plain_sum, sums.plain_sum);
  if (!passes) {
    status_message(1, "CRC error.");
    if (!(options.no_crc && options.force)) {
      report_corrupt(file_name, "checksum mismatch");
      return {};
    }
  }
  return {true, stream.size()};
}


// Every container of the input, one after another, like gzip members.
StreamResult decompress_input(int input, int output, const Options& options, const char* file_name,
                              ChecksumRecord& sums, int cipher, bool may_retry) {
  status_message(1, "Decompressing.");
  int32_t got = 0;
  const uint32_t magic = read_magic(input, got);
  if (got != 4 || magic != kContainerMagic) {
    status_message(1, "Bad MIRT magic, checking others...");
    if (got == 4 && is_foreign_magic(magic)) return decompress_foreign(input, output, magic);
    report("%s: not a compressed file.\n", display_name(file_name));
    return {};
  }
  StreamResult total{true, 0};
  for (bool first = true;; first = false) {
    ext_clear();
    if (!first) sums = ChecksumRecord{};
    bool took_input = false;
    const StreamResult one = decompress_container(input, output, options, file_name, sums,
                                                  cipher, may_retry && first, took_input);
    if (!one.ok) return one;
    total.bytes += one.bytes;
    if (took_input) return total;
    switch (what_follows(input)) {
      case After::kContainer:
        continue;
      case After::kNothing:
        ext_clear();
        return total;
      case After::kGarbage:
        report("%s: trailing garbage after the compressed data.\n", display_name(file_name));
        return {};
    }
  }
}

}  // namespace

StreamResult decompress_stream(int input, int output, const Options& options, const char* file_name,
                               ChecksumRecord& sums, int cipher) {
  return decompress_input(input, output, options, file_name, sums, cipher, true);
}

}  // namespace mirt
