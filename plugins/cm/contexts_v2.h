// The byte contexts of the second model set: what each hashed context is
// made of, for each kind of data.
#pragma once

#include <cstdint>

#include "cm/word_hash.h"
#include "common/hash.h"

namespace mirt::cm::v2 {

// Hashed contexts, in the order of the estimator chain; order 1 (indexed
// directly) comes first.
inline constexpr int kHashed = 9;
// The third set's text: two more (see hash_contexts).
inline constexpr int kHashedWide = 11;

// kBinaryWords: binary data as the third model set sees it.
enum class Kind { kBinary, kText, kX86, kBinaryWords };

// What the context hashes are made of: everything a byte needs to know
// about the bytes before it.
struct History {
  uint32_t c4 = 0;     // the last four bytes, the latest lowest
  uint32_t c8 = 0;     // the four before them
  uint32_t word0 = 0;  // text, kBinaryWords: hash of the word being written (0 between words)
  uint32_t word1 = 0;  // hash of the word before it
  uint32_t word2 = 0;  // and of the one before that
  uint32_t above = 0;  // the byte one line or one record up
  uint32_t above2 = 0; // binary data: the byte two records up
  uint32_t col = 0;    // the column in the line or record
  uint32_t record = 0; // binary data: the record length found (0: none)
  uint32_t op = 0;     // machine code: the byte that began the last call or jump, and how far back
  uint32_t indent = 0; // text: the blanks that began the line (bit 7: still in them)
  uint32_t nest = 0;   // text: the open brackets, two bits each, the innermost lowest

  bool operator==(const History&) const = default;

  void push(uint32_t c, Kind kind) {
    c8 = c8 << 8 | c4 >> 24;
    c4 = c4 << 8 | c;
    if (kind == Kind::kText) {
      const uint32_t before = word1;
      cm::next_word(c, word0, word1);
      if (word1 != before) word2 = before;
      next_structure(c);
    }
    if (kind == Kind::kX86) next_op(c);
    if (kind == Kind::kBinaryWords) cm::next_word(c, word0, word1);
  }

 private:
  // Indentation and nesting of brackets and tags: where a line of source
  // or markup stands.
  void next_structure(uint32_t c) {
    if (c == '\n')
      indent = 0x80;
    else if ((indent & 0x80) && (c == ' ' || c == '\t'))
      indent = indent < 0xBF ? indent + 1 : indent;
    else
      indent &= 0x7F;
    const int open = c == '(' ? 1 : c == '[' ? 2 : c == '{' ? 3 : c == '<' ? 0 : -1;
    if (open >= 0)
      nest = (nest << 2 | static_cast<uint32_t>(open)) | 0x80000000u;
    else if (c == ')' || c == ']' || c == '}' || c == '>')
      nest = (nest >> 2) | (nest & 0x80000000u);
  }

  // The four bytes after a call or jump are its target.
  void next_op(uint32_t c) {
    const uint32_t back = op & 0xFF;
    if (back > 0 && back < 5)
      op = (op & ~0xFFu) | (back + 1);
    else
      op = (c & 0xFE) == 0xE8 ? (c << 8 | 1) : 0;
  }
};

// kN hashed contexts into h: kHashed, or kHashedWide for the third set's
// text.
template <int kN>
inline void hash_contexts(Kind kind, const History& x, uint32_t* h) {
  using coding::hash2;
  using coding::hash3;
  const uint32_t c1 = x.c4 & 0xFF;
  h[0] = hash2(1, x.c4 & 0xFFFF);
  h[1] = hash2(2, x.c4 & 0xFFFFFF);
  h[2] = hash2(3, x.c4);
  h[3] = hash3(4, x.c4, x.c8 & 0xFFFF);
  h[6] = hash3(5, x.above, x.col < 255 ? x.col : 255);
  switch (kind) {
    case Kind::kText:
      h[4] = hash3(6, x.word0, x.word0 ? 0 : c1);
      h[5] = hash3(7, x.word0, x.word1);
      // Order 2 where the line stands (its indentation, the innermost
      // open brackets), and the word with the one two words back.
      h[7] = hash3(13, x.indent << 8 | (x.nest & 0xFF), x.c4 & 0xFFFF);
      h[8] = hash3(15, x.word0, x.word2);
      if constexpr (kN > kHashed) {
        // The third set: the pair of words with the byte above (markup
        // and source repeat tags and keywords line under line), and order
        // 8: markup 3.8%, source 2.2%, prose 0.2% smaller, records the
        // same, for about 15% more time on text.
        h[9] = hash3(19, x.word0 ^ x.above << 24, x.word1);
        h[10] = hash3(20, x.c4, x.c8);
      }
      break;
    case Kind::kX86:
      h[4] = hash2(8, x.c4 & 0xFF00FF00);
      h[5] = hash3(10, x.op, x.op ? x.c4 & 0xFFFF : x.c4 & 0xFF);
      break;
    case Kind::kBinary:
    case Kind::kBinaryWords:
      if (x.record != 0) {
        // A table: the column with the bytes above it, and with the byte
        // above and the one before.
        h[4] = hash3(11, x.above << 8 | x.above2, x.col);
        h[5] = hash3(12, x.above << 8 | c1, x.col);
      } else {
        h[4] = hash2(8, x.c4 & 0xFF00FF00);
        // Strings among binary fields (names in a database) follow the
        // word they are in, in place of the byte above, where no record
        // length is found: 5% on a database of package records
        // (tables of records keep their column contexts: they lost).
        h[5] = kind == Kind::kBinaryWords ? hash3(18, x.word0, x.word0 ? 0 : x.c4 & 0xFFFF) : hash3(9, x.above, c1);
      }
      break;
  }
  if (kind != Kind::kText) {
    // Sparse: the two bytes before the last two, and the two before the
    // last one (fields of structures, operands).
    h[7] = hash2(14, x.c4 & 0xFFFF0000);
    h[8] = hash2(16, x.c4 & 0x00FFFF00);
  }
}

}  // namespace mirt::cm::v2
