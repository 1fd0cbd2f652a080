// A reversible transform of text before modelling: a capitalised or
// all-capital word becomes a mark and the word in small letters, so the
// models see one word where the text has three spellings; and the words
// that save most are replaced by codes of one or two bytes, from a
// dictionary built from the block and stored in front of it. Marks and
// codes are byte values the block does not use, so nothing else needs an
// escape.
//
// The transformed block: the capital mark, the all-capitals mark, the
// number of one-byte codes and the codes, the number of two-byte code
// prefixes and the prefixes, the number of words (two bytes, big-endian)
// and each word (its length, then its small letters), then the text.
#pragma once

#include <cstdint>
#include <vector>

namespace mirt::cm::words {

// The transformed block, or empty when the block has too few unused byte
// values. May throw std::bad_alloc. Beside its result it needs at most
// working_memory() bytes.
std::vector<unsigned char> forward(const unsigned char* src, uint32_t len);
uint64_t working_memory();

// Writes exactly `out_len` bytes to dst; false when `src` is not a
// transformed block of that length.
bool inverse(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t out_len);

}  // namespace mirt::cm::words
