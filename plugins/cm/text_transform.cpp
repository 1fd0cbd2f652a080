// The text transform; its stored layout is in text_transform.h.
#include "cm/text_transform.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "cm/tuning.h"

namespace mirt::cm::words {
namespace {

bool is_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(unsigned char c) { return c >= 'a' && c <= 'z'; }
bool is_letter(unsigned char c) { return is_upper(c) || is_lower(c); }
unsigned char lower(unsigned char c) { return is_upper(c) ? static_cast<unsigned char>(c + 32) : c; }
unsigned char upper(unsigned char c) { return is_lower(c) ? static_cast<unsigned char>(c - 32) : c; }

enum class Case { kLower, kCapital, kAllCapitals, kMixed };

Case case_of(const unsigned char* w, uint32_t n) {
  bool rest_lower = true, rest_upper = true;
  for (uint32_t i = 1; i < n; ++i) {
    rest_lower = rest_lower && is_lower(w[i]);
    rest_upper = rest_upper && is_upper(w[i]);
  }
  if (is_lower(w[0])) return rest_lower ? Case::kLower : Case::kMixed;
  if (rest_lower) return Case::kCapital;
  return rest_upper ? Case::kAllCapitals : Case::kMixed;
}

uint32_t word_end(const unsigned char* src, uint32_t len, uint32_t i) {
  while (i < len && is_letter(src[i])) ++i;
  return i;
}

std::string folded(const unsigned char* w, uint32_t n) {
  std::string s(n, ' ');
  for (uint32_t i = 0; i < n; ++i) s[i] = static_cast<char>(lower(w[i]));
  return s;
}

struct Codes {
  unsigned char capital = 0, all_capitals = 0;
  std::vector<unsigned char> single, prefix;
  std::vector<std::string> words;  // those with one-byte codes first
};

// Marks and codes from the byte values the block leaves unused; false when
// there are too few.
bool pick_codes(const unsigned char* src, uint32_t len, Codes& codes) {
  bool used[256] = {};
  for (uint32_t i = 0; i < len; ++i) used[src[i]] = used[lower(src[i])] = true;  // capitals come out small
  std::vector<unsigned char> free;
  for (int c = 0; c < 256; ++c)
    if (!used[c]) free.push_back(static_cast<unsigned char>(c));
  if (free.size() < 3) return false;
  codes.capital = free[0];
  codes.all_capitals = free[1];
  const size_t rest = free.size() - 2;
  const size_t prefixes = std::min<size_t>(rest / 8, kWordPrefixes);
  codes.prefix.assign(free.begin() + 2, free.begin() + 2 + static_cast<std::ptrdiff_t>(prefixes));
  codes.single.assign(free.begin() + 2 + static_cast<std::ptrdiff_t>(prefixes), free.end());
  return true;
}

// The words worth a code, the most frequent first: a code saves its
// word's length less its own on every use, and costs the word once.
void pick_words(const unsigned char* src, uint32_t len, Codes& codes) {
  std::unordered_map<std::string, uint32_t> count;
  for (uint32_t i = 0; i < len;) {
    if (!is_letter(src[i])) {
      ++i;
      continue;
    }
    const uint32_t end = word_end(src, len, i);
    if (end - i >= kMinCodedWord && end - i <= kMaxCodedWord && case_of(src + i, end - i) != Case::kMixed) {
      // Once the table is full, only words already in it are counted.
      std::string w = folded(src + i, end - i);
      const auto at = count.find(w);
      if (at != count.end())
        ++at->second;
      else if (count.size() < kMaxDistinctWords)
        count.emplace(std::move(w), 1);
    }
    i = end;
  }
  std::vector<std::pair<uint64_t, std::string>> ranked;
  for (const auto& [w, n] : count)
    if (n >= kMinWordUses) ranked.emplace_back(uint64_t{n} * (w.size() - 1), w);
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  const size_t most = codes.single.size() + codes.prefix.size() * 256;
  for (size_t k = 0; k < ranked.size() && codes.words.size() < most; ++k) {
    const uint64_t code_len = codes.words.size() < codes.single.size() ? 1 : 2;
    const uint64_t n = ranked[k].first / (ranked[k].second.size() - 1);
    if ((ranked[k].second.size() - code_len) * n > ranked[k].second.size() + 1) codes.words.push_back(ranked[k].second);
  }
}

void put_header(const Codes& codes, std::vector<unsigned char>& out) {
  out.push_back(codes.capital);
  out.push_back(codes.all_capitals);
  out.push_back(static_cast<unsigned char>(codes.single.size()));
  out.insert(out.end(), codes.single.begin(), codes.single.end());
  out.push_back(static_cast<unsigned char>(codes.prefix.size()));
  out.insert(out.end(), codes.prefix.begin(), codes.prefix.end());
  out.push_back(static_cast<unsigned char>(codes.words.size() >> 8));
  out.push_back(static_cast<unsigned char>(codes.words.size()));
  for (const std::string& w : codes.words) {
    out.push_back(static_cast<unsigned char>(w.size()));
    out.insert(out.end(), w.begin(), w.end());
  }
}

void put_word(const unsigned char* w, uint32_t n, const Codes& codes,
              const std::unordered_map<std::string, uint32_t>& index, std::vector<unsigned char>& out) {
  const Case form = case_of(w, n);
  if (form == Case::kMixed) {
    out.insert(out.end(), w, w + n);
    return;
  }
  if (form == Case::kCapital) out.push_back(codes.capital);
  if (form == Case::kAllCapitals) out.push_back(codes.all_capitals);
  const std::string s = folded(w, n);
  const auto found = index.find(s);
  if (found == index.end()) {
    out.insert(out.end(), s.begin(), s.end());
  } else if (found->second < codes.single.size()) {
    out.push_back(codes.single[found->second]);
  } else {
    const uint32_t k = found->second - static_cast<uint32_t>(codes.single.size());
    out.push_back(codes.prefix[k / 256]);
    out.push_back(static_cast<unsigned char>(k % 256));
  }
}

}  // namespace

uint64_t working_memory() { return uint64_t{kMaxDistinctWords} * kBytesPerCountedWord; }

std::vector<unsigned char> forward(const unsigned char* src, uint32_t len) {
  Codes codes;
  if (!pick_codes(src, len, codes)) return {};
  pick_words(src, len, codes);
  std::unordered_map<std::string, uint32_t> index;
  for (uint32_t k = 0; k < codes.words.size(); ++k) index.emplace(codes.words[k], k);
  std::vector<unsigned char> out;
  out.reserve(len);
  put_header(codes, out);
  for (uint32_t i = 0; i < len;) {
    if (!is_letter(src[i])) {
      out.push_back(src[i++]);
      continue;
    }
    const uint32_t end = word_end(src, len, i);
    put_word(src + i, end - i, codes, index, out);
    i = end;
  }
  return out;
}

namespace {

// Reads the header into a table of byte roles: 0 literal, 1 capital mark,
// 2 all-capitals mark, 3 one-byte code, 4 prefix. Returns the header's
// size, or 0 when it is malformed.
struct Table {
  unsigned char role[256] = {};
  uint16_t slot[256] = {};  // code: word number; prefix: first word number
  std::vector<std::pair<uint32_t, uint32_t>> words;  // offset and length in the block
};

uint32_t get_header(const unsigned char* src, uint32_t len, Table& t) {
  uint32_t n = 0;
  auto take = [&](unsigned char role, uint16_t slot) {
    if (n >= len || t.role[src[n]] != 0) return false;
    t.role[src[n]] = role;
    t.slot[src[n++]] = slot;
    return true;
  };
  if (!take(1, 0) || !take(2, 0) || n >= len) return 0;
  const uint32_t singles = src[n++];
  for (uint32_t k = 0; k < singles; ++k)
    if (!take(3, static_cast<uint16_t>(k))) return 0;
  if (n >= len) return 0;
  const uint32_t prefixes = src[n++];
  for (uint32_t k = 0; k < prefixes; ++k)
    if (!take(4, static_cast<uint16_t>(singles + 256 * k))) return 0;
  if (n + 2 > len) return 0;
  const uint32_t count = uint32_t{src[n]} << 8 | src[n + 1];
  n += 2;
  if (count > singles + 256 * prefixes) return 0;
  for (uint32_t k = 0; k < count; ++k) {
    if (n >= len || src[n] == 0 || src[n] > len - n - 1) return 0;
    t.words.emplace_back(n + 1, src[n]);
    n += 1 + src[n];
  }
  return n;
}

}  // namespace

bool inverse(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t out_len) {
  Table t;
  uint32_t i = get_header(src, len, t);
  if (i == 0) return false;
  uint32_t n = 0;
  int pending = 0;  // 1: capitalise the next word; 2: all of it
  while (i < len) {
    const unsigned char b = src[i++];
    const unsigned char role = t.role[b];
    if (role == 1 || role == 2) {
      pending = role;
      continue;
    }
    if (role >= 3) {
      uint32_t k = t.slot[b];
      if (role == 4) {
        if (i >= len) return false;
        k += src[i++];
      }
      if (k >= t.words.size() || t.words[k].second > out_len - n) return false;
      for (uint32_t j = 0; j < t.words[k].second; ++j) {
        const unsigned char c = src[t.words[k].first + j];
        dst[n++] = pending == 2 || (pending == 1 && j == 0) ? upper(c) : c;
      }
      pending = 0;
      continue;
    }
    if (n >= out_len) return false;
    const bool letter = is_letter(b);
    dst[n++] = letter && pending != 0 ? upper(b) : b;
    if (!letter || pending == 1) pending = 0;
  }
  return n == out_len;
}

}  // namespace mirt::cm::words
