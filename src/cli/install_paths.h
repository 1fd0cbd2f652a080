// Where the installation keeps the system configuration and the presets.
#pragma once

#include <string>

namespace mirt {

// PREFIX/etc/mirt.conf and PREFIX/share/mirt (the data folder the build
// was configured with). PREFIX is the folder above the program's own bin
// folder (for the shared library, above its own lib folder), so an
// installation moved or made with `cmake --install --prefix` reads its own
// files; a program or library outside such a folder (a build tree) uses
// the prefix it was configured with.
std::string system_config_path();
std::string preset_dir();

}  // namespace mirt
