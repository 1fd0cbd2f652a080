// The second stored form of the block-sorting codec, all numbers varints:
//   n, flags (2, or 3: long repeats removed), when 3 the escape byte and
//   m, the length after that pass; the primary index, the starts of the
//   inverse's parts (chains_for(m) - 1); for each of the P = parts_for(m)
//   parts the number of sorted bytes it holds, then the length of its
//   coded stream; the streams; when 3 the marks' stream.
// Each part codes its sorted bytes as runs with a model of its own
// (bwt_model.h), so parts code and decode side by side. Neither bytes nor
// runs cost the same everywhere (the block's start sorts the most varied
// contexts, whose runs are short and of rare bytes), so the parts hold
// equal shares of an estimate of the decoding time; P is even and depends
// only on m, so two threads share the parts evenly.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <vector>

#include "bwt_codec.h"
#include "bwt_marks.h"
#include "bwt_model.h"
#include "bwt_stored.h"

namespace mirt::bwt {

namespace {

// Sorted bytes per part: a fresh model costs about 0.05% at this size.
constexpr uint32_t kPartBytes = 1u << 20;
// Positions the repeat pass remembers: one in four (0.05% larger, a
// quarter of the decoder's hashing).
constexpr uint32_t kRepeatStride = 4;

uint32_t parts_for(uint32_t m) {
  const uint32_t p = (m + kPartBytes - 1) / kPartBytes;
  return p <= 1 ? 1 : (p + 1) & ~1u;
}

// What decoding a run costs, in about 6 ns steps (measured on the corpus
// files): a run costs its rank flags, and six for each step of its length
// and, past the flags, of its place.
uint32_t run_cost(int rank, uint32_t length) {
  constexpr int kFlags = model::Tuning::kRankFlags;
  const auto steps = [](uint32_t v) { return static_cast<uint32_t>(2 * std::bit_width(v) - 1); };
  const uint32_t place = rank > kFlags ? steps(static_cast<uint32_t>(rank - kFlags)) : 0;
  return static_cast<uint32_t>(std::min(rank, kFlags)) + 6 * (place + steps(length));
}

// Writes the cost of each run of last[0..m) in turn, 2 bytes each, to
// `cost`; returns their sum.
uint64_t run_costs(const unsigned char* last, uint32_t m, unsigned char* cost) {
  Recency recent;
  uint64_t total = 0;
  for (uint32_t i = 0; i < m;) {
    const unsigned char c = last[i];
    uint32_t j = i + 1;
    while (j < m && last[j] == c) ++j;
    const int rank = recent.rank_of(c);
    const auto c16 = static_cast<uint16_t>(run_cost(rank, j - i));
    std::memcpy(cost, &c16, 2);
    cost += 2;
    total += c16;
    recent.move_to_front(rank, j - i);
    i = j;
  }
  return total;
}

// Where each part begins: at the first run past an equal share of the
// runs' cost, so that the parts take as long to decode. `cost` has room
// for 2 m bytes.
std::vector<uint32_t> part_bounds(const unsigned char* last, uint32_t m, uint32_t parts, unsigned char* cost) {
  std::vector<uint32_t> bound = {0};
  if (parts > 1) {
    const uint64_t total = run_costs(last, m, cost);
    auto next_cost = [&cost] {
      uint16_t c16;
      std::memcpy(&c16, cost, 2);
      cost += 2;
      return c16;
    };
    uint64_t seen = next_cost();
    for (uint32_t i = 1; i < m && bound.size() < parts; ++i) {
      if (last[i] == last[i - 1]) continue;
      if (seen * parts >= total * bound.size()) bound.push_back(i);
      seen += next_cost();
    }
  }
  while (bound.size() < parts) bound.push_back(m);
  bound.push_back(m);
  return bound;
}

// One coded stream, in room of its own until the block is assembled: the
// parts' in the suffix array's memory past the last column (which takes
// its first quarter), the marks' in a buffer.
struct Stream {
  std::unique_ptr<unsigned char[]> own;
  unsigned char* bytes = nullptr;
  uint32_t size = 0;
  bool ok = false;
};

// Room for a part: twice its sorted bytes, more than even incompressible
// data takes (and then the copy algorithm wins the block anyway).
uint32_t part_room(uint32_t length) { return 2 * length + 16; }

void encode_part(const unsigned char* last, uint32_t length, unsigned char* room, Stream& out) {
  auto runs = make_model<model::RunModel>();
  if (!runs) return;
  Encoder coder(room, part_room(length));
  if (!code_runs(coder, *runs, last, length)) return;
  coder.flush();
  out.bytes = room;
  out.size = coder.size();
  out.ok = !coder.overflow();
}

uint32_t marks_room(uint32_t count) { return 5 * count + 16; }

void encode_marks(const uint32_t* marks, uint32_t count, Stream& out) {
  out.own = allocate<unsigned char>(marks_room(count));
  auto marker = std::unique_ptr<model::MarkModel>(new (std::nothrow) model::MarkModel());
  if (!out.own || !marker) return;
  Encoder coder(out.own.get(), marks_room(count));
  for (uint32_t k = 0; k < count; ++k) marker->code(coder, marks[k]);
  coder.flush();
  out.bytes = out.own.get();
  out.size = coder.size();
  out.ok = !coder.overflow();
}

// The header fields, the length of each of the first `counted` streams,
// then all streams (a last one uncounted runs to the end).
uint32_t assemble(unsigned char* dst, unsigned char* p, unsigned char* end, const std::vector<uint32_t>& fields,
                  const std::vector<Stream>& streams, uint32_t counted) {
  for (uint32_t v : fields)
    if (p != nullptr) p = put_varint(p, end, v);
  for (uint32_t k = 0; k < counted && p != nullptr; ++k) p = put_varint(p, end, streams[k].size);
  for (const Stream& s : streams) {
    if (p == nullptr || !s.ok || s.size > static_cast<uint32_t>(end - p)) return kDeclined;
    std::memcpy(p, s.bytes, s.size);
    p += s.size;
  }
  return static_cast<uint32_t>(p - dst);
}

}  // namespace

// Progress counts the stages as shares of the block: the repeat pass a
// tenth, sorting three, coding the parts the rest (as they finish).
uint32_t encode_parts(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit, const Tasks& tasks) {
  Reduced r;
  if (!reduce(src, len, kRepeatStride, r)) return kDeclined;
  tasks.progress(len / 10);
  const uint32_t m = r.length;
  const int chains = chains_for(m, Form::kParts);
  uint32_t starts[kMaxChains] = {};
  std::unique_ptr<int32_t[]> sa;
  const uint32_t primary = sort_block(r.bytes.get(), m, chains, sa, starts);
  r.bytes.reset();
  if (primary == 0) return kDeclined;
  tasks.progress(uint64_t{len} * 4 / 10);
  const auto* last = reinterpret_cast<const unsigned char*>(sa.get());

  const uint32_t parts = parts_for(m);
  unsigned char* const room = reinterpret_cast<unsigned char*>(sa.get()) + m;
  // The runs' costs (2 bytes each) fit where the streams go afterwards.
  const std::vector<uint32_t> bound = part_bounds(last, m, parts, room);
  std::vector<Stream> streams(parts + (r.repeats ? 1 : 0));
  std::atomic<uint64_t> coded{0};
  tasks.run(static_cast<uint32_t>(streams.size()), [&](uint32_t k) {
    if (k == parts) return encode_marks(r.marks.get(), r.mark_count, streams[k]);
    const uint32_t length = bound[k + 1] - bound[k];
    encode_part(last + bound[k], length, room + 2 * bound[k] + 16 * k, streams[k]);
    tasks.progress(uint64_t{len} * 4 / 10 + (coded += bound[k + 1] - bound[k]) * len * 6 / 10 / m);
  });
  std::vector<uint32_t> fields = {len, r.repeats ? 3u : 2u};
  if (r.repeats) fields.insert(fields.end(), {r.escape, m});
  fields.push_back(primary);
  fields.insert(fields.end(), starts, starts + chains - 1);
  for (uint32_t k = 0; k < parts; ++k) fields.push_back(bound[k + 1] - bound[k]);
  return assemble(dst, dst, dst + limit, fields, streams, parts);
}

uint64_t parts_memory(bool compress, uint32_t block_size, uint32_t threads) {
  const uint64_t n = block_size, parts = parts_for(block_size);
  const uint64_t models = std::min<uint64_t>(threads, parts + 1) * (sizeof(model::RunModel) + model::RunModel::table_bytes());
  const uint64_t marks = 4 * uint64_t{mark_bound(block_size)};
  if (!compress) return models + parts * 64;
  // The reduced block with the suffix array (and the sorter's buckets),
  // then the last column and the parts' streams in the array's place.
  const uint64_t sorting = n + 4 * (n + kSortSlack) + (uint64_t{1} << 20);
  const uint64_t coding = 4 * (n + kSortSlack) + marks_room(mark_bound(block_size)) + models;
  return marks + (uint64_t{4} << 18) + std::max(sorting, coding);
}

namespace {

// Where the streams are: the header's lengths, checked against the bytes
// there are. The marks' stream, if any, is the rest.
struct Layout {
  std::vector<uint32_t> bound;              // where each part's sorted bytes begin, then m
  std::vector<const unsigned char*> begin;  // each part's stream, then the marks'
  std::vector<uint32_t> size;
};

bool read_layout(const unsigned char*& p, const unsigned char* end, uint32_t m, uint32_t parts, bool repeats,
                 Layout& l) {
  l.bound.assign(1, 0);
  for (uint32_t k = 0; k < parts && p != nullptr; ++k) {
    uint32_t length = 0;
    p = get_varint(p, end, length);
    if (length > m - l.bound.back()) return false;
    l.bound.push_back(l.bound.back() + length);
  }
  if (p == nullptr || l.bound.back() != m) return false;
  l.size.resize(parts);
  for (uint32_t k = 0; k < parts && p != nullptr; ++k) p = get_varint(p, end, l.size[k]);
  if (p == nullptr) return false;
  const unsigned char* at = p;
  for (uint32_t k = 0; k < parts; ++k) {
    if (l.size[k] > static_cast<uint64_t>(end - at)) return false;
    l.begin.push_back(at);
    at += l.size[k];
  }
  if (repeats) {
    l.begin.push_back(at);
    l.size.push_back(static_cast<uint32_t>(end - at));
  }
  return true;
}

// Decodes part k's runs into `sorted`; counts the escape bytes in it
// (a value above 255 counts none).
bool decode_part(const Layout& l, uint32_t k, unsigned char* sorted, uint32_t length, uint32_t sorted_escape,
                 uint32_t& escapes) {
  auto runs = make_model<model::RunModel>();
  if (!runs) return false;
  Decoder coder(l.begin[k], l.size[k]);
  if (!decode_runs(coder, *runs, sorted, length)) return false;
  escapes = sorted_escape > 255 ? 0 : static_cast<uint32_t>(std::count(sorted, sorted + length, sorted_escape));
  return true;
}

bool decode_marks(const Layout& l, uint32_t count, std::unique_ptr<uint32_t[]>& marks) {
  marks = allocate<uint32_t>(std::max(count, 1u));
  auto marker = std::unique_ptr<model::MarkModel>(new (std::nothrow) model::MarkModel());
  if (!marks || !marker) return false;
  Decoder coder(l.begin.back(), l.size.back());
  for (uint32_t k = 0; k < count; ++k) marks[k] = marker->code(coder, 0);
  return !overrun(coder);
}

// The header after n and flags.
struct Header {
  uint32_t escape = 0, m = 0, primary = 0;
  uint32_t starts[kMaxChains] = {};
};

const unsigned char* read_header(const unsigned char* p, const unsigned char* end, uint32_t n, bool repeats,
                                 Header& h) {
  h.m = n;
  if (repeats) {
    p = get_varint(p, end, h.escape);
    if (p != nullptr) p = get_varint(p, end, h.m);
    // Every escape byte stands for at least one byte.
    if (p == nullptr || h.escape > 255 || h.m == 0 || h.m > n) return nullptr;
  }
  if (p != nullptr) p = get_varint(p, end, h.primary);
  if (p == nullptr || h.primary == 0 || h.primary > h.m) return nullptr;
  for (int j = 0; p != nullptr && j + 1 < chains_for(h.m, Form::kParts); ++j) p = get_varint(p, end, h.starts[j]);
  return p;
}

}  // namespace

// The sorted bytes go to the end of the destination; the inverse writes
// the reduced block over them, and the repeats are restored in place.
// Progress counts the parts as half the block, the inverse a quarter.
uint32_t decode_parts(const unsigned char* p, const unsigned char* end, uint32_t n, uint32_t flags,
                      unsigned char* dst, const Tasks& tasks) {
  const bool repeats = flags == 3;
  Header h;
  Layout layout;
  p = read_header(p, end, n, repeats, h);
  const uint32_t m = h.m, parts = parts_for(m);
  if (p == nullptr || !read_layout(p, end, m, parts, repeats, layout)) return kFailed;
  unsigned char* const sorted = dst + (n - m);
  const uint32_t sorted_escape = repeats ? kSortOrder.rank[h.escape] : 256;
  std::vector<uint32_t> escapes(parts);
  std::vector<uint8_t> ok(parts);
  std::atomic<uint64_t> decoded{0};
  tasks.run(parts, [&](uint32_t k) {
    const uint32_t begin = layout.bound[k], length = layout.bound[k + 1] - begin;
    ok[k] = decode_part(layout, k, sorted + begin, length, sorted_escape, escapes[k]);
    tasks.progress((decoded += length) * n / m / 2);
  });
  if (std::count(ok.begin(), ok.end(), 0) != 0) return kFailed;
  std::unique_ptr<uint32_t[]> marks;
  uint64_t mark_count = 0;
  for (uint32_t e : escapes) mark_count += e;
  if (repeats && (mark_count > mark_bound(n) || !decode_marks(layout, static_cast<uint32_t>(mark_count), marks)))
    return kFailed;
  if (!inverse(sorted, m, h.primary, h.starts, Form::kParts, kSortOrder.byte, sorted, tasks)) return kFailed;
  tasks.progress(uint64_t{n} * 3 / 4);
  if (!repeats) return n;
  return restore_repeats(sorted, m, static_cast<unsigned char>(h.escape), marks.get(),
                         static_cast<uint32_t>(mark_count), dst, n, kRepeatStride);
}

}  // namespace mirt::bwt
