// Location templates of a build without macro expansion yet: templates are
// used as they are written.
#include "location/template.h"

namespace mirt {
namespace {

char g_distribution[128] = "unknown";

}  // namespace

std::string expand_template(const char* tmpl, const char* /*file_value*/) {
  return tmpl != nullptr ? std::string(tmpl) : std::string();
}

const char* distribution_name() { return g_distribution; }

std::optional<std::string> read_prompt(const char* /*prompt*/, int /*size*/, bool /*hidden*/) {
  return std::nullopt;
}

}  // namespace mirt
