// The process-wide algorithm table (256 slots) and cipher table (5 slots).
#pragma once

#include <cstdint>

#include "mirt/module.h"

namespace mirt {

using AlgorithmEntry = mr_algorithm_entry;
using CipherEntry = mr_cipher_entry;

inline constexpr int kAlgorithmSlots = 256;
inline constexpr int kCipherSlots = 5;
inline constexpr int kEndOfBlocks = 255;  // reserved slot / end marker byte

// Built-in entries.
uint32_t copy_algorithm(uint32_t mode, void* reserved, const unsigned char* src,
                        unsigned char* dst, uint32_t src_len, uint32_t dst_cap);
// What the stub says when asked to expand a block.
inline constexpr const char* kUnavailableAlgorithmText =
    "You tried to decompress a file with an algorithm that is not compiled into your "
    "version.  Output will be unusable.";

// The unavailable-algorithm stub; also sits in the cipher table, where it
// is only compared against, never called.
uint32_t unavailable_algorithm(uint32_t mode, void* reserved, const unsigned char* src,
                               unsigned char* dst, uint32_t src_len, uint32_t dst_cap);

// Algorithm slots (number 0..255).
AlgorithmEntry algorithm_entry(int slot);
const char* algorithm_name(int slot);  // nullptr when the slot has no name
bool algorithm_available(int slot);    // neither empty nor the stub
int highest_available_algorithm();     // 0 when none is available
void algorithm_disable(int slot);      // stub in, name kept (-e, exclude_algorithm)
void algorithm_restrict(uint32_t keep);  // empty 1..254 except `keep` (-I)
// What a module declares beside its entry (include/mirt/module.h).
struct AlgorithmTraits {
  // The entry may run on several threads at once; otherwise call_algorithm
  // serialises every call into the slot.
  bool threadsafe = false;
  int32_t context = 0;  // MR_CONTEXT: 1 or more gets struct mr_call_context
  mr_memory_function memory = nullptr;  // MR_MEMORY
};

// Into an empty or disabled slot only (module loader).
bool algorithm_install(int slot, AlgorithmEntry entry, const char* name,
                       const AlgorithmTraits& traits);
bool algorithm_install(int slot, AlgorithmEntry entry, const char* name,
                       bool threadsafe = false);

// Where a block stands in its container: what a module that reads the call
// context is told.
struct BlockPlace {
  uint64_t index = 0;
  uint32_t key = 0;  // block_key() of the block
  // Most threads the call may keep busy; 0: as many as the worker running
  // it has (helper_threads()).
  uint32_t threads = 0;
};

// Calls the slot's entry (null entries give 0 in mode 2, -1 otherwise),
// holding the slot's lock unless the entry is thread-safe, and with the
// block's place in a call context when the module reads one, with the
// threads its worker can lend it. Every call
// of an algorithm from the codec goes through here.
uint32_t call_algorithm(int slot, uint32_t mode, const uint8_t* src, uint8_t* dst,
                        uint32_t src_len, uint32_t dst_cap, const BlockPlace* place = nullptr);

// Working memory of one call of the slot in `mode` on a block of
// `block_size` bytes, beside the block buffers: what the module's MR_MEMORY
// says, nothing for the copy algorithm and for slots without an algorithm,
// and kUnstatedMemoryFactor times the block size for a module that does not
// say: more than any bundled codec needs (block sorting, the most, about 6).
inline constexpr uint64_t kUnstatedMemoryFactor = 8;
// With `threads`: as the call context would give them.
uint64_t algorithm_memory(int slot, uint32_t mode, uint32_t block_size, uint32_t threads = 1);

// Cipher slots (number 0..4); out-of-range numbers are never available.
CipherEntry cipher_entry(int slot);
const char* cipher_name(int slot);
bool cipher_available(int slot);  // has an entry that is not the stub
bool cipher_install(int slot, CipherEntry entry, const char* name);

// Expand one block through slot `number` in mode 2 (0 on failure; 255
// gives 0; an empty slot prints "mirt: Algorithm unavailble.\n").
uint32_t decompress_block(int number, const uint8_t* src, uint32_t src_len, uint8_t* dst,
                          uint32_t dst_cap);

// Tests only: back to the initial contents.
void tables_reset();

}  // namespace mirt
