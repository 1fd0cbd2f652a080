#include "codec/expand.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "codec/checksum.h"
#include "codec/memory.h"
#include "common/diag.h"
#include "common/io.h"
#include "common/keyword.h"
#include "status/meter.h"
#include "status/status.h"

namespace mirt {

void report_corrupt(const char* file_name, const char* reason) {
  report("%s: corrupt file (%s).\n", display_name(file_name), reason);
}

namespace {

bool write_all(int fd, const uint8_t* data, uint64_t length) {
  if (write_full(fd, data, static_cast<size_t>(length))) return true;
  report_system_error("write", errno);
  return false;
}

}  // namespace

// The block whose data is all there: stored (and decrypted) bytes in, the
// plain block out.
class BlockExpansion : public BlockJob {
 public:
  BlockExpansion(uint8_t algorithm, std::vector<uint8_t> stored)
      : algorithm(algorithm), stored(std::move(stored)) {}

  void plan(std::vector<BlockTask>& tasks) override {
    if (planned_ || copied || !in_worker || !placed) return;
    planned_ = true;
    tasks.push_back({[this](unsigned) { expand(); }, stored.size()});
  }

  void expand() {
    const MeterCall meter(place.index, stored.size(), capacity, MeterCall::kind(algorithm, true));
    produced = call_algorithm(algorithm, MR_MODE_DECOMPRESS, stored.data(), plain.get(),
                              static_cast<uint32_t>(stored.size()), capacity, &place);
    if (sum_plain && produced <= capacity) plain_sum = adler32(0, plain.get(), produced);
  }

  // The plain block: a copy block's stored bytes serve as they are.
  const uint8_t* output() const { return copied ? stored.data() : plain.get(); }

  const uint8_t algorithm;
  BlockPlace place;     // index in the container, from 0, and key
  bool placed = false;  // the key is known: what ends the list was read
  bool last = false;
  std::vector<uint8_t> stored;
  Buffer plain;
  uint32_t capacity = 0;
  uint32_t produced = 0;
  uint32_t plain_sum = 0;
  bool sum_plain = false;  // Adler-32 of the output, combined in order
  bool copied = false;     // a copy block: produced and plain_sum known, no plain buffer
  uint64_t need = 0;       // block_need() while in flight
  // False for a slot without an algorithm: the block is reported in order.
  bool in_worker = true;

 private:
  bool planned_ = false;
};

namespace {

// The end of the blocks as the reader met it, reported in its turn.
class BlockFailure : public BlockJob {
 public:
  BlockFailure(const char* reason, int error) : reason(reason), error(error) {}
  void plan(std::vector<BlockTask>&) override {}
  const char* reason;  // a corrupt-file reason, or null for a system error
  int error;
  uint64_t memory_need = 0;  // or a block that needs more than the limit
};

}  // namespace

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

bool ExpandStream::at_counted_end() const {
  return counted_ && read_ == info_.header.block_count;
}

const ExpandStream::Head& ExpandStream::peek() {
  if (!head_.read && !at_counted_end()) {
    head_.kind = read_block_head(input_, width_, head_.algorithm, head_.length, head_.error);
    head_.read = true;
  }
  return head_;
}

std::unique_ptr<BlockJob> ExpandStream::end_of_blocks(const Head& head) {
  switch (head.kind) {
    case BlockHead::kBlock:
      break;
    case BlockHead::kError:
      return fail(nullptr, head.error);
    case BlockHead::kTruncated:
      return fail("truncated block");
    case BlockHead::kEndOfInput:
      // A header that counts blocks but is followed by none: the data was
      // never written into this file.
      if (counted_ && read_ == 0) return fail("the data is not in the file");
      return fail("data ends early");
    case BlockHead::kEndMarker:
      // Only a list without a size ends so before its count, with the trailer.
      if (counted_ || !read_trailer_rest(input_, info_.header.old_layout, size_))
        return fail("data ends early");
      if (info_.header.old_layout) std::fputs(kOldHeaderWarning, stderr);
      if (read_ == 0 && size_ > 0) return fail("the data is not in the file");
      if (blocks_for(size_, block_size_) != read_) return fail("size does not match the blocks");
      break;
  }
  ended_ = end_ok_ = true;
  return nullptr;
}

std::unique_ptr<BlockJob> ExpandStream::next() {
  if (end_) return std::move(end_);
  if (ended_) return nullptr;
  if (at_counted_end()) {
    ended_ = end_ok_ = true;
    return nullptr;
  }
  const Head head = peek();
  head_.read = false;
  if (head.kind != BlockHead::kBlock) return end_of_blocks(head);
  // Threads lent to the call cost memory: without room, the block decodes on one.
  uint32_t threads = resources_.worker_threads();
  uint64_t need = block_need(head, threads);
  if (threads > 1 && !resources_.fits_memory(reserved_ + need)) need = block_need(head, threads = 1);
  if (!resources_.fits_memory(need)) {
    auto failure = fail(nullptr);
    static_cast<BlockFailure&>(*failure).memory_need = need;
    return failure;
  }
  auto block = read_block(head.algorithm, head.length);
  if (auto* expansion = dynamic_cast<BlockExpansion*>(block.get())) {
    expansion->need = need;
    expansion->place.threads = threads;
    reserved_ += need;
  }
  return block;
}

uint64_t ExpandStream::block_need(const Head& head, uint32_t threads) const {
  const uint64_t stored = head.length;
  return uint64_t{block_size_} + stored + (cipher_ != nullptr ? 2 * stored : 0) +
         algorithm_memory(head.algorithm, MR_MODE_DECOMPRESS, block_size_, threads);
}

bool ExpandStream::may_read() {
  if (end_ || ended_ || at_counted_end()) return true;
  const Head& head = peek();
  return head.kind != BlockHead::kBlock || resources_.fits_memory(reserved_ + block_need(head, 1));
}

std::unique_ptr<BlockJob> ExpandStream::read_block(uint8_t algorithm, uint32_t stored_length) {
  // Stored blocks never exceed twice the block size (the compressor's
  // output buffer); anything longer is not ours.
  if (stored_length > uint64_t{block_size_} * 2) return fail("stored length too large");
  std::vector<uint8_t> stored;
  if (!spare_stored_.empty()) {
    stored = std::move(spare_stored_.back());
    spare_stored_.pop_back();
  }
  errno = 0;  // set by a failed read (a stalled or reset connection), not by an early end
  if (!read_exactly(input_, stored, stored_length))
    return errno != 0 ? fail(nullptr, errno) : fail("truncated block");
  auto block = std::make_unique<BlockExpansion>(algorithm, std::move(stored));
  block->place.index = read_++;
  block->capacity = block_size_;
  const bool old = info_.header.old_layout;
  const uint8_t* data = block->stored.data();
  block->sum_plain = cipher_ == nullptr && !old;
  // The copy algorithm's plain bytes are the stored (decrypted) ones: no
  // call, no second buffer, and without a cipher one pass serves both sums.
  block->copied = algorithm_entry(algorithm) == copy_algorithm;
  if (!block->copied) block->plain = take_block();
  if (old) {
    sums_.compressed_sum = elf_hash(sums_.compressed_sum, data, stored_length);
  } else if (block->copied && block->sum_plain) {
    block->plain_sum = adler32(0, data, stored_length);
    sums_.compressed_sum = adler32_combine(sums_.compressed_sum, block->plain_sum, stored_length);
  } else {
    sums_.compressed_sum = adler32(sums_.compressed_sum, data, stored_length);
  }
  if (cipher_ != nullptr && !decrypt(block->stored)) return fail("bad decrypted length");
  if (block->copied && stored_length > block_size_) return fail("block longer than the block size");
  if (block->copied) block->produced = static_cast<uint32_t>(block->stored.size());
  block->in_worker = algorithm_available(algorithm);
  place_block(*block);
  return block;
}

// Whether the block is the last, and so its real bytes and key: known from
// the count for a header with a size, else from what follows the block
// (the trailer gives the size). A last block without a proper end is
// never expanded: the failure that follows it says why.
void ExpandStream::place_block(BlockExpansion& block) {
  const uint64_t index = block.place.index;
  if (counted_) {
    block.last = index + 1 == info_.header.block_count;
  } else if (peek().kind != BlockHead::kBlock) {
    block.last = true;
    const Head head = head_;
    head_.read = false;
    end_ = end_of_blocks(head);
    if (!end_ok_) return;
  }
  const uint32_t real = block.last ? real_bytes_of(index, size_, block_size_) : block_size_;
  block.place.key = block_key(index, block_size_, real);
  block.placed = true;
}

void ExpandStream::add_plain_sum(const BlockExpansion& block) {
  if (cipher_ != nullptr) return;
  if (info_.header.old_layout) {
    std::fputs(kOldHeaderWarning, stderr);
    sums_.plain_sum = elf_hash(sums_.plain_sum, block.output(), block.produced);
  } else if (block.in_worker) {
    sums_.plain_sum = adler32_combine(sums_.plain_sum, block.plain_sum, block.produced);
  } else {
    sums_.plain_sum = adler32(sums_.plain_sum, block.output(), block.produced);
  }
}

// Every block but the last holds a whole block of data; the last holds
// the rest of the size, then zero fill.
bool ExpandStream::write_block(const BlockExpansion& block) {
  uint64_t keep = block.produced;
  if (block.last) {
    const uint64_t rest = size_ - produced_;
    if (block.produced < rest) {
      report_corrupt(file_name_, "data ends early");
      return false;
    }
    const uint8_t* fill = block.output() + rest;
    const uint8_t* end = block.output() + block.produced;
    if (std::any_of(fill, end, [](uint8_t b) { return b != 0; })) {
      report_corrupt(file_name_, "data after the end of the input");
      return false;
    }
    keep = rest;
  } else if (block.produced != block_size_) {
    report_corrupt(file_name_, "block shorter than the block size");
    return false;
  }
  if (keep > 0 && !write_all(output_, block.output(), keep)) return false;
  produced_ += keep;
  meter_block(static_cast<int64_t>(block.place.index), block.stored.size(), keep,
              block.stored.size());
  return true;
}

// A block whose slot holds no algorithm: the stub's own warning (kept off
// standard output when that carries the data), then what is missing.
void ExpandStream::report_unavailable(const BlockExpansion& block) const {
  if (algorithm_entry(block.algorithm) == unavailable_algorithm) {
    std::FILE* to = output_ == STDOUT_FILENO ? stderr : stdout;
    std::fprintf(to, "%s\n", kUnavailableAlgorithmText);
    std::fflush(to);
  }
  const char* name = algorithm_name(block.algorithm);
  report("%s: block %llu needs algorithm %d (%s), which is not available.\n",
         display_name(file_name_), static_cast<unsigned long long>(block.place.index),
         static_cast<int>(block.algorithm), name != nullptr ? name : "a slot without a name");
}

bool ExpandStream::finish(BlockJob& job) {
  if (auto* failure = dynamic_cast<BlockFailure*>(&job)) {
    if (failure->memory_need != 0)
      report("%s: decoding needs %s of memory, more than the limit of %s (memory_limit).\n",
             display_name(file_name_), shown_size(failure->memory_need, true).c_str(),
             shown_size(resources_.memory_limit, false).c_str());
    else if (failure->reason != nullptr)
      report_corrupt(file_name_, failure->reason);
    else
      report_system_error("read", failure->error);
    return false;
  }
  auto& block = static_cast<BlockExpansion&>(job);
  reserved_ -= block.need;
  // Without the end of the list there is no size to cut the last block
  // at: the failure that follows says why.
  if (!block.placed) return true;
  if (info_.header.old_layout) std::fputs(kOldHeaderWarning, stderr);
  if (!block.in_worker) {
    report_unavailable(block);
    return false;
  }
  // The copy algorithm has no check: an empty copy block is too short.
  if (block.produced == 0 && algorithm_entry(block.algorithm) != copy_algorithm) {
    report("%s: corrupt file (block %llu fails its check%s).\n", display_name(file_name_),
           static_cast<unsigned long long>(block.place.index), cipher_ ? "; invalid key?" : "");
    return false;
  }
  if (block.produced > block_size_) {
    report_corrupt(file_name_, "block longer than the block size");
    return false;
  }
  add_plain_sum(block);
  progress_step(1);
  if (!write_block(block)) return false;
  if (block.plain) spare_blocks_.push_back(std::move(block.plain));
  spare_stored_.push_back(std::move(block.stored));
  return true;
}

}  // namespace mirt
