// The block stage of the decompressor: the blocks of one container read
// in order, expanded on any thread, checked and written in order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/format.h"
#include "codec/pipeline.h"
#include "codec/reader.h"
#include "codec/settings.h"
#include "codec/tables.h"
#include "common/buffer.h"
#include "common/types.h"

namespace mirt {

// What the header and the extension records say about one container.
struct ContainerInfo {
  ContainerHeader header;
  std::vector<std::string> locations;
  uint64_t program_length = 0;
  int cipher = -1;
};

// "mirt: NAME: corrupt file (REASON).\n"
void report_corrupt(const char* file_name, const char* reason);

class BlockExpansion;

// The blocks of one container: read in order (the cipher state runs
// through them), expanded anywhere, checked and written in order. Each
// block's expansion is bound to its place by its key, which for the last
// block depends on the size; without a size in the header that comes from
// the trailer, so a block is handed on only once the reader has seen what
// follows it.
class ExpandStream : public BlockStage {
 public:
  ExpandStream(int input, int output, const char* file_name, ChecksumRecord& sums,
               const ContainerInfo& info, const Resources& resources)
      : input_(input),
        output_(output),
        file_name_(file_name),
        sums_(sums),
        info_(info),
        resources_(resources),
        block_size_(info.header.block_size),
        width_(length_field_width(info.header.block_size)),
        counted_(counted_blocks(info.header)),
        size_(info.header.uncompressed_size) {}

  bool start_cipher();
  bool run() { return run_pipeline(*this, PipelineShape{resources_.worker_threads(), false}); }
  uint64_t size() const { return size_; }

  std::unique_ptr<BlockJob> next() override;
  bool finish(BlockJob& job) override;
  bool may_read() override;

 private:
  // The head of the next block record, read ahead of its data.
  struct Head {
    bool read = false;
    BlockHead kind = BlockHead::kEndOfInput;
    uint8_t algorithm = 0;
    uint32_t length = 0;
    int error = 0;
  };
  const Head& peek();
  // Memory a block holds while in flight: its plain and stored bytes, a
  // cipher's scratch space, and its algorithm's working memory on
  // `threads` threads.
  uint64_t block_need(const Head& head, uint32_t threads) const;
  bool at_counted_end() const;
  std::unique_ptr<BlockJob> fail(const char* reason, int error = 0);
  std::unique_ptr<BlockJob> end_of_blocks(const Head& head);
  std::unique_ptr<BlockJob> read_block(uint8_t algorithm, uint32_t stored_length);
  void place_block(BlockExpansion& block);
  Buffer take_block();
  bool decrypt(std::vector<uint8_t>& stored);
  void add_plain_sum(const BlockExpansion& block);
  bool write_block(const BlockExpansion& block);
  void report_unavailable(const BlockExpansion& block) const;

  const int input_;
  const int output_;
  const char* const file_name_;
  ChecksumRecord& sums_;
  const ContainerInfo& info_;
  const Resources& resources_;  // threads, and the memory limit blocks in flight fit
  const uint32_t block_size_;
  const int width_;
  const bool counted_;
  uint64_t size_;  // known from the header, or once the trailer is read
  Head head_;
  std::unique_ptr<BlockJob> end_;  // what ended the list, after the last block
  bool ended_ = false;
  bool end_ok_ = false;
  uint64_t read_ = 0;
  uint64_t produced_ = 0;
  uint64_t reserved_ = 0;  // block_need() of the blocks in flight
  CipherEntry cipher_ = nullptr;
  std::vector<uint8_t> cipher_state_;
  std::vector<uint8_t> cipher_scratch_;
  // Buffers of finished blocks, reused: no fresh allocation (and page
  // faults) per block.
  std::vector<Buffer> spare_blocks_;
  std::vector<std::vector<uint8_t>> spare_stored_;
};

}  // namespace mirt
