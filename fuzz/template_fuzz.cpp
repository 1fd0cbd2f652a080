// Location templates: arbitrary text expanded with an arbitrary FILE value.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/keyword.h"
#include "location/template.h"
#include "status/status.h"

namespace {

// Prompts would wait for a person; answers come from an empty standard
// input instead, and the hidden prompt (which insists on a terminal when
// there is one) is left out.
bool asks_for_password(const std::string& text) {
  static const uint32_t password = mirt::elf_hash(0, reinterpret_cast<const uint8_t*>("PSWD"), 4);
  for (size_t at = text.find("@@"); at != std::string::npos; at = text.find("@@", at + 1)) {
    if (text.size() - at < 6) break;
    if (mirt::elf_hash(0, reinterpret_cast<const uint8_t*>(text.data() + at + 2), 4) == password)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, 0);
    close(null_fd);
  }
  mirt::status_param_set(mirt::kStatusPromptStdin, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\n');
  std::string tmpl = input.substr(0, split);
  std::string file = split == std::string::npos ? "" : input.substr(split + 1);
  tmpl.resize(std::strlen(tmpl.c_str()));
  file.resize(std::strlen(file.c_str()));
  if (asks_for_password(tmpl)) return 0;
  const std::string result = mirt::expand_template(tmpl.c_str(), file.c_str());
  // Only a template without macros may come back longer than the buffer.
  if (tmpl.find("@@") != std::string::npos && result.size() > 1023) __builtin_trap();
  return 0;
}
