// Locations (paths and URLs) opened as descriptors, and seeking that also
// works on network streams. Readers of what they open use read_full.
#pragma once

#include <cstdint>
#include <string>

#include "common/io.h"

namespace mirt {

// Returns a descriptor, or a negated error number.
int open_location(const char* location, int flags, int mode);
// lseek-like; on network streams re-opens and skips (see stream.cpp).
int64_t seek_location(int fd, int64_t offset, int whence);

// Why the last failed open_location failed, when the network layer knew
// more than its error number says ("connection refused", "HTTP 404 Not
// Found"); null otherwise. Every open_location starts by forgetting it.
// Main thread only, like every open.
const char* open_failure_reason();
void set_open_failure_reason(std::string reason);
// "mirt: open: " and the reason, or the system's text for the error
// number `result` (negative) when there is no reason.
void report_open_failure(int result);

// Remembers how `fd` was opened, for seek_location's re-open.
void reopen_record_set(int fd, const char* location, int flags, int mode);

// Remembers the body length a server announced for `fd` (-1: none).
void announce_length(int fd, int64_t length);
// That length while `fd` still refers to the same stream, else -1.
int64_t expected_length(int fd);

// Tests only: empties the table of descriptors.
void reopen_table_reset();

}  // namespace mirt
