// The module path: directory templates separated by ":", in a fixed buffer.
#include <cstring>

#include "modules/loader.h"

namespace mirt {

namespace {

char g_module_path[kModulePathSize];
bool g_module_path_set = false;

void ensure_initial() {
  if (g_module_path_set) return;
  std::strncpy(g_module_path, kInitialModulePath, kModulePathSize - 1);
  g_module_path[kModulePathSize - 1] = '\0';
  g_module_path_set = true;
}

}  // namespace

const char* module_path() {
  ensure_initial();
  return g_module_path;
}

void module_path_append(const char* directories) {
  ensure_initial();
  constexpr size_t limit = kModulePathSize - 1;
  size_t length = std::strlen(g_module_path);
  if (length >= limit) return;
  g_module_path[length++] = ':';
  if (directories != nullptr) {
    size_t room = limit - length;
    size_t add = strnlen(directories, room);
    std::memcpy(g_module_path + length, directories, add);
    length += add;
  }
  g_module_path[length] = '\0';
}

void module_path_reset() {
  g_module_path_set = false;
  ensure_initial();
}

}  // namespace mirt
