#include "codec/tables.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "codec/pipeline.h"
#include "common/diag.h"
#include "status/meter.h"

namespace mirt {

namespace {

// Never called: the cipher table only compares against this address to
// tell a named-but-missing cipher from a real one.
int32_t unavailable_cipher_entry(const unsigned char*, unsigned char*, uint32_t, unsigned char*,
                                 int32_t) {
  return -1;
}

struct AlgorithmSlot {
  AlgorithmEntry entry;
  const char* name;
  AlgorithmTraits traits;
};

struct CipherSlot {
  CipherEntry entry;
  const char* name;
};

// The stub keeps these names meaningful in listings and old files even
// though the code behind them ships separately.
constexpr const char* kInitialAlgorithmNames[] = {
    "Uncompressed",
    "RLE Compression",
    "Delta Compression",
    "Text Compression",
    "Zlib Compression",
    "Modified Zlib Compression",
    "Seminibble Encoding",
    "Range Encoding",
    "Second Modified Zlib Compression",
    "Bzip2 Compression",
    "Unsupported Algorithm (factor)",
    "Unsupported Algorithm (bitsums)",
    "Unsupported Algorithm (textrle)",
    "Unsupported Algorithm (comp_lzoox)",
    "Unsupported Algorithm (comp_lzooy)",
    "Unsupported Algorithm (comp_lzota)",
};

constexpr const char* kInitialCipherNames[] = {"chaos", "subst", "serpent", "psubst"};

constexpr std::array<AlgorithmSlot, kAlgorithmSlots> initial_algorithms() {
  std::array<AlgorithmSlot, kAlgorithmSlots> table{};
  table[0] = {copy_algorithm, kInitialAlgorithmNames[0], {true, 0, nullptr}};
  for (size_t i = 1; i < std::size(kInitialAlgorithmNames); ++i)
    table[i] = {unavailable_algorithm, kInitialAlgorithmNames[i], {true, 0, nullptr}};
  return table;
}

constexpr std::array<CipherSlot, kCipherSlots> initial_ciphers() {
  std::array<CipherSlot, kCipherSlots> table{};
  for (size_t i = 0; i < std::size(kInitialCipherNames); ++i)
    table[i] = {unavailable_cipher_entry, kInitialCipherNames[i]};
  return table;
}

// Constant-initialised, so the tables are ready before any other static
// initialiser or option code looks at them.
constinit std::array<AlgorithmSlot, kAlgorithmSlots> g_algorithms = initial_algorithms();
constinit std::array<CipherSlot, kCipherSlots> g_ciphers = initial_ciphers();
// One lock per slot, and so per module: a module fills exactly one slot.
std::mutex g_slot_locks[kAlgorithmSlots];

bool usable_algorithm_slot(int slot) { return slot >= 0 && slot < kEndOfBlocks; }

// The pool is the calling worker's own, so `host` is not needed here.
void run_parallel(void*, uint32_t count, void (*task)(void*, uint32_t), void* arg) {
  run_helpers(count, task, arg);
}

}  // namespace

uint32_t copy_algorithm(uint32_t mode, void*, const unsigned char* src, unsigned char* dst,
                        uint32_t src_len, uint32_t) {
  if (mode == MR_MODE_COMPRESS || mode == MR_MODE_DECOMPRESS) {
    if (src_len > 0) std::memcpy(dst, src, src_len);
    return src_len;
  }
  std::printf("Unsupported mode: %i\n", static_cast<int>(mode));
  return MR_DECLINED;
}

uint32_t unavailable_algorithm(uint32_t mode, void*, const unsigned char*, unsigned char*,
                               uint32_t, uint32_t) {
  if (mode == MR_MODE_COMPRESS) return MR_DECLINED;
  if (mode == MR_MODE_DECOMPRESS) {
    std::printf("%s\n", kUnavailableAlgorithmText);
    return MR_FAILED;
  }
  std::printf("Unsupported mode: %i\n", static_cast<int>(mode));
  return MR_DECLINED;
}

AlgorithmEntry algorithm_entry(int slot) {
  if (slot < 0 || slot >= kAlgorithmSlots) return nullptr;
  return g_algorithms[slot].entry;
}

const char* algorithm_name(int slot) {
  if (slot < 0 || slot >= kAlgorithmSlots) return nullptr;
  return g_algorithms[slot].name;
}

bool algorithm_available(int slot) {
  if (!usable_algorithm_slot(slot)) return false;
  AlgorithmEntry entry = g_algorithms[slot].entry;
  return entry != nullptr && entry != unavailable_algorithm;
}

int highest_available_algorithm() {
  for (int slot = kEndOfBlocks - 1; slot > 0; --slot)
    if (algorithm_available(slot)) return slot;
  return 0;
}

void algorithm_disable(int slot) {
  // 255 is the end-of-blocks marker and never holds anything.
  if (!usable_algorithm_slot(slot)) return;
  g_algorithms[slot].entry = unavailable_algorithm;
  g_algorithms[slot].traits = {true, 0, nullptr};
}

void algorithm_restrict(uint32_t keep) {
  for (int slot = 1; slot < kEndOfBlocks; ++slot)
    if (static_cast<uint32_t>(slot) != keep) g_algorithms[slot] = {nullptr, nullptr, {true, 0, nullptr}};
}

bool algorithm_install(int slot, AlgorithmEntry entry, const char* name,
                       const AlgorithmTraits& traits) {
  if (!usable_algorithm_slot(slot) || entry == nullptr) return false;
  AlgorithmEntry current = g_algorithms[slot].entry;
  if (current != nullptr && current != unavailable_algorithm) return false;
  g_algorithms[slot] = {entry, name, traits};
  return true;
}

bool algorithm_install(int slot, AlgorithmEntry entry, const char* name, bool threadsafe) {
  return algorithm_install(slot, entry, name, AlgorithmTraits{threadsafe, 0, nullptr});
}

uint32_t call_algorithm(int slot, uint32_t mode, const uint8_t* src, uint8_t* dst,
                        uint32_t src_len, uint32_t dst_cap, const BlockPlace* place) {
  const AlgorithmEntry entry = algorithm_entry(slot);
  if (entry == nullptr) return mode == MR_MODE_DECOMPRESS ? MR_FAILED : MR_DECLINED;
  const AlgorithmTraits& traits = g_algorithms[slot].traits;
  mr_call_context context{};
  void* reserved = nullptr;
  if (traits.context >= 1 && place != nullptr) {
    context.size = sizeof context;
    context.version = MR_CONTEXT_VERSION;
    context.block_index = place->index;
    context.block_key = place->key;
    const uint32_t lent = helper_threads();
    context.threads = place->threads != 0 && place->threads < lent ? place->threads : lent;
    if (context.threads > 1) context.parallel = run_parallel;
    if (MeterCall* meter = MeterCall::current()) {
      context.progress = MeterCall::progress;
      context.host = meter;
    }
    reserved = &context;
  }
  if (traits.threadsafe) return entry(mode, reserved, src, dst, src_len, dst_cap);
  const std::lock_guard<std::mutex> hold(g_slot_locks[slot]);
  return entry(mode, reserved, src, dst, src_len, dst_cap);
}

uint64_t algorithm_memory(int slot, uint32_t mode, uint32_t block_size, uint32_t threads) {
  if (!algorithm_available(slot) || algorithm_entry(slot) == copy_algorithm) return 0;
  const mr_memory_function memory = g_algorithms[slot].traits.memory;
  if (memory != nullptr) return memory(mode, block_size, threads < 1 ? 1 : threads);
  return kUnstatedMemoryFactor * block_size;
}

CipherEntry cipher_entry(int slot) {
  if (slot < 0 || slot >= kCipherSlots) return nullptr;
  return g_ciphers[slot].entry;
}

const char* cipher_name(int slot) {
  if (slot < 0 || slot >= kCipherSlots) return nullptr;
  return g_ciphers[slot].name;
}

bool cipher_available(int slot) {
  if (slot < 0 || slot >= kCipherSlots) return false;
  CipherEntry entry = g_ciphers[slot].entry;
  return entry != nullptr && entry != unavailable_cipher_entry;
}

bool cipher_install(int slot, CipherEntry entry, const char* name) {
  if (slot < 0 || slot >= kCipherSlots || entry == nullptr) return false;
  CipherEntry current = g_ciphers[slot].entry;
  if (current != nullptr && current != unavailable_cipher_entry) return false;
  g_ciphers[slot] = {entry, name};
  return true;
}

uint32_t decompress_block(int number, const uint8_t* src, uint32_t src_len, uint8_t* dst,
                          uint32_t dst_cap) {
  if (number == kEndOfBlocks) return 0;
  if (algorithm_entry(number) == nullptr) {
    report("Algorithm unavailble.\n");
    return 0;
  }
  return call_algorithm(number, MR_MODE_DECOMPRESS, src, dst, src_len, dst_cap);
}

void tables_reset() {
  g_algorithms = initial_algorithms();
  g_ciphers = initial_ciphers();
}

}  // namespace mirt
