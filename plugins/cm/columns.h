// Where the next byte stands in two dimensions: its column and the byte
// above it, in the previous line of text, or one record back when the
// data repeats at a fixed distance (a byte value seen at the same
// distance several times in a row sets the record length).
#pragma once

#include <cstdint>

namespace mirt::cm {

class Columns {
 public:
  struct Place {
    uint32_t col;
    uint32_t above;
  };

  // After byte `c`, the byte at pos - 1.
  void update(const unsigned char* buf, uint32_t pos, uint32_t c) {
    const uint32_t at = pos - 1;
    if (c == '\n') {
      prev_line_ = line_start_;
      line_start_ = pos;
    }
    const uint32_t dist = at - last_at_[c];
    if (last_at_[c] != 0 && dist == last_dist_[c] && dist > 1) {
      if (++repeats_[c] >= 3 && dist != record_) record_ = dist;
    } else {
      repeats_[c] = 0;
    }
    last_dist_[c] = dist;
    last_at_[c] = at;
    here_ = place(buf, pos, line_start_, prev_line_, pos, 0);
  }

  Place here() const { return here_; }
  uint32_t record() const { return record_; }

  // The place after the byte at pos were `g`. (It ignores a change of
  // record length at that byte: it serves guesses, and a wrong guess is
  // harmless.)
  Place after(const unsigned char* buf, uint32_t pos, uint32_t g) const {
    const uint32_t next = pos + 1;
    uint32_t start = line_start_;
    uint32_t prev = prev_line_;
    if (g == '\n') {
      prev = start;
      start = next;
    }
    return place(buf, next, start, prev, pos, g);
  }

 private:
  bool uses_record(uint32_t start, uint32_t pos) const {
    return record_ > 0 && (start == 0 || pos - start > 256);
  }

  // The place of pos, for a line starting at `start` after one starting
  // at `prev`; `buf` holds the bytes before `known`, and the byte at
  // `known` would be `g`.
  Place place(const unsigned char* buf, uint32_t pos, uint32_t start, uint32_t prev, uint32_t known,
              uint32_t g) const {
    if (uses_record(start, pos))  // record_ > 1: a known byte
      return {pos % record_, pos >= record_ ? uint32_t{buf[pos - record_]} : 0u};
    const uint32_t col = pos - start;
    const uint32_t up = prev + col;
    if (up >= start) return {col, 0};
    return {col, up < known ? uint32_t{buf[up]} : g};
  }

  Place here_{0, 0};
  uint32_t line_start_ = 0;
  uint32_t prev_line_ = 0;
  uint32_t record_ = 0;
  uint32_t last_at_[256] = {};
  uint32_t last_dist_[256] = {};
  uint8_t repeats_[256] = {};
};

}  // namespace mirt::cm
