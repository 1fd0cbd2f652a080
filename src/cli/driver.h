// The program's entry point and run loop.
#pragma once

#include "cli/options.h"

namespace mirt {

int run_driver(int argc, char** argv);

}  // namespace mirt
