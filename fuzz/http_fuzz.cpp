// HTTP answer handling: status line, header scan and redirects, with the
// server's bytes taken from the fuzz input.
#include <fcntl.h>
#include <unistd.h>

#include "net_fuzz_peer.h"
#include "location/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* kLocation = "http://user:pw@127.0.0.1/dir/f.mrt";
  static mirt::UrlParts parts;
  static bool ready = false;
  if (!ready) {
    mirt::parse_url(kLocation, parts);
    mirt::set_connect_hook(mirt_fuzz::loopback_only_connect);
    ready = true;
  }
  if (size > 65536) return 0;
  const int free_before = mirt_fuzz::lowest_free_fd();
  int fd = mirt_fuzz::replaying_peer(data, size);
  if (fd < 0) return 0;
  int result = mirt::http_exchange(fd, kLocation, parts, O_RDONLY, 0);
  if (result >= 0) {
    char body[4096];
    while (read(result, body, sizeof body) > 0) {
    }
    close(result);
  } else if (result != -1 && result != -2 && result != -5) {
    __builtin_trap();
  }
  if (mirt_fuzz::lowest_free_fd() != free_before) __builtin_trap();  // a descriptor leaked
  return 0;
}
