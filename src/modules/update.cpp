// Version files and upgrades: compare with a remote version and fetch a
// newer program or module file.
#include "modules/update.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/diag.h"
#include "common/io.h"
#include "common/unique_fd.h"
#include "location/net.h"
#include "location/stream.h"
#include "location/template.h"

namespace mirt {

namespace {

constexpr const char* kDefaultModuleDestination = "@@HOME@@/.mirt/@@OSNM@@-@@ARCH@@/@@FILE@@.so";
constexpr int kVersionFileLength = 9;
constexpr int kFieldLength = 3;
constexpr size_t kCopyChunk = 4096;

// Reads a field the way strtol does; the field ends at its width, at the
// end of the data or at a zero byte.
uint32_t field_value(const char* bytes, int length) {
  int i = 0;
  while (i < length && bytes[i] != '\0' && std::isspace(static_cast<unsigned char>(bytes[i]))) ++i;
  bool negative = false;
  if (i < length && (bytes[i] == '+' || bytes[i] == '-')) {
    negative = bytes[i] == '-';
    ++i;
  }
  uint32_t value = 0;
  while (i < length && bytes[i] >= '0' && bytes[i] <= '9') {
    value = value * 10u + static_cast<uint32_t>(bytes[i] - '0');
    ++i;
  }
  return negative ? 0u - value : value;
}

// Copies everything from `source` into a fresh file next to `destination`
// and renames it into place only once all of it arrived, so an interrupted
// download never replaces a working program or module.
int fetch_into(int source, const std::string& destination, const char* name) {
  std::string temporary = destination + ".XXXXXX";
  UniqueFd target(::mkstemp(temporary.data()));
  if (target.get() < 0) {
    report_system_error("open", errno);
    return -1;
  }
  auto discard = [&](const char* operation, int err) {
    report_system_error(operation, err);
    target.reset();
    ::unlink(temporary.c_str());
    return -1;
  };
  if (::fchmod(target.get(), 0700) != 0) return discard("open", errno);

  char buffer[kCopyChunk];
  uint64_t copied = 0;
  for (;;) {
    const ssize_t got = read_some(source, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) return discard("read", errno);
    if (!write_full(target.get(), buffer, static_cast<size_t>(got))) return discard("write", errno);
    copied += static_cast<uint64_t>(got);
  }
  // A server that closes before the length it announced broke off.
  const int64_t announced = expected_length(source);
  if (announced >= 0 && copied < static_cast<uint64_t>(announced)) {
    report("Download of %s broke off after %llu of %lld bytes.\n", name != nullptr ? name : "",
           static_cast<unsigned long long>(copied), static_cast<long long>(announced));
    target.reset();
    ::unlink(temporary.c_str());
    return -1;
  }
  // On disk before it replaces the old file.
  if (::fsync(target.get()) != 0 && errno != EINVAL) return discard("write", errno);
  if (::close(target.release()) != 0) return discard("write", errno);
  if (::rename(temporary.c_str(), destination.c_str()) != 0) return discard("rename", errno);
  return 0;
}

}  // namespace

uint32_t parse_version_file(const char* bytes, int length) {
  if (bytes == nullptr || length < 0) length = 0;
  if (length > kVersionFileLength) length = kVersionFileLength;
  uint32_t fields[3] = {0, 0, 0};
  for (int f = 0; f < 3; ++f) {
    int start = f * kFieldLength;
    int available = length - start;
    if (available <= 0) break;
    if (available > kFieldLength) available = kFieldLength;
    fields[f] = field_value(bytes + start, available);
  }
  // Not masked: a large minor spills into the major bits.
  return fields[0] * 65536u | fields[1] * 256u | fields[2];
}

uint32_t fetch_version(const char* name, const char* version_template, const Options& options) {
  if (options.version_check == 0 && options.upgrade == 0) return 0;
  std::string location = expand_template(version_template, name);
  UniqueFd file(open_location(location.c_str(), O_RDONLY, 0));
  if (file.get() < 0) return 0;
  char bytes[kVersionFileLength];
  const ssize_t got = read_some(file.get(), bytes, sizeof bytes);
  file.reset();
  return parse_version_file(bytes, got < 0 ? 0 : static_cast<int>(got));
}

int check_update(const char* name, const char* fetch_template, const char* version_template,
                 uint32_t current, const char* destination_template, const Options& options) {
  std::string destination = expand_template(
      destination_template != nullptr ? destination_template : kDefaultModuleDestination, name);
  std::string fetch_location = expand_template(fetch_template, name);

  uint32_t remote = fetch_version(name, version_template, options);
  if (remote <= current) return -1;

  const int new_major = static_cast<int>((remote >> 16) & 0xFF);
  const int new_minor = static_cast<int>((remote >> 8) & 0xFF);
  const int new_patch = static_cast<int>(remote & 0xFF);
  const int cur_major = static_cast<int>((current >> 16) & 0xFF);
  const int cur_minor = static_cast<int>((current >> 8) & 0xFF);
  const int cur_patch = static_cast<int>(current & 0xFF);
  if (options.upgrade == 0) {
    std::fprintf(stderr, "There is a new version of %s.  NEW: %i.%i.%i, CURR: %i.%i.%i\n", name,
                 new_major, new_minor, new_patch, cur_major, cur_minor, cur_patch);
    return -1;
  }
  std::fprintf(stderr,
               "There is a new version of %s.  NEW: %i.%i.%i, CURR: %i.%i.%i, fetching...\n",
               name, new_major, new_minor, new_patch, cur_major, cur_minor, cur_patch);

  UniqueFd source(open_location(fetch_location.c_str(), O_RDONLY, 0));
  if (source.get() < 0) {
    report_open_failure(source.get());
    return -1;
  }
  return fetch_into(source.get(), destination, name);
}

}  // namespace mirt
