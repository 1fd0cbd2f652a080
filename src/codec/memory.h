// The memory limit for decoding: sizes in a container come from whoever
// made it, so before the decoder allocates what a block needs, it compares
// that with the limit.
#pragma once

#include <cstdint>
#include <string>

namespace mirt {

// Every file our presets and the installed configuration write needs at
// most about 200 MiB per block (context mixing at 8 MiB blocks); a few
// bytes that claim a block of hundreds of megabytes ask for gigabytes.
inline constexpr uint64_t kDefaultMemoryLimit = uint64_t{1} << 30;

// A byte count with an optional binary suffix K, M, G or T (of any case,
// optionally followed by "iB" or "B"): "1G", "512MiB", "0". False for
// anything else, or a count beyond 64 bits.
bool parse_byte_count(const char* text, uint64_t& bytes);

// A size as messages show it: KiB below 1 MiB, else MiB; `round_up`
// chooses the direction, so that a need shown next to a limit never looks
// smaller than it is.
std::string shown_size(uint64_t bytes, bool round_up);

}  // namespace mirt
