// The Burrows-Wheeler transform of a block and its inverses. Rows are
// those of the rotations of the block followed by an end marker smaller
// than every byte; the last column leaves out the marker's own entry (at
// the primary index). Both inverses rebuild the block in several parts at
// once: walking one part is a chain of cache misses, several at once
// overlap them, and parts can go to different threads.
#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "bwt_codec.h"
#include "common/pages.h"

namespace mirt::bwt {
namespace {

template <class T>
std::unique_ptr<T[]> allocate(size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

// Part j of a block of n bytes in `chains` parts: [begin(j), begin(j + 1)).
uint32_t part_begin(uint32_t n, int chains, int j) {
  return static_cast<uint32_t>(static_cast<uint64_t>(n) * static_cast<uint32_t>(j) / static_cast<uint32_t>(chains));
}

// The full row (the marker's counted) of an index of the last column.
inline uint32_t full_row(uint32_t index, uint32_t primary) { return index < primary ? index : index + 1; }

}  // namespace

int chains_for(uint32_t n, Form form) {
  if (n < 65536) return 1;
  if (n < (1u << 21)) return 4;
  return form == Form::kFirst ? 8 : kMaxChains;  // 16 rebuild a 4 MiB block 15% faster than 8
}

// The last column overwrites the suffix array from its start: entry i is
// read before byte i + 1 is written, and 4 i >= i + 1 past the first.
uint32_t sort_block(const unsigned char* src, uint32_t n, int chains, std::unique_ptr<int32_t[]>& sa,
                    uint32_t* starts) {
  if (n == 0 || n > kMaxBlock) return 0;
  sa = allocate<int32_t>(size_t{n} + kSortSlack);
  if (!sa || divsufsort(src, sa.get(), static_cast<saidx_t>(n)) != 0) return 0;
  auto* out = reinterpret_cast<unsigned char*>(sa.get());
  uint32_t primary = 0;
  uint32_t pos = static_cast<uint32_t>(sa[0]);
  out[0] = src[n - 1];
  for (uint32_t i = 0; i < n; ++i) {
    if (i > 0) pos = static_cast<uint32_t>(sa[i]);
    if (pos == 0) {
      primary = i + 1;
      continue;
    }
    const uint32_t index = primary == 0 ? i + 1 : i;
    out[index] = src[pos - 1];
    // The part that begins at `pos` starts from this row.
    if (chains > 1) {
      const auto part = static_cast<int>(static_cast<uint64_t>(pos) * static_cast<uint32_t>(chains) / n);
      for (int j = part; j <= part + 1; ++j)
        if (j > 0 && j < chains && part_begin(n, chains, j) == pos) starts[j - 1] = index;
    }
  }
  return primary;
}

uint32_t forward(const unsigned char* src, uint32_t n, unsigned char* out, uint32_t* starts, Form form) {
  std::unique_ptr<int32_t[]> sa;
  const uint32_t primary = sort_block(src, n, chains_for(n, form), sa, starts);
  if (primary != 0) std::memcpy(out, sa.get(), n);
  return primary;
}

namespace {

bool starts_valid(uint32_t n, uint32_t primary, int chains, const uint32_t* starts) {
  if (n == 0 || primary == 0 || primary > n) return false;
  for (int j = 0; j + 1 < chains; ++j)
    if (starts[j] >= n) return false;
  return true;
}

}  // namespace

namespace {

// The byte of the first column at a full row: rows are sorted, so the
// byte is the bucket the row falls in. A table per stripe of rows names
// the bucket of its first row; few stripes hold a bucket boundary.
class FirstColumn {
 public:
  FirstColumn(const uint32_t* bucket_start, uint32_t rows) : start_(bucket_start) {
    while ((rows >> shift_) >= kStripes) ++shift_;
    int c = 0;
    for (uint32_t s = 0; s < kStripes; ++s) {
      while (c < 255 && (s << shift_) >= start_[c + 1]) ++c;
      first_[s] = static_cast<uint8_t>(c);
    }
  }
  int byte_at(uint32_t row) const {
    int c = first_[row >> shift_];
    while (c < 255 && row >= start_[c + 1]) ++c;
    return c;
  }

 private:
  static constexpr uint32_t kStripes = 4096;
  const uint32_t* start_;
  int shift_ = 0;
  uint8_t first_[kStripes];
};

// Smaller blocks are rebuilt faster than threads start.
uint32_t threads_for(uint32_t n, const Tasks& tasks) { return n < (1u << 20) ? 1 : tasks.threads(); }

// Walks parts [a, b) forwards at once; `step(r, k)` writes position k
// from row r and returns the next row.
template <class Step>
void walk_forward(uint32_t n, int chains, int a, int b, const uint32_t* start_row, Step step) {
  uint32_t row[kMaxChains], at[kMaxChains], end[kMaxChains];
  uint32_t shortest = n;
  for (int j = a; j < b; ++j) {
    row[j] = start_row[j];
    at[j] = part_begin(n, chains, j);
    end[j] = part_begin(n, chains, j + 1);
    shortest = std::min(shortest, end[j] - at[j]);
  }
  for (uint32_t s = 0; s < shortest; ++s)
    for (int j = a; j < b; ++j) row[j] = step(row[j], at[j]++);
  for (int j = a; j < b; ++j)
    while (at[j] < end[j]) row[j] = step(row[j], at[j]++);
}

// How often each byte occurs in src[0..n), in four tables side by side:
// the sorted bytes come in runs, and one table would wait for each
// increment of a byte before the next.
void count_bytes(const unsigned char* src, uint32_t n, uint32_t* count) {
  uint32_t part[4][256] = {};
  uint32_t j = 0;
  for (; j + 4 <= n; j += 4) {
    ++part[0][src[j]];
    ++part[1][src[j + 1]];
    ++part[2][src[j + 2]];
    ++part[3][src[j + 3]];
  }
  for (; j < n; ++j) ++part[0][src[j]];
  for (int c = 0; c < 256; ++c) count[c] = part[0][c] + part[1][c] + part[2][c] + part[3][c];
}

// Sets next[] of the rows of indexes [from, to) of the last column, whose
// full rows are `skip` further on; at[c] is the next row of byte c.
template <bool kPacked>
void place_rows(const unsigned char* last, uint32_t from, uint32_t to, uint32_t skip, const unsigned char* byte_of,
                uint32_t* at, uint32_t* next) {
  for (uint32_t j = from; j < to; ++j) {
    const unsigned char c = last[j];
    next[at[c]++] = kPacked ? (j + skip) << 8 | byte_of[c] : j + skip;
  }
}

// Fills next[r] for every full row r in 1..n with the row of the suffix
// one byte further on (and, packed, the byte of row r in the low 8 bits),
// and bucket[c] with the first full row of byte c. Segments of the last
// column are counted, then placed, side by side.
bool build_next(const unsigned char* last, uint32_t n, uint32_t primary, const unsigned char* byte_of, bool packed,
                uint32_t* next, uint32_t* bucket, const Tasks& tasks) {
  const uint32_t segments = threads_for(n, tasks);
  auto count = allocate<uint32_t[256]>(segments);
  if (!count) return false;
  auto segment = [&](uint32_t s) { return part_begin(n, static_cast<int>(segments), static_cast<int>(s)); };
  tasks.run(segments, [&](uint32_t s) { count_bytes(last + segment(s), segment(s + 1) - segment(s), count[s]); });
  uint32_t row = 1;  // row 0 is the marker's
  for (int c = 0; c < 256; ++c) {
    bucket[c] = row;
    for (uint32_t s = 0; s < segments; ++s) {
      const uint32_t k = count[s][c];
      count[s][c] = row;
      row += k;
    }
  }
  bucket[256] = row;
  tasks.run(segments, [&](uint32_t s) {
    // Indexes below the primary one are their full rows, the rest one less.
    const uint32_t b = segment(s), e = segment(s + 1), split = std::clamp(primary, b, e);
    auto place = packed ? place_rows<true> : place_rows<false>;
    place(last, b, split, 0, byte_of, count[s], next);
    place(last, split, e, 1, byte_of, count[s], next);
  });
  return true;
}

}  // namespace

// The mapping from a row to the row one byte further on, walked forwards
// from the row of each part's first position (the primary index for part
// 0). Below 2^24 rows an entry holds the next row and the row's own byte;
// above, the byte comes from the first column.
bool inverse(const unsigned char* last, uint32_t n, uint32_t primary, const uint32_t* starts, Form form,
             const unsigned char* byte_of, unsigned char* out, const Tasks& tasks) {
  const int chains = chains_for(n, form);
  if (!starts_valid(n, primary, chains, starts)) return false;
  // Small pages: huge ones saved about a tenth of the walk's time on a
  // 32 MiB block, but faulting them in cost up to 1.4 s where the host
  // had reclaimed free memory, against 0.1 s for small pages.
  coding::Pages pages;
  if (!pages.map((size_t{n} + 1) * sizeof(uint32_t), false)) return false;
  uint32_t* const next = pages.as<uint32_t>();
  const bool packed = n < (1u << 24);
  std::vector<uint32_t> bucket(257);
  if (!build_next(last, n, primary, byte_of, packed, next, bucket.data(), tasks)) return false;
  next[0] = packed ? primary << 8 : primary;  // the marker's row, reached only by damaged input
  uint32_t row[kMaxChains];
  row[0] = primary;
  for (int j = 1; j < chains; ++j) row[j] = full_row(starts[j - 1], primary);
  const FirstColumn first(bucket.data(), n + 1);
  const uint32_t groups = std::min<uint32_t>(static_cast<uint32_t>(chains), threads_for(n, tasks));
  tasks.run(groups, [&](uint32_t g) {
    const int a = static_cast<int>(g * static_cast<uint32_t>(chains) / groups);
    const int b = static_cast<int>((g + 1) * static_cast<uint32_t>(chains) / groups);
    walk_forward(n, chains, a, b, row, [&](uint32_t r, uint32_t k) {
      const uint32_t v = next[r];
      if (packed) {
        out[k] = static_cast<unsigned char>(v);
        return v >> 8;
      }
      out[k] = byte_of[first.byte_at(r)];
      return v;
    });
  });
  return true;
}

}  // namespace mirt::bwt
