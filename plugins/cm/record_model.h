// The record length of a table of fixed-width binary records, found from
// the data: a byte value seen again at the same distance as last time
// votes for that distance, and the distance with the most votes (halved
// at every check, so the table may change) becomes the record length once
// it clearly leads.
#pragma once

#include <cstdint>

#include "cm/tuning.h"

namespace mirt::cm {

class RecordFinder {
 public:
  // After byte `c`, the byte at pos - 1.
  void update(uint32_t pos, uint32_t c) {
    const uint32_t at = pos - 1;
    const uint32_t dist = at - last_at_[c];
    if (last_at_[c] != 0 && dist == last_dist_[c] && dist >= kMinRecord && dist <= kMaxRecord) ++votes_[dist];
    last_dist_[c] = dist;
    last_at_[c] = at;
    if (pos % kRecordCheck == 0) choose();
  }

  // 0 while none is known.
  uint32_t length() const { return length_; }

 private:
  void choose() {
    uint32_t best = 0;
    for (uint32_t d = kMinRecord; d <= kMaxRecord; ++d)
      if (votes_[d] > votes_[best]) best = d;
    if (votes_[best] >= kRecordMinVotes && votes_[best] > 2 * votes_[length_]) length_ = best;
    if (votes_[length_] < kRecordMinVotes / 4) length_ = 0;
    for (uint32_t& v : votes_) v /= 2;
  }

  uint32_t length_ = 0;
  uint32_t votes_[kMaxRecord + 1] = {};
  uint32_t last_at_[256] = {};
  uint32_t last_dist_[256] = {};
};

}  // namespace mirt::cm
