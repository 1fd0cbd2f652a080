// Choosing the stored form of one block: every available algorithm is
// tried, each improvement is verified by expanding it again, and the
// smallest verified result wins; a tie keeps the lower slot. The choice
// depends only on the block and the tables, never on timing, so the
// candidates may run on any number of threads.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/pipeline.h"
#include "codec/settings.h"
#include "codec/tables.h"
#include "common/buffer.h"
#include "mirt/module.h"

namespace mirt {

// What one candidate did, replayed in slot order when the block is
// reported, exactly as a one-by-one trial would have shown it.
struct CandidateNote {
  uint8_t slot;
  int32_t shown_length;  // -1 for a declined or failed candidate
  bool became_best;
  bool verify_failed;
};

// Shared by every block of one stream; read-only once blocks run, except
// for the per-worker scratch, which only its worker touches.
class SelectionContext {
 public:
  // Candidates: the available slots that `choice` tries.
  // `whole_chain` verifies every candidate that improves on the ones before
  // it, as the report of each candidate and the complaint about each
  // failure need; without it the presumed winner is verified first and
  // the others only if it fails, which chooses the same block.
  SelectionContext(uint32_t block_size, unsigned workers, const AlgorithmChoice& choice,
                   bool whole_chain = true);
  uint32_t block_size() const { return block_size_; }
  uint32_t capacity() const { return capacity_; }  // mode 1 destination
  uint32_t limit() const { return limit_; }        // largest storable length
  const std::vector<int>& slots() const { return slots_; }
  bool whole_chain() const { return whole_chain_; }
  // The worker's block-sized buffer for expanding candidates.
  uint8_t* verify_buffer(unsigned worker);

 private:
  uint32_t block_size_;
  uint32_t capacity_;
  uint32_t limit_;
  std::vector<int> slots_;  // available slots that are tried, in increasing order
  bool whole_chain_;
  std::vector<Buffer> verify_;
};

class BlockChoice : public BlockJob {
 public:
  // `plain` holds the block, zero fill included; `place` is where it goes.
  BlockChoice(SelectionContext& context, Buffer plain, const BlockPlace& place);
  void plan(std::vector<BlockTask>& tasks) override;

  // Once planning is over:
  bool chosen() const { return best_ >= 0; }
  uint8_t algorithm() const;
  uint32_t length() const;
  uint8_t* stored();  // the winner's bytes, writable (a cipher works in place)
  const std::vector<CandidateNote>& notes() const { return notes_; }
  const uint8_t* plain() const { return plain_.get(); }
  Buffer take_plain() { return std::move(plain_); }

 private:
  struct Candidate {
    uint32_t length = MR_DECLINED;
    Buffer data;         // null for the copy algorithm: the block itself
    int8_t verified = -1;  // -1 not yet known, 0 failed, 1 gives the block back
  };
  void compress(size_t index);
  void verify(size_t index, unsigned worker);
  // Replays the trial in slot order; lists candidates whose verification
  // the replay needs but does not know yet. Empty: the choice is final.
  std::vector<size_t> replay();

  SelectionContext& context_;
  Buffer plain_;
  const BlockPlace place_;
  std::vector<Candidate> candidates_;  // one per context slot
  std::vector<CandidateNote> notes_;
  int best_ = -1;  // index into candidates_
  bool compressed_ = false;
  // Of the block's bytes on the progress line, what each call of the
  // current round stands for: compressing is most of the work.
  static constexpr uint64_t kCompressPart = 80;
  uint64_t meter_share_ = 0;
};

}  // namespace mirt
