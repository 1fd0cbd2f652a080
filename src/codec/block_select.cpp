#include "codec/block_select.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>

#include "codec/format.h"
#include "codec/tables.h"
#include "status/meter.h"

namespace mirt {
namespace {

// How long each slot took per KiB of block, smoothed. Only the order in
// which a block's candidates are started depends on it, never a result:
// the slowest start first, so one block spreads over every worker.
std::atomic<uint32_t> g_cost_per_kib[kAlgorithmSlots];

uint64_t expected_cost(int slot, uint32_t block_size) {
  const uint32_t per_kib = g_cost_per_kib[slot].load(std::memory_order_relaxed);
  // Unmeasured slots go first, later slots (the heavier codecs) ahead.
  if (per_kib == 0) return UINT64_MAX - kAlgorithmSlots + static_cast<uint64_t>(slot);
  return uint64_t{per_kib} * (block_size / 1024 + 1);
}

void learn_cost(int slot, uint32_t block_size, std::chrono::nanoseconds spent) {
  const uint64_t per_kib = static_cast<uint64_t>(spent.count()) / (block_size / 1024 + 1) + 1;
  const uint32_t sample = static_cast<uint32_t>(std::min<uint64_t>(per_kib, UINT32_MAX / 2));
  const uint32_t old = g_cost_per_kib[slot].load(std::memory_order_relaxed);
  g_cost_per_kib[slot].store(old == 0 ? sample : (old * 3 + sample) / 4,
                             std::memory_order_relaxed);
}

// Largest stored length the block record's length field can carry.
uint32_t storable_length(uint32_t block_size) {
  const int width = length_field_width(block_size);
  if (width >= 4) return MR_DECLINED - 1;
  return (uint32_t{1} << (8 * width)) - 1;
}

}  // namespace

SelectionContext::SelectionContext(uint32_t block_size, unsigned workers,
                                   const AlgorithmChoice& choice, bool whole_chain)
    : block_size_(block_size),
      capacity_(static_cast<uint32_t>(std::min<uint64_t>(2 * uint64_t{block_size}, UINT32_MAX))),
      limit_(std::min(storable_length(block_size), capacity_)),
      whole_chain_(whole_chain),
      verify_(workers == 0 ? 1 : workers) {
  const int highest = highest_available_algorithm();
  for (int slot = 0; slot <= highest; ++slot)
    if (algorithm_available(slot) && choice.tries(slot)) slots_.push_back(slot);
}

uint8_t* SelectionContext::verify_buffer(unsigned worker) {
  Buffer& buffer = verify_.at(worker);
  if (!buffer) buffer = allocate_buffer(block_size_);
  return buffer.get();
}

BlockChoice::BlockChoice(SelectionContext& context, Buffer plain, const BlockPlace& place)
    : context_(context),
      plain_(std::move(plain)),
      place_(place),
      candidates_(context.slots().size()) {}

uint8_t BlockChoice::algorithm() const {
  return static_cast<uint8_t>(context_.slots()[static_cast<size_t>(best_)]);
}

uint32_t BlockChoice::length() const { return candidates_[static_cast<size_t>(best_)].length; }

uint8_t* BlockChoice::stored() {
  Candidate& winner = candidates_[static_cast<size_t>(best_)];
  return winner.data ? winner.data.get() : plain_.get();
}

void BlockChoice::plan(std::vector<BlockTask>& tasks) {
  if (!compressed_) {
    compressed_ = true;
    const auto& slots = context_.slots();
    for (size_t i = 0; i < slots.size(); ++i) {
      // The copy algorithm's output is the block itself: nothing to run.
      if (algorithm_entry(slots[i]) == copy_algorithm) {
        candidates_[i].length = context_.block_size();
        candidates_[i].verified = 1;
        continue;
      }
      tasks.push_back({[this, i](unsigned) { compress(i); },
                       expected_cost(slots[i], context_.block_size())});
    }
    if (!tasks.empty()) {
      meter_share_ = uint64_t{context_.block_size()} * kCompressPart / 100 / tasks.size();
      return;
    }
  }
  const std::vector<size_t> unknown = replay();
  if (!unknown.empty())
    meter_share_ = uint64_t{context_.block_size()} * (100 - kCompressPart) / 100 / unknown.size();
  for (size_t i : unknown)
    tasks.push_back({[this, i](unsigned worker) { verify(i, worker); },
                     candidates_[i].length});
}

void BlockChoice::compress(size_t index) {
  const int slot = context_.slots()[index];
  Candidate& candidate = candidates_[index];
  Buffer out = allocate_buffer(context_.capacity());
  const MeterCall meter(place_.index, meter_share_, context_.block_size(),
                        MeterCall::kind(slot, false));
  const auto start = std::chrono::steady_clock::now();
  uint32_t length = call_algorithm(slot, MR_MODE_COMPRESS, plain_.get(), out.get(),
                                   context_.block_size(), context_.capacity(), &place_);
  learn_cost(slot, context_.block_size(), std::chrono::steady_clock::now() - start);
  if (length != MR_DECLINED && length > context_.limit()) length = MR_DECLINED;
  candidate.length = length;
  if (length == MR_DECLINED) return;
  shrink_buffer(out, length);
  candidate.data = std::move(out);
}

void BlockChoice::verify(size_t index, unsigned worker) {
  Candidate& candidate = candidates_[index];
  uint8_t* back = context_.verify_buffer(worker);
  const uint32_t size = context_.block_size();
  const MeterCall meter(place_.index, meter_share_, size,
                        MeterCall::kind(context_.slots()[index], true));
  const uint32_t produced = call_algorithm(context_.slots()[index], MR_MODE_DECOMPRESS,
                                           candidate.data.get(), back, candidate.length, size,
                                           &place_);
  candidate.verified =
      produced == size && (size == 0 || std::memcmp(back, plain_.get(), size) == 0) ? 1 : 0;
}

std::vector<size_t> BlockChoice::replay() {
  std::vector<size_t> unknown;
  notes_.clear();
  best_ = -1;
  uint32_t best_length = 0;
  for (size_t i = 0; i < candidates_.size(); ++i) {
    const Candidate& candidate = candidates_[i];
    CandidateNote note{static_cast<uint8_t>(context_.slots()[i]),
                       static_cast<int32_t>(candidate.length), false, false};
    // Only an improvement is verified; a later slot must be strictly smaller.
    if (candidate.length != MR_DECLINED && (best_ < 0 || candidate.length < best_length)) {
      if (candidate.verified < 0) unknown.push_back(i);
      // Until it is known, assume it holds: so is the rest of the chain.
      if (candidate.verified != 0) {
        best_ = static_cast<int>(i);
        best_length = candidate.length;
        note.became_best = true;
      } else {
        note.verify_failed = true;
        note.shown_length = -1;
      }
    }
    notes_.push_back(note);
  }
  // The last of the chain is the smallest candidate; once it holds, the
  // ones before it cannot change the choice.
  if (!context_.whole_chain() && !unknown.empty()) {
    unknown.clear();
    if (candidates_[static_cast<size_t>(best_)].verified < 0)
      unknown.push_back(static_cast<size_t>(best_));
  }
  if (unknown.empty()) {
    // Final: only the winner's bytes are still needed.
    for (size_t i = 0; i < candidates_.size(); ++i)
      if (static_cast<int>(i) != best_) candidates_[i].data.reset();
  }
  return unknown;
}

}  // namespace mirt
