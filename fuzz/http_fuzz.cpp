// HTTP answer handling: status line, header scan and redirects, with the
// server's bytes taken from the fuzz input.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "net_fuzz_peer.h"
#include "location/http.h"
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
  // Past the 64 KiB header bound, so that it is reached too.
  if (size > 80 * 1024) return 0;
  const int free_before = mirt_fuzz::lowest_free_fd();
  int fd = mirt_fuzz::replaying_peer(data, size);
  if (fd < 0) return 0;
  mirt::set_open_failure_reason("");
  int result = mirt::http_exchange(fd, kLocation, parts, O_RDONLY, 0);
  if (result >= 0) {
    // The header is taken exactly: what is left is the answer's own tail.
    std::string body;
    char chunk[4096];
    for (ssize_t got; (got = read(result, chunk, sizeof chunk)) > 0;)
      body.append(chunk, static_cast<size_t>(got));
    close(result);
    if (body.size() > size ||
        body.compare(0, body.size(), reinterpret_cast<const char*>(data) + size - body.size(),
                     body.size()) != 0)
      __builtin_trap();
  } else if (result != -1 && result != -2 && result != -5) {
    __builtin_trap();
  }
  if (!mirt_fuzz::reason_is_printable()) __builtin_trap();
  if (mirt_fuzz::lowest_free_fd() != free_before) __builtin_trap();  // a descriptor leaked
  return 0;
}
