#include "cli/install_paths.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "build_config.h"

namespace mirt {
namespace {

std::string own_directory() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "";
  const std::string program(path, static_cast<size_t>(length));
  return program.substr(0, program.rfind('/'));
}

std::string installation_prefix() {
  const std::string bin = MIRT_INSTALL_BINDIR;
  if (!bin.empty() && bin[0] != '/') {
    const std::string directory = own_directory();
    const std::string tail = "/" + bin;
    if (directory.size() > tail.size() &&
        directory.compare(directory.size() - tail.size(), tail.size(), tail) == 0)
      return directory.substr(0, directory.size() - tail.size());
  }
  return MIRT_INSTALL_PREFIX;
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
