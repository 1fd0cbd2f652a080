// Network layer of a build without a network client yet: the process-wide
// switch is real, but no URL can be opened.
#include "location/net.h"

namespace mirt {
namespace {

bool g_network_disabled = false;
bool g_network_initialised = false;

// Platform network start-up; nothing to do on Unix.
int network_platform_init() { return 0; }

}  // namespace

int network_init() {
  if (g_network_initialised) return 0;
  g_network_initialised = true;
  if (network_platform_init() < 0) g_network_disabled = true;
  return 0;
}

bool network_disabled() { return g_network_disabled; }

void set_network_disabled(bool disabled) { g_network_disabled = disabled; }

int open_url(const char* /*location*/, const UrlParts& /*parts*/, int /*flags*/, int /*mode*/) {
  // As a connection that cannot be made.
  return -1;
}

void network_reset() {
  g_network_disabled = false;
  g_network_initialised = false;
}

}  // namespace mirt
