// The HTTP client. The answer's header is gathered over as many reads as
// the server's segments take, up to its empty line and not a byte
// further: the body stays on the connection for the caller.
#include "location/http.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/ascii.h"
#include "common/io.h"
#include "location/base64.h"
#include "location/net.h"
#include "location/stream.h"

namespace mirt {
namespace {

// A server that never ends its header must not make us grow without end.
constexpr size_t kMaxHeaderSize = 64 * 1024;
constexpr size_t kHeaderChunk = 4096;
// Longer chains are taken for a loop.
constexpr int kMaxRedirects = 10;
constexpr std::string_view kProtocol = "HTTP/";

// The header is read in chunks, yet must end exactly where it ends. On a
// socket the bytes are peeked, then as many taken as belong to the header;
// anything else (a test's pipe) is read a byte at a time.
class HeaderSource {
 public:
  explicit HeaderSource(int fd) : fd_(fd) {}

  // Up to `size` bytes from the front of the stream, not yet taken.
  ssize_t look(char* buffer, size_t size) {
    if (peeking_) {
      ssize_t got;
      do {
        got = recv(fd_, buffer, size, MSG_PEEK);
      } while (got < 0 && errno == EINTR);
      if (got >= 0 || errno != ENOTSOCK) return got;
      peeking_ = false;
    }
    return read_some(fd_, buffer, 1);
  }

  // Consumes the first `size` bytes of what look() gave.
  bool take(char* buffer, size_t size) {
    if (!peeking_) return true;  // already consumed by the read
    return read_full(fd_, buffer, static_cast<uint32_t>(size)) == static_cast<int32_t>(size);
  }

 private:
  int fd_;
  bool peeking_ = true;
};

enum class Status { kPending, kRefused, kOk, kRedirect };

Status refuse(std::string reason) {
  set_open_failure_reason(std::move(reason));
  return Status::kRefused;
}

bool send_request(int fd, const UrlParts& parts) {
  std::string request = std::string("GET ") + parts.path + " HTTP/1.0\nHost: " + parts.host + "\n";
  if (parts.user[0] != '\0') {
    std::string credentials = std::string(parts.user) + ":" + parts.password;
    auto encoded = base64_encode_string(credentials.c_str());
    if (!encoded) return false;
    request += "Authorization: Basic " + *encoded + "\n";
  }
  request += "\n";
  send_text(fd, request);
  return true;
}

// Just past the empty line that ends the header in `bytes` (lines end in
// CR LF or in a bare LF), looking at line feeds from `from` on; npos while
// the header goes on.
size_t header_end(const std::string& bytes, size_t from) {
  for (size_t i = std::max<size_t>(from, 1); i < bytes.size(); ++i) {
    if (bytes[i] != '\n') continue;
    if (bytes[i - 1] == '\n' || (i >= 2 && bytes[i - 1] == '\r' && bytes[i - 2] == '\n'))
      return i + 1;
  }
  return std::string::npos;
}

bool all_of_chars(std::string_view text, std::string_view allowed) {
  return text.find_first_not_of(allowed) == std::string_view::npos;
}

// The status line, judged as soon as enough of it is there: "HTTP/" and
// the version number, a space, then a code of three digits, of which 200
// opens and 302 redirects.
Status judge_status(const std::string& header) {
  const size_t have = std::min(header.size(), kProtocol.size());
  if (header.compare(0, have, kProtocol, 0, have) != 0) return refuse("not an HTTP answer");
  const size_t line_end = header.find('\n');
  if (line_end == std::string::npos) return Status::kPending;
  std::string_view line(header.data(), line_end);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const size_t space = line.find(' ');
  const std::string_view version = line.substr(0, space).substr(kProtocol.size());
  const std::string_view code = space == std::string_view::npos ? "" : line.substr(space + 1);
  if (version.empty() || !all_of_chars(version, "0123456789.") || code.size() < 3 ||
      (code.size() > 3 && code[3] != ' ') || !all_of_chars(code.substr(0, 3), "0123456789"))
    return refuse("not an HTTP answer");
  if (code.substr(0, 3) == "200") return Status::kOk;
  if (code.substr(0, 3) == "302") return Status::kRedirect;
  return refuse("HTTP " + quoted_text(code.data(), code.size()));
}

std::string read_failure(int err, bool nothing_yet) {
  if (err == 0) return nothing_yet ? "no answer from the HTTP server" : "HTTP header cut short";
  return (nothing_yet ? "reading the HTTP answer: " : "reading the HTTP header: ") +
         system_text(err);
}

// Reads the header into `header`, status line included, up to and
// including its empty line; judges the status line on the way, so that a
// refusal needs no more of the header than its first line.
Status read_header(int fd, std::string& header) {
  HeaderSource source(fd);
  const Deadline deadline;
  char chunk[kHeaderChunk];
  Status status = Status::kPending;
  while (header.size() < kMaxHeaderSize) {
    if (!wait_readable(fd, deadline))
      return refuse(header.empty() ? "no answer from the HTTP server in " + timeout_text()
                                   : "HTTP header unfinished after " + timeout_text());
    const ssize_t seen = source.look(chunk, std::min(sizeof chunk, kMaxHeaderSize - header.size()));
    if (seen <= 0) return refuse(read_failure(seen < 0 ? errno : 0, header.empty()));
    const size_t start = header.size();
    header.append(chunk, static_cast<size_t>(seen));
    const size_t end = header_end(header, start);
    if (end != std::string::npos) header.resize(end);
    if (!source.take(chunk, header.size() - start)) return refuse("HTTP header cut short");
    if (status == Status::kPending) status = judge_status(header);
    // An ended header holds a whole status line, so the status is known.
    if (status == Status::kRefused || end != std::string::npos) return status;
  }
  return refuse("HTTP header too long");
}

// Calls `use(name, value)` for each line of the header after the status
// line: the name in lower case, the value without the blanks around it.
template <typename Use>
void for_each_field(const std::string& header, Use use) {
  size_t start = header.find('\n') + 1;
  while (start > 0 && start < header.size()) {
    size_t end = header.find('\n', start);
    if (end == std::string::npos) end = header.size();
    std::string_view line(header.data() + start, end - start);
    start = end + 1;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name(line.substr(0, colon));
    for (char& c : name) c = ascii_lower(c);
    std::string_view value = line.substr(colon + 1);
    const size_t first = value.find_first_not_of(" \t");
    value = first == std::string_view::npos ? "" : value.substr(first);
    value = value.substr(0, value.find_last_not_of(" \t\r") + 1);
    use(name, value);
  }
}

// A plain decimal number, -1 for anything else or on overflow.
int64_t plain_number(std::string_view text) {
  if (text.empty()) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The announced body length: -1 when there is none, it is not a plain
// number, or copies disagree.
int64_t announced_length(const std::string& header) {
  int64_t found = -1;
  bool broken = false;
  for_each_field(header, [&](const std::string& name, std::string_view value) {
    if (name != "content-length") return;
    const int64_t length = plain_number(value);
    broken = broken || length < 0 || (found >= 0 && found != length);
    found = length;
  });
  return broken ? -1 : found;
}

std::optional<std::string> first_field(const std::string& header, const char* wanted) {
  std::optional<std::string> found;
  for_each_field(header, [&](const std::string& name, std::string_view value) {
    if (!found && name == wanted) found = std::string(value);
  });
  return found;
}

int follow_redirect(int fd, const UrlOpen& request, const std::string& header) {
  close(fd);
  const std::optional<std::string> target = first_field(header, "location");
  if (!target || target->empty()) {
    set_open_failure_reason("HTTP redirect without a location");
    return -2;
  }
  if (request.redirects >= kMaxRedirects) {
    set_open_failure_reason("too many redirects");
    return -2;
  }
  // A server may send us elsewhere on the network, never to a local file.
  UrlParts next;
  if (parse_url(target->c_str(), next) == 1) {
    set_open_failure_reason("redirect to a local file refused");
    return -2;
  }
  return open_url(
      UrlOpen{target->c_str(), next, request.flags, request.mode, request.redirects + 1});
}

}  // namespace

int http_open(int fd, const UrlOpen& request) {
  if (!send_request(fd, request.parts)) {
    close(fd);
    return -1;
  }
  std::string header;
  switch (read_header(fd, header)) {
    case Status::kOk:
      break;
    case Status::kRedirect:
      return follow_redirect(fd, request, header);
    case Status::kPending:
    case Status::kRefused:
      close(fd);
      return -2;
  }
  announce_length(fd, announced_length(header));
  reopen_record_set(fd, request.location, request.flags, request.mode);
  return fd;
}

int http_exchange(int fd, const char* location, const UrlParts& parts, int flags, int mode) {
  return http_open(fd, UrlOpen{location, parts, flags, mode, 0});
}

}  // namespace mirt
