// Diagnostics on standard error, all starting with "mirt: ".
#pragma once

namespace mirt {

// "mirt: OPERATION: <system text for err>\n"; err may be negative.
void report_system_error(const char* operation, int err);

// "mirt: " followed by the formatted text (which carries its own newline).
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The name shown for a stream in messages ("standard input" when null).
const char* display_name(const char* file_name);

}  // namespace mirt
