#include "codec/settings.h"

#include <unistd.h>

#include "codec/codec.h"

namespace mirt {

uint32_t BlockSizeRules::choose(uint64_t input_size) const {
  return fixed != 0 ? fixed : rule_size(input_size);
}

uint32_t BlockSizeRules::rule_size(uint64_t input_size) const {
  if (input_size == 0) return pipe != 0 ? pipe : default_block_size(0);
  if (limit == 0) return default_block_size(input_size);
  if (input_size <= limit) return static_cast<uint32_t>(input_size + 5);
  if (!even) return limit;
  // As few blocks as the limit allows, all of one size, so that the cores
  // share a file's blocks evenly.
  const uint64_t count = (input_size + limit - 1) / limit;
  return static_cast<uint32_t>((input_size + count - 1) / count);
}

bool AlgorithmChoice::tries(int slot) const {
  if (slot == 0 || !tried) return true;
  return slot > 0 && slot < kAlgorithmSlots && tried->test(static_cast<size_t>(slot));
}

unsigned Resources::worker_threads() const {
  // More threads than this only cost memory (two blocks each).
  constexpr uint32_t kMostThreads = 256;
  if (threads != 0) return threads < kMostThreads ? threads : kMostThreads;
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online <= 0) return 1;
  return online < kMostThreads ? static_cast<unsigned>(online) : kMostThreads;
}

}  // namespace mirt
