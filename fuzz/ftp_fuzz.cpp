// FTP reply handling: the dialogue, passive address parsing and the data
// connection, with the server's bytes taken from the fuzz input. The first
// byte chooses retrieving, storing or the refused read-write access.
#include <fcntl.h>
#include <unistd.h>

#include "net_fuzz_peer.h"
#include "location/ftp.h"
#include "location/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* kLocation = "ftp://127.0.0.1/dir/f.mrt";
  static mirt::UrlParts parts;
  static bool ready = false;
  if (!ready) {
    mirt::parse_url(kLocation, parts);
    mirt::set_connect_hook(mirt_fuzz::loopback_only_connect);
    ready = true;
  }
  if (size < 1 || size > 65536) return 0;
  static const int kFlags[3] = {O_RDONLY, O_WRONLY | O_CREAT | O_TRUNC, O_RDWR};
  const int flags = kFlags[data[0] % 3];
  const int free_before = mirt_fuzz::lowest_free_fd();
  int control = mirt_fuzz::replaying_peer(data + 1, size - 1);
  if (control < 0) return 0;
  mirt::set_open_failure_reason("");
  int result = mirt::ftp_exchange(control, kLocation, parts, flags, 0644);
  if (result >= 0) {
    if (result == control) __builtin_trap();
    close(result);
    close(control);  // left open on success
  } else if (result != -1 && result != -2 && result != -5) {
    __builtin_trap();
  }
  if (!mirt_fuzz::reason_is_printable()) __builtin_trap();
  if (mirt_fuzz::lowest_free_fd() != free_before) __builtin_trap();  // a descriptor leaked
  return 0;
}
