// A file being written is removed when a signal ends the run, so that no
// half-written file is left behind.
#pragma once

#include <string>

namespace mirt {

// From now on a fatal signal removes `path` before the program dies.
void watch_partial_output(const std::string& path);
void unwatch_partial_output();

}  // namespace mirt
