// Whole-file helpers for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mirt::test {

using Bytes = std::vector<uint8_t>;

// Contents of `path`, or an empty string when it cannot be read.
std::string read_file(const std::string& path);
// Creates or replaces `path`; false on any failure.
bool write_file(const std::string& path, const std::string& bytes, unsigned mode = 0644);
bool file_exists(const std::string& path);
// Everything `fd` delivers until its end (or an error).
std::string read_to_end(int fd);
// The same for byte vectors.
Bytes read_bytes(const std::string& path);
bool write_bytes(const std::string& path, const Bytes& bytes, unsigned mode = 0644);
// How often `part` occurs in `text`, overlaps included.
size_t count_of(const std::string& text, const std::string& part);
// Reproducible test data: `kind` 0 random, 1 text-like, 2 one repeated byte.
std::string make_data(size_t size, int kind, unsigned seed = 1);

}  // namespace mirt::test
