// The program's entry point and run loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mirt {

int run_driver(int argc, char** argv);

std::optional<std::string> derive_output_name(const char* input_name, int mode,
                                              const char* suffix);
uint32_t parse_decimal(const char* text);
uint32_t name_key(const char* text, char stop);

}  // namespace mirt
