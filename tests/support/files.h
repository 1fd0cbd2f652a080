// Whole-file helpers for tests.
#pragma once

#include <cstddef>
#include <string>

namespace mirt::test {

// Contents of `path`, or an empty string when it cannot be read.
std::string read_file(const std::string& path);
// Creates or replaces `path`; false on any failure.
bool write_file(const std::string& path, const std::string& bytes, unsigned mode = 0644);
bool file_exists(const std::string& path);
// Reproducible test data: `kind` 0 random, 1 text-like, 2 one repeated byte.
std::string make_data(size_t size, int kind, unsigned seed = 1);

}  // namespace mirt::test
