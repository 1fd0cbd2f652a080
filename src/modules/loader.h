// Loading algorithm and cipher modules into the tables.
#pragma once

#include "common/types.h"

namespace mirt {

inline constexpr int kModulePathSize = 2048;
inline constexpr const char* kInitialModulePath = "@@HOME@@/.mirt/@@OSNM@@-@@ARCH@@/";

int module_registry_init();
int load_module(const char* name, const Options& options);
int load_all_modules(const Options& options);
int unload_modules();

// The module path: a colon-separated list of directory templates.
const char* module_path();
void module_path_append(const char* directories);  // the module_dir directive

// Tests only. The reset closes every handle still recorded.
void module_path_reset();
void module_registry_reset();
int module_registry_count();

}  // namespace mirt
