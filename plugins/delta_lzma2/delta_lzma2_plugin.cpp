// Byte-wise delta before LZMA2, for tables of fixed-width numeric records
// (samples, pixels, counters). Stored form: one byte holding the record
// width minus one, then the raw LZMA2 data.
#include <cmath>

#include "common/lzma2.h"

namespace mirt {
namespace {

constexpr uint32_t kMaxDistance = 32;
constexpr uint32_t kSample = 256 * 1024;

// Order-0 entropy of a histogram, in bits for the whole sample.
double entropy_bits(const uint32_t (&counts)[256], uint32_t total) {
  double bits = 0;
  for (uint32_t c : counts)
    if (c != 0) bits -= c * std::log2(static_cast<double>(c) / total);
  return bits;
}

// The width whose differences are clearly more predictable than the bytes
// themselves, or 0 when no width is worth an LZMA2 pass.
uint32_t pick_distance(const unsigned char* src, uint32_t len) {
  if (len < 4096) return 0;
  const uint32_t n = len < kSample ? len : kSample;
  const unsigned char* s = src + (len - n) / 2;
  uint32_t counts[256] = {};
  for (uint32_t i = kMaxDistance; i < n; ++i) ++counts[s[i]];
  const uint32_t total = n - kMaxDistance;
  const double plain = entropy_bits(counts, total);
  double best = plain * 0.75;
  uint32_t chosen = 0;
  for (uint32_t d = 1; d <= kMaxDistance; ++d) {
    uint32_t diffs[256] = {};
    for (uint32_t i = kMaxDistance; i < n; ++i)
      ++diffs[static_cast<unsigned char>(s[i] - s[i - d])];
    const double bits = entropy_bits(diffs, total);
    if (bits < best) {
      best = bits;
      chosen = d;
    }
  }
  return chosen;
}

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  const uint32_t distance = pick_distance(src, len);
  if (distance == 0 || limit < 2) return MR_DECLINED;
  lzma_options_delta delta{};
  delta.type = LZMA_DELTA_TYPE_BYTE;
  delta.dist = distance;
  dst[0] = static_cast<unsigned char>(distance - 1);
  const uint32_t body =
      plugin::lzma2_encode(LZMA_FILTER_DELTA, &delta, src, len, dst + 1, limit - 1);
  return body == MR_DECLINED ? MR_DECLINED : body + 1;
}

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  if (len < 2) return MR_FAILED;
  lzma_options_delta delta{};
  delta.type = LZMA_DELTA_TYPE_BYTE;
  delta.dist = uint32_t{src[0]} + 1;
  return plugin::lzma2_decode(LZMA_FILTER_DELTA, &delta, src + 1, len - 1, dst, cap);
}

uint64_t memory(uint32_t mode, uint32_t block_size, uint32_t) {
  lzma_options_delta delta{};
  delta.type = LZMA_DELTA_TYPE_BYTE;
  delta.dist = kMaxDistance;
  return plugin::lzma2_memory(LZMA_FILTER_DELTA, &delta, mode, block_size);
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(21, "Delta + LZMA2 Compression",
                    (mirt::plugin::entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::memory);
