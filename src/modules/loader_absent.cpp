// Stand-in for the module loader: keeps the registry's bookkeeping but
// loads nothing, so every slot stays as the tables set it up.
#include "modules/loader.h"

namespace mirt {

namespace {
bool g_registry_initialised = false;
}

int module_registry_init() {
  if (g_registry_initialised) return -1;
  g_registry_initialised = true;
  return 0;
}

int load_module(const char* /*name*/, Options& /*options*/) { return -1; }

int load_all_modules(Options& /*options*/) { return 0; }

int unload_modules() { return g_registry_initialised ? 0 : -1; }

void module_registry_reset() { g_registry_initialised = false; }

}  // namespace mirt
