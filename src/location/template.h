// @@NAME@@ location templates.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mirt {

// Whether USRN and PSWD may ask the user. Templates that come from a
// container were written by whoever made the file: they must never make
// us prompt (and send the answer to a host they chose), so they expand
// those macros to nothing.
enum class Prompts { kAsk, kNever };

std::string expand_template(const char* tmpl, const char* file_value,
                            Prompts prompts = Prompts::kAsk);
const char* distribution_name();
std::optional<std::string> read_prompt(const char* prompt, int size, bool hidden);

// The release texts of OSRN (leading digits and dots) and OSRM (cut at the
// second dot, non-digits before the first dot dropped).
std::string release_number(std::string_view release);
std::string release_major_minor(std::string_view release);

// Tests only: forget the system facts and the distribution name. With
// a non-null `sysname`, the given facts are used instead of uname's
// (lower-cased like the real ones).
void template_reset(const char* sysname = nullptr, const char* release = nullptr,
                    const char* machine = nullptr);

}  // namespace mirt
