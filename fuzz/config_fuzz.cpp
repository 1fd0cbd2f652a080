// Configuration lines: arbitrary text applied as a directive and read as
// a file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/config.h"
#include "codec/tables.h"
#include "common/keyword.h"
#include "modules/loader.h"
#include "status/status.h"

namespace {

// Module directives would load whatever shared object the input names.
bool loads_modules(const std::string& text) {
  for (const char* keyword : {"module", "use_module", "all_modules"}) {
    const uint32_t key = mirt::elf_hash(keyword);
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    size_t end = text.find_first_of(" \t\n", start);
    std::string word = text.substr(start, end == std::string::npos ? end : end - start);
    if (mirt::elf_hash(word.c_str()) == key) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  // Each line of the input could be a directive of its own in a file.
  size_t from = 0;
  while (from <= text.size()) {
    size_t end = text.find('\n', from);
    if (loads_modules(text.substr(from, end == std::string::npos ? end : end - from))) return 0;
    if (end == std::string::npos) break;
    from = end + 1;
  }

  mirt::Settings settings;
  mirt::apply_config_line(std::string(text.c_str()).c_str(), settings);

  char path[] = "/tmp/mirt-config-fuzz-XXXXXX";
  int fd = mkstemp(path);
  if (fd >= 0) {
    if (write(fd, data, size) == static_cast<ssize_t>(size))
      mirt::read_config_file(path, settings);
    close(fd);
    unlink(path);
  }
  mirt::tables_reset();
  mirt::module_path_reset();
  mirt::status_reset();
  return 0;
}
