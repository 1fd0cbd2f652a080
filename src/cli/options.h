// The command line: options parsed, in order, into one settings record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/settings.h"
#include "common/types.h"

namespace mirt {

// What the configuration and the options ask of one run: the codec's
// settings, and what only the command line has.
struct CommandLine {
  Settings settings;  // -b is its fixed block size; -D, -u, -U its records
  int mode = kModeCompress;
  int cipher = -1;
  const char* suffix = ".mrt";
  std::optional<std::string> output_name;  // -o, expanded
};

// Applies the options in command-line order (-m, -M, -e, -I and -E act at
// once). Returns an exit status when an option ends the run (-h, -V, a
// misplaced -N, -E list or an unknown cipher, a parse error); otherwise
// leaves optind at the first input.
std::optional<int> parse_options(int argc, char** argv, CommandLine& line);

// Reads a -m file: a path, or the name of an installed preset ("max" for
// PREFIX/share/mirt/max.conf). Warns when neither can be read.
void read_option_config(const char* name, CommandLine& line);

void print_notice(uint32_t remote);

std::optional<std::string> derive_output_name(const char* input_name, int mode,
                                              const char* suffix);
uint32_t parse_decimal(const char* text);
uint32_t name_key(const char* text, char stop);

}  // namespace mirt
