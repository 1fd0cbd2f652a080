// The match model: finds the longest recent repeat of the last bytes and
// follows it, so the model can predict the byte that came next last time.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

#include "cm/tuning.h"
#include "common/hash.h"

namespace mirt::cm {

// The table of where each hash of `min_len` bytes was last seen is read a
// byte after its slot was prefetched, and a candidate it names is checked
// a byte after that, so neither waits for memory. A repeat is picked up
// two bytes later than it could be, which costs next to nothing.
class MatchModel {
 public:
  bool init(const unsigned char* buf, int bits, uint32_t min_len) {
    buf_ = buf;
    bits_ = bits;
    min_len_ = min_len;
    last_.reset(new (std::nothrow) uint32_t[size_t{1} << bits]());
    return last_ != nullptr;
  }
  static uint64_t bytes(int bits) { return uint64_t{4} << bits; }

  // Length of the repeat followed (0: none) and where its next byte is.
  uint32_t length() const { return len_; }
  uint32_t next() const { return ptr_; }
  unsigned char expected() const { return buf_[ptr_]; }
  // The byte being coded left the repeat.
  void drop() { len_ = 0; }

  // After byte `c`, the byte at pos - 1.
  void update(uint32_t pos, uint32_t c) {
    if (len_ > 0) {
      if (buf_[ptr_] == c) {
        if (len_ < 65535) ++len_;
        ++ptr_;
      } else {
        len_ = 0;
      }
    }
    verify(pos);
    if (pending_) {
      // Lined up with the position one byte back, so two bytes ahead at
      // the next check.
      const uint32_t cand = last_[pending_slot_];
      last_[pending_slot_] = pos - 1;
      if (cand > 0 && len_ == 0) {
        verify_ = cand + 2;
        __builtin_prefetch(buf_ + cand + 1);
        if (cand >= 64) __builtin_prefetch(buf_ + cand - 63);
      }
    }
    pending_ = pos >= min_len_;
    if (!pending_) return;
    uint32_t h = 0;
    for (uint32_t k = 1; k <= min_len_; ++k) h = (h + buf_[pos - k] + 1) * coding::kStringStep;
    pending_slot_ = coding::mix32(h) >> (32 - bits_);
    __builtin_prefetch(&last_[pending_slot_]);
  }

 private:
  // verify_ lines up with the current position: the bytes before it
  // should equal the bytes before pos.
  void verify(uint32_t pos) {
    if (verify_ == 0) return;
    if (len_ == 0 && verify_ < pos) {
      uint32_t n = 0;
      while (n < kMatchVerify && n < verify_ && buf_[verify_ - 1 - n] == buf_[pos - 1 - n]) ++n;
      if (n >= min_len_) {
        len_ = n;
        ptr_ = verify_;
      }
    }
    verify_ = 0;
  }

  const unsigned char* buf_ = nullptr;
  std::unique_ptr<uint32_t[]> last_;
  int bits_ = 0;
  uint32_t min_len_ = 0;
  uint32_t len_ = 0;
  uint32_t ptr_ = 0;
  uint32_t verify_ = 0;
  uint32_t pending_slot_ = 0;
  bool pending_ = false;
};

}  // namespace mirt::cm
