// Block-sorting codec: the first stored form and the choice between
// forms. Stored body of the first form, all numbers varints:
//   n, flags (0, or 1: long repeats removed), when 1 the escape byte and
//   m, the length after that pass; the primary index, the starts of the
//   inverse's parts; then one binary arithmetic-coded stream: the sorted
//   bytes as runs (bwt_model_v1.h), then when 1 the mark of each escape
//   byte. The second form (bwt_parts.cpp) has flags 2 or 3.
#include "bwt_codec.h"

#include "bwt_marks.h"
#include "bwt_model_v1.h"
#include "bwt_stored.h"

namespace mirt::bwt {

bool reduce(const unsigned char* src, uint32_t len, uint32_t stride, Reduced& r) {
  r.escape = least_used_byte(src, len);
  const uint32_t mark_cap = mark_bound(len);
  r.bytes = allocate<unsigned char>(len);
  r.marks = allocate<uint32_t>(mark_cap);
  if (!r.bytes || !r.marks) return false;
  r.length = remove_repeats(src, len, r.escape, r.bytes.get(), len, r.marks.get(), mark_cap, r.mark_count, stride);
  r.repeats = r.length != 0 && r.length < len - len / kRepeatGain;
  if (!r.repeats) {
    r.length = len;
    std::memcpy(r.bytes.get(), src, len);
    r.mark_count = 0;
  }
  for (uint32_t i = 0; i < r.length; ++i) r.bytes[i] = kSortOrder.rank[r.bytes[i]];
  return true;
}

// Defined in bwt_parts.cpp.
uint32_t encode_parts(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit, const Tasks& tasks);
uint32_t decode_parts(const unsigned char* src, const unsigned char* end, uint32_t n, uint32_t flags,
                      unsigned char* dst, const Tasks& tasks);
// Compressing: the peak of the second form's encoder. Decoding: its
// models and stream bookkeeping.
uint64_t parts_memory(bool compress, uint32_t block_size, uint32_t threads);

namespace {

uint32_t encode_first(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit) {
  Reduced r;
  if (!reduce(src, len, 1, r)) return kDeclined;
  const uint32_t m = r.length;
  auto last = allocate<unsigned char>(m);
  if (!last) return kDeclined;
  uint32_t starts[kMaxChains] = {};
  const uint32_t primary = forward(r.bytes.get(), m, last.get(), starts, Form::kFirst);
  r.bytes.reset();
  if (primary == 0) return kDeclined;
  unsigned char* const end = dst + limit;
  unsigned char* p = put_varint(dst, end, len);
  if (p != nullptr) p = put_varint(p, end, r.repeats ? 1 : 0);
  if (p != nullptr && r.repeats) p = put_varint(p, end, r.escape);
  if (p != nullptr && r.repeats) p = put_varint(p, end, m);
  if (p != nullptr) p = put_varint(p, end, primary);
  for (int j = 0; p != nullptr && j + 1 < chains_for(m, Form::kFirst); ++j) p = put_varint(p, end, starts[j]);
  if (p == nullptr) return kDeclined;

  auto runs = make_model<v1::RunModel>();
  auto marker = std::unique_ptr<model::MarkModel>(new (std::nothrow) model::MarkModel());
  if (!runs || !marker) return kDeclined;
  Encoder coder(p, static_cast<uint32_t>(end - p));
  if (!code_runs(coder, *runs, last.get(), m)) return kDeclined;
  for (uint32_t k = 0; k < r.mark_count; ++k) marker->code(coder, r.marks[k]);
  coder.flush();
  if (coder.overflow()) return kDeclined;
  return static_cast<uint32_t>(p - dst) + coder.size();
}

// Decodes the runs and then the marks into `sorted` and `marks`.
bool decode_first_streams(const unsigned char* p, const unsigned char* end, uint32_t m, uint32_t n, bool repeats,
                          unsigned char sorted_escape, unsigned char* sorted, std::unique_ptr<uint32_t[]>& marks,
                          uint32_t& mark_count) {
  auto runs = make_model<v1::RunModel>();
  if (!runs) return false;
  Decoder coder(p, static_cast<uint32_t>(end - p));
  if (!decode_runs(coder, *runs, sorted, m)) return false;
  runs.reset();
  if (!repeats) return true;
  // One mark per escape byte, coded after the runs.
  mark_count = static_cast<uint32_t>(std::count(sorted, sorted + m, sorted_escape));
  if (mark_count > mark_bound(n)) return false;
  marks = allocate<uint32_t>(std::max(mark_count, 1u));
  auto marker = std::unique_ptr<model::MarkModel>(new (std::nothrow) model::MarkModel());
  if (!marks || !marker) return false;
  for (uint32_t k = 0; k < mark_count; ++k) marks[k] = marker->code(coder, 0);
  return !overrun(coder);
}

// The sorted bytes go to the end of the destination; the inverse writes
// the reduced block over them, and the repeats are restored in place.
uint32_t decode_first(const unsigned char* p, const unsigned char* end, uint32_t n, uint32_t flags,
                      unsigned char* dst, const Tasks& tasks) {
  uint32_t escape = 0, m = n, primary = 0;
  if (flags == 1) {
    p = get_varint(p, end, escape);
    if (p != nullptr) p = get_varint(p, end, m);
    // Every escape byte stands for at least one byte.
    if (p == nullptr || escape > 255 || m == 0 || m > n) return kFailed;
  }
  if (p != nullptr) p = get_varint(p, end, primary);
  if (p == nullptr || primary == 0 || primary > m) return kFailed;
  uint32_t starts[kMaxChains] = {};
  for (int j = 0; p != nullptr && j + 1 < chains_for(m, Form::kFirst); ++j) p = get_varint(p, end, starts[j]);
  if (p == nullptr) return kFailed;
  unsigned char* const sorted = dst + (n - m);
  std::unique_ptr<uint32_t[]> marks;
  uint32_t mark_count = 0;
  if (!decode_first_streams(p, end, m, n, flags == 1, kSortOrder.rank[escape], sorted, marks, mark_count) ||
      !inverse(sorted, m, primary, starts, Form::kFirst, kSortOrder.byte, sorted, tasks))
    return kFailed;
  if (flags == 0) return n;
  return restore_repeats(sorted, m, static_cast<unsigned char>(escape), marks.get(), mark_count, dst, n);
}

}  // namespace

uint32_t encode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit, const Tasks& tasks,
                Form form) {
  if (len == 0 || len > kMaxBlock || limit == 0) return kDeclined;
  const uint32_t stored =
      form == Form::kFirst ? encode_first(src, len, dst, limit) : encode_parts(src, len, dst, limit, tasks);
  if (stored != kDeclined) tasks.progress(len);
  return stored;
}

uint32_t decode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t cap, const Tasks& tasks) {
  const unsigned char* const end = src + len;
  uint32_t n = 0, flags = 0;
  const unsigned char* p = get_varint(src, end, n);
  if (p != nullptr) p = get_varint(p, end, flags);
  if (p == nullptr || n == 0 || n > cap || n > kMaxBlock || flags > 3) return kFailed;
  const uint32_t plain = flags < 2 ? decode_first(p, end, n, flags, dst, tasks) : decode_parts(p, end, n, flags, dst, tasks);
  if (plain != kFailed) tasks.progress(plain);
  return plain;
}

// The first form's model, measured once (its tables are carved from one
// block).
uint64_t memory_for(bool compress, uint32_t block_size, uint32_t threads) {
  const uint64_t first_model = sizeof(v1::RunModel) + v1::RunModel::table_bytes();
  const uint64_t n = block_size;
  // Decoding: the next-row table (the sorted bytes and the reduced block
  // live in the destination), the marks, the repeat table; either form's
  // models.
  const uint64_t decode = 4 * (n + 1) + 4 * uint64_t{mark_bound(block_size)} + (uint64_t{4} << 18) +
                          std::max(first_model, parts_memory(false, block_size, threads));
  return compress ? parts_memory(true, block_size, threads) : decode;
}

}  // namespace mirt::bwt
