// Configuration files and directives, read into the run's settings.
#pragma once

#include "codec/settings.h"

namespace mirt {

// Who reads a configuration: the program applies every directive; a
// library context leaves out those that concern the program alone
// (colours, prompts, the network, upgrades), which are process-wide.
enum class ConfigReader { kProgram, kLibrary };

// Applies every line of the file; false when it cannot be opened.
bool read_config_file(const char* path, Settings& settings,
                      ConfigReader reader = ConfigReader::kProgram);
int apply_config_line(const char* text, Settings& settings,
                      ConfigReader reader = ConfigReader::kProgram);

}  // namespace mirt
