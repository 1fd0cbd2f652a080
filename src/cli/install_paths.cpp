#include "cli/install_paths.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "build_config.h"

namespace mirt {
namespace {

std::string directory_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// The folder `tail` (relative) under the prefix: the prefix, or "" when
// `directory` is not such a folder.
std::string prefix_above(const std::string& directory, const std::string& tail) {
  if (tail.empty() || tail[0] == '/') return "";
  const std::string end = "/" + tail;
  if (directory.size() <= end.size() ||
      directory.compare(directory.size() - end.size(), end.size(), end) != 0)
    return "";
  return directory.substr(0, directory.size() - end.size());
}

// The program is PREFIX/bin/mirt; the library, PREFIX/lib/libmirt.so.0,
// may serve any program (a Python interpreter, say), so it goes by its
// own file, not by the program's.
std::string installation_prefix() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&installation_prefix), &info) != 0 &&
      info.dli_fname != nullptr && std::strstr(base_name(info.dli_fname), ".so") != nullptr) {
    char resolved[PATH_MAX];
    const std::string library =
        ::realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
    const std::string prefix = prefix_above(directory_of(library), MIRT_INSTALL_LIBDIR);
    return prefix.empty() ? MIRT_INSTALL_PREFIX : prefix;
  }
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return MIRT_INSTALL_PREFIX;
  const std::string prefix =
      prefix_above(directory_of(std::string(path, static_cast<size_t>(length))), MIRT_INSTALL_BINDIR);
  return prefix.empty() ? MIRT_INSTALL_PREFIX : prefix;
}

#if MIRT_TEST_PATHS
// Test builds only: the test support points every run away from whatever
// installation the machine has.
const char* test_override(const char* name) { return std::getenv(name); }
#else
const char* test_override(const char*) { return nullptr; }
#endif

}  // namespace

std::string system_config_path() {
  if (const char* path = test_override("MIRT_TEST_SYSTEM_CONFIG")) return path;
  return installation_prefix() + "/etc/mirt.conf";
}

std::string preset_dir() {
  if (const char* path = test_override("MIRT_TEST_PRESET_DIR")) return path;
  const std::string data = MIRT_INSTALL_DATADIR;
  return (!data.empty() && data[0] == '/' ? data : installation_prefix() + "/" + data) + "/mirt";
}

}  // namespace mirt
