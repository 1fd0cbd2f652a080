// Every tuned constant of the context-mixing codec, with what it does and
// what it was measured to bring. The constants of the first model set are
// part of its stored form: changing one changes what decodes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirt::cm {

// ---- Both model sets -----------------------------------------------------

// Bit histories: the cap on one count given the other (0, 1, ... 7 and
// more). High caps on a lone count keep long deterministic runs apart;
// low caps when both counts are seen keep the state count under 256.
inline constexpr int kCountCap[8] = {50, 30, 20, 12, 8, 6, 5, 4};

// History maps: bytes before the first refresh, doubled up to kRefresh
// bytes between refreshes; the weight of a history's own estimate against
// the bits counted in it; the count above which a refresh halves the
// counts. Counts stay below kCountLimit + 2 * 8 * kRefresh, inside 16 bits.
inline constexpr uint32_t kFirstRefresh = 64;
inline constexpr uint32_t kRefresh = 2048;
inline constexpr int kPriorWeight = 16;
inline constexpr int kCountLimit = 4096;
static_assert(kCountLimit + 2 * 8 * kRefresh <= 65535);

// Hash table: 2^(kMinTableBits + v) lines of 64 bytes, v the table field
// of the parameter byte (cm_codec.h). A line per two bytes of input, per
// four above kQuarterLinesFrom (halving the table of a 4 MiB block cost
// 0.2% and made it 10-20% faster: fewer cache and TLB misses), at most
// 2^kMaxTableBits.
inline constexpr int kMaxTableBits = 21;
inline constexpr uint32_t kQuarterLinesFrom = uint32_t{1} << 20;

// Match model: the shortest repeat it follows, and how far back a
// candidate is checked before it is taken. Its table has half as many
// entries as the hash table has lines.
inline constexpr uint32_t kMatchMin = 6;
inline constexpr uint32_t kMatchVerify = 64;
inline constexpr int kMatchTableShift = 1;

// Data kinds: text when printable bytes outnumber the others this many
// times to one, and control bytes (other than tabs, line ends and zeros)
// kTextControls times to one; machine code when near calls and jumps
// number at least kX86Base plus one per kX86Spacing bytes in a block of
// kX86MinLength or more. The encoder alone decides (the choice is
// stored). The limit on control bytes came with the third model set,
// which reads words in binary data too and does better there on text
// among binary fields: a database of package records (printable bytes
// 9.2 times the others, 12.5 times the control bytes) is 5% smaller as
// binary; markup with UTF-8 has no control bytes and stays text.
inline constexpr uint32_t kTextRatio = 9;
inline constexpr uint32_t kTextControls = 64;
inline constexpr uint32_t kX86MinLength = 64;
inline constexpr uint32_t kX86Spacing = 256;
inline constexpr uint32_t kX86Base = 8;

// ---- The first model set -----------------------------------------------

namespace v1 {

// Mixer: weights of 16 bits with 1.0 at 1 << kWeightShift, all starting
// at kStartWeight (about 0.3); the error times kMixRate / 4 is the step.
inline constexpr int kWeightShift = 14;
inline constexpr int kStartWeight = 20000 >> (16 - kWeightShift);
inline constexpr int kMixRate = 24;
static_assert(4095 * kMixRate / 4 < 32768);
// One weight set per partial byte. Four times as many, also selected by
// the state of the match model, saved 0.7% but made decoding 8-10% slower:
// the sets no longer stay in the first-level cache.
inline constexpr int kWeightSets = 256;

// Refiner: in the partial byte and the top bits of the previous byte (all
// eight saved 0.16% but made it 4 MiB, a cache miss a bit); small blocks
// see too few bytes to fill even that and keep fewer. Its rate, and its
// share of the final probability (3/4; the mixer has the rest). A second
// refiner in the partial byte alone made the corpus 0.1% larger.
inline constexpr int kRefinerDropBits = 3;
inline constexpr int kRefinerRate = 6;

// Match model: lengths above this share one probability.
inline constexpr int kMatchLengthCap = 31;

}  // namespace v1

// ---- The second model set -------------------------------------------------

// Indirect estimators (secondary.h): weights with 1.0 at 1 << kIsseShift,
// the constant input, and the learning rate.
inline constexpr int kIsseShift = 16;
inline constexpr int kIsseBias = 256;
inline constexpr int kIsseRate = 2;

// The refiners at the end: their rate, and the shares (of 16) of the
// mixer's estimate and of the order-1 and order-2 refiners in the final
// probability.
inline constexpr int kRefinerChainRate = 7;
inline constexpr int kMixShare = 4;
inline constexpr int kOrder1Share = 6;
inline constexpr int kOrder2Share = 6;
static_assert(kMixShare + kOrder1Share + kOrder2Share == 16);

// Record finder (record_model.h): record lengths it considers, how often
// (in bytes) it checks the votes, and the votes a length needs. With the
// table contexts it brought -20% on a table of 28-byte records and -0.3%
// on executables; 256 votes found false records in a tar of small files
// (+1.5%), 2048 found the table's too late (-14% only).
inline constexpr uint32_t kMinRecord = 3;
inline constexpr uint32_t kMaxRecord = 1024;
inline constexpr uint32_t kRecordCheck = 4096;
inline constexpr uint32_t kRecordMinVotes = 1024;

// Text transform (text_transform.h): words of these lengths used this
// often may get a code; at most this many prefixes of two-byte codes (256
// words each). The encoder tries it on the first kWordsTrial bytes of a
// text block and keeps it when they come out smaller, and when it makes
// the block at least 1/kWordsMinShrink shorter. On our text files it made
// the output 0.3-6% larger (they repeat so much that the match model and
// the long contexts do the work better on the plain text; marking capitals
// alone cost 0.2-0.9%), so there the trial turns it down, at 1-3% of the
// time of a text block.
inline constexpr uint32_t kMinCodedWord = 2;
inline constexpr uint32_t kMaxCodedWord = 40;
inline constexpr uint32_t kMinWordUses = 4;
inline constexpr size_t kWordPrefixes = 16;
inline constexpr uint32_t kWordsMinShrink = 16;
inline constexpr uint32_t kWordsTrial = uint32_t{1} << 16;
// Distinct words counted at most, and the bytes one may take with its
// count (a table entry and the word's string).
inline constexpr size_t kMaxDistinctWords = size_t{1} << 18;
inline constexpr size_t kBytesPerCountedWord = 128;

// Mixers (mixer2.h): 16-bit weights with 1.0 at 1 << kMixShift; the
// first layer's sets start at kMixStart, the final layer's at an even
// share; the steps are the error times kMixRate (first layer) and
// kFinalRate (final layer), over 4.
inline constexpr int kMixShift = 14;
inline constexpr int kMixStart = 1 << 12;
inline constexpr int kMixRate2 = 24;
inline constexpr int kFinalRate = 16;

}  // namespace mirt::cm
