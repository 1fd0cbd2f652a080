// @@NAME@@ location templates.
#pragma once

#include <optional>
#include <string>

namespace mirt {

std::string expand_template(const char* tmpl, const char* file_value);
const char* distribution_name();
std::optional<std::string> read_prompt(const char* prompt, int size, bool hidden);

}  // namespace mirt
