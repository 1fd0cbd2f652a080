// TCP connections and the two URL clients: an HTTP/1.0 GET that follows
// 302 redirects, and a passive-mode FTP dialogue for retrieving and storing.
#include "location/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "common/ascii.h"
#include "common/diag.h"
#include "common/keyword.h"
#include "location/base64.h"
#include "location/stream.h"

namespace mirt {
namespace {

bool g_network_disabled = false;
bool g_network_initialised = false;
ConnectHook g_connect_hook = nullptr;

constexpr int kStatusSize = 50;
constexpr int kTargetSize = 512;
constexpr int kReplySize = 1024;
// Enough for four address fields of at most five characters and the dots.
constexpr int kPassiveHostSize = 4 * 5 + 3 + 1;
// Longer chains are taken for a loop.
constexpr int kMaxRedirects = 10;
// A server that never ends its header must not make us grow without end.
constexpr size_t kMaxHeaderSize = 64 * 1024;
constexpr size_t kHeaderChunk = 4096;
// Server texts quoted in a failure reason are cut here.
constexpr size_t kQuotedTextLimit = 80;
// Thirteen characters in e-mail form, under a reserved domain.
constexpr const char* kAnonymousPassword = "ftp@mirt.test";

// Platform network start-up; nothing to do on Unix.
int network_platform_init() { return 0; }

// Unchecked: a broken connection shows at the next read. A peer that went
// away must not kill the process with SIGPIPE.
void send_text(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t sent = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == ENOTSOCK) sent = write(fd, text.data() + done, text.size() - done);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return;
    done += static_cast<size_t>(sent);
  }
}


// The Content-Length of a header read exactly up to its end, -1 when
// there is none, it is not a plain number, or copies disagree.
int64_t announced_length(const std::string& header) {
  int64_t found = -1;
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find('\n', start);
    if (end == std::string::npos) end = header.size();
    std::string line = header.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    constexpr const char* kField = "content-length:";
    if (!starts_with_lower(line, kField)) continue;
    size_t i = std::strlen(kField);
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size() || line[i] < '0' || line[i] > '9') return -1;
    int64_t value = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
      if (value > (INT64_MAX - 9) / 10) return -1;
      value = value * 10 + (line[i] - '0');
    }
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i != line.size() || (found >= 0 && found != value)) return -1;
    found = value;
  }
  return found;
}

// A server's words for a failure reason: one line, printable ASCII only
// (control bytes could rewrite the user's terminal), and not too long.
std::string quoted_text(const char* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length && out.size() < kQuotedTextLimit; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' || c == '\n' || c == '\0') break;
    out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string system_text(int err) { return std::strerror(err); }

int open_url_at_depth(const char* location, const UrlParts& parts, int flags, int mode,
                      int depth);

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

int follow_redirect(int fd, int flags, int mode, int depth) {
  unsigned char space;
  (void)read_some(fd, &space, 1);
  char target[kTargetSize] = {};
  ssize_t got = read_some(fd, target, kTargetSize - 2);
  close(fd);
  if (got < 0) got = 0;
  target[got] = '\0';
  target[std::strcspn(target, "\r\n")] = '\0';
  if (depth >= kMaxRedirects) {
    set_open_failure_reason("too many redirects");
    return -2;
  }
  // A server may send us elsewhere on the network, never to a local file.
  UrlParts next;
  if (parse_url(target, next) == 1) {
    set_open_failure_reason("redirect to a local file refused");
    return -2;
  }
  return open_url_at_depth(target, next, flags, mode, depth + 1);
}

// The status read: the four bytes after its first space must be "200 " or
// "302 ". Returns the first digit of the code, or 0 (the reason set) when
// the answer is refused.
char accepted_status(const char* status, ssize_t got, int read_error) {
  const char* space = got > 0 ? static_cast<const char*>(std::memchr(status, ' ', got)) : nullptr;
  const ssize_t after = space != nullptr ? status + got - (space + 1) : 0;
  if (space != nullptr && after >= 4 &&
      (std::memcmp(space + 1, "200 ", 4) == 0 || std::memcmp(space + 1, "302 ", 4) == 0))
    return space[1];
  if (got < 0)
    set_open_failure_reason("reading the HTTP answer: " + system_text(read_error));
  else if (got == 0)
    set_open_failure_reason("no answer from the HTTP server");
  else if (space == nullptr || after < 4)
    set_open_failure_reason("not an HTTP answer");
  else
    set_open_failure_reason("HTTP " + quoted_text(space + 1, static_cast<size_t>(after)));
  return 0;
}

enum class HeaderEnd { kEnded, kRedirect, kFailed, kNotYet };

// Scans the header after the status read for its end (a line feed, any
// byte, a line feed) or, in a redirect, for "ion:". A window holds the
// last four bytes, newest first; the rest of the status read is not
// scanned. Exactly the bytes up to the match leave the socket, appended
// to `header`; the body stays for the caller. Fails (reason set) at the
// end of the stream or past kMaxHeaderSize.
HeaderEnd scan_header(int fd, bool redirect, std::string& header) {
  char window[4] = {0, header[1], header[2], header[3]};
  HeaderSource source(fd);
  char chunk[kHeaderChunk];
  while (header.size() < kMaxHeaderSize) {
    const ssize_t seen = source.look(chunk, std::min(sizeof chunk, kMaxHeaderSize - header.size()));
    if (seen <= 0) {
      set_open_failure_reason(seen < 0 ? "reading the HTTP header: " + system_text(errno)
                                       : "HTTP header cut short");
      return HeaderEnd::kFailed;
    }
    size_t used = 0;
    HeaderEnd found = HeaderEnd::kNotYet;
    while (used < static_cast<size_t>(seen) && found == HeaderEnd::kNotYet) {
      window[0] = chunk[used++];
      if (window[0] == '\n' && window[2] == '\n') {
        found = HeaderEnd::kEnded;
      } else if (redirect && std::memcmp(window, ":noi", 4) == 0) {
        found = HeaderEnd::kRedirect;
      } else {
        window[3] = window[2];
        window[2] = window[1];
        window[1] = window[0];
      }
    }
    if (!source.take(chunk, used)) {
      set_open_failure_reason("HTTP header cut short");
      return HeaderEnd::kFailed;
    }
    header.append(chunk, used);
    if (found != HeaderEnd::kNotYet) return found;
  }
  set_open_failure_reason("HTTP header too long");
  return HeaderEnd::kFailed;
}

int http_request(int fd, const char* location, const UrlParts& parts, int flags, int mode,
                 int depth) {
  std::string request = std::string("GET ") + parts.path + " HTTP/1.0\nHost: " + parts.host + "\n";
  if (parts.user[0] != '\0') {
    std::string credentials = std::string(parts.user) + ":" + parts.password;
    auto encoded = base64_encode_string(credentials.c_str());
    if (!encoded) {
      close(fd);
      return -1;
    }
    request += "Authorization: Basic " + *encoded + "\n";
  }
  request += "\n";
  send_text(fd, request);

  char status[kStatusSize] = {};
  const ssize_t got = read_some(fd, status, sizeof status);
  const char code = accepted_status(status, got, errno);
  if (code == 0) {
    close(fd);
    return -2;
  }
  // Everything read so far: the announced length is looked up in it.
  std::string header(status, static_cast<size_t>(got));
  switch (scan_header(fd, code == '3', header)) {
    case HeaderEnd::kFailed:
    case HeaderEnd::kNotYet:
      close(fd);
      return -2;
    case HeaderEnd::kRedirect:
      return follow_redirect(fd, flags, mode, depth);
    case HeaderEnd::kEnded:
      break;
  }

  // The length only counts when the blank line just found is the first
  // one: otherwise part of the body went with the status read.
  int64_t length = -1;
  size_t first_end = std::string::npos;
  for (size_t i = 2; i < header.size(); ++i) {
    if (header[i] == '\n' && header[i - 2] == '\n') {
      first_end = i;
      break;
    }
  }
  if (first_end == header.size() - 1) length = announced_length(header);
  announce_length(fd, length);
  reopen_record_set(fd, location, flags, mode);
  return fd;
}

// Up to `end`: at least one digit, then anything. Large values wrap; only
// the low 16 bits of the port count.
bool parse_number(const char* text, const char* end, uint32_t& value) {
  if (text >= end || *text < '0' || *text > '9') return false;
  value = 0;
  for (; text < end && *text >= '0' && *text <= '9'; ++text)
    value = value * 10 + static_cast<uint32_t>(*text - '0');
  return true;
}

// "227 ... (h1,h2,h3,h4,p1,p2)". Every field must be there and numeric, so
// a broken reply can neither leave parts of the address unset nor make us
// resolve a name the server chose.
bool parse_passive(const char* line, char (&host)[kPassiveHostSize], int32_t& port) {
  const char* field = std::strchr(line, '(');
  if (field == nullptr) return false;
  ++field;
  size_t used = 0;
  for (int i = 0; i < 4; ++i) {
    const char* comma = std::strchr(field, ',');
    if (comma == nullptr || comma == field) return false;
    size_t take = static_cast<size_t>(comma - field);
    if (take > 5) take = 5;
    for (size_t k = 0; k < take; ++k) {
      if (field[k] < '0' || field[k] > '9') return false;
      host[used++] = field[k];
    }
    if (i < 3) host[used++] = '.';
    field = comma + 1;
  }
  host[used] = '\0';
  const char* comma = std::strchr(field, ',');
  uint32_t high = 0;
  uint32_t low = 0;
  if (comma == nullptr || !parse_number(field, comma, high)) return false;
  field = comma + 1;
  if (!parse_number(field, field + std::strcspn(field, ")\n\r "), low)) return false;
  port = static_cast<int32_t>((high * 256 + low) & 0xFFFFu);
  return true;
}

// The host the control connection reached, as a dotted address: the data
// connection goes there too, whatever address a passive reply names, so a
// server cannot send us to a third machine. A control connection that is
// not IPv4 TCP (only tests make those) leaves the URL's host.
std::string control_peer(int control, const char* url_host) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  char dotted[INET_ADDRSTRLEN] = {};
  if (getpeername(control, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
      peer.sin_family == AF_INET &&
      inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted) != nullptr)
    return dotted;
  return url_host;
}

// One FTP login and transfer request, driven by the server's reply codes.
// Owns the control connection and the data connection until the transfer
// starts; then the data connection is the open's result and the control
// connection stays open for the transfer.
class FtpDialogue {
 public:
  FtpDialogue(int control, const char* location, const UrlParts& parts, int flags, int mode)
      : control_(control), location_(location), parts_(parts), flags_(flags), mode_(mode) {}

  // Answers one reply line. Empty while the dialogue goes on; otherwise
  // the result of the open.
  std::optional<int> answer(const char* line);

  // Closes both connections and gives `result`.
  int finish(int result) {
    if (data_ >= 0) close(data_);
    close(control_);
    return result;
  }

 private:
  std::optional<int> passive_reply(const char* line);
  std::optional<int> request_transfer();
  std::optional<int> transfer_starts();
  // A refusal quoted from the server ("FTP 550 No such file").
  int refused(const char* line, int result) {
    set_open_failure_reason("FTP " + quoted_text(line, std::strlen(line)));
    return finish(result);
  }
  bool storing() const { return (flags_ & O_WRONLY) != 0; }

  int control_;
  const char* location_;
  const UrlParts& parts_;
  int flags_;
  int mode_;
  char data_host_[kPassiveHostSize] = {};
  int32_t data_port_ = 0;
  bool passive_ = false;
  int data_ = -1;
};

std::optional<int> FtpDialogue::answer(const char* line) {
  static const uint32_t k220 = elf_hash4("220 ");
  static const uint32_t k331 = elf_hash4("331 ");
  static const uint32_t k230 = elf_hash4("230 ");
  static const uint32_t k227 = elf_hash4("227 ");
  static const uint32_t k200 = elf_hash4("200 ");
  static const uint32_t k150 = elf_hash4("150 ");
  static const uint32_t k530 = elf_hash4("530 ");
  static const uint32_t k550 = elf_hash4("550 ");
  static const uint32_t k553 = elf_hash4("553 ");
  if (std::strlen(line) < 4) return std::nullopt;
  const uint32_t code = elf_hash4(line);
  if (code == k220) {
    send_text(control_, std::string("USER ") + (parts_.user[0] ? parts_.user : "anonymous") + "\n");
  } else if (code == k331) {
    send_text(control_, std::string("PASS ") +
                            (parts_.password[0] ? parts_.password : kAnonymousPassword) + "\n");
  } else if (code == k230) {
    send_text(control_, "PASV\n");
  } else if (code == k227) {
    return passive_reply(line);
  } else if (code == k200) {
    return request_transfer();
  } else if (code == k150) {
    return transfer_starts();
  } else if (code == k530) {
    return refused(line, -5);
  } else if (code == k550) {
    return refused(line, -2);
  } else if (code == k553) {
    return refused(line, -1);
  }
  return std::nullopt;
}

std::optional<int> FtpDialogue::passive_reply(const char* line) {
  if (!parse_passive(line, data_host_, data_port_)) {
    set_open_failure_reason("bad FTP passive reply");
    return finish(-2);
  }
  passive_ = true;
  send_text(control_, "TYPE I\n");
  return std::nullopt;
}

std::optional<int> FtpDialogue::request_transfer() {
  send_text(control_, std::string(storing() ? "STOR " : "RETR ") + parts_.path + "\n");
  if (data_ >= 0) close(data_);  // a repeated 200 must not leak the first one
  // Only the port of a passive reply is used (see control_peer).
  data_ = tcp_connect(passive_ ? control_peer(control_, parts_.host).c_str() : parts_.host,
                      passive_ ? data_port_ : parts_.port);
  if (data_ < 0) {
    data_ = -1;
    const char* why = open_failure_reason();
    set_open_failure_reason(std::string("FTP data connection: ") +
                            (why != nullptr ? why : "failed"));
    return finish(-2);
  }
  return std::nullopt;
}

std::optional<int> FtpDialogue::transfer_starts() {
  if (data_ < 0) {
    set_open_failure_reason("FTP transfer announced without a data connection");
    return finish(-1);
  }
  announce_length(data_, -1);
  reopen_record_set(data_, location_, flags_, mode_);
  return data_;
}

int ftp_dialogue(int control, const char* location, const UrlParts& parts, int flags, int mode) {
  if (flags & O_RDWR) {
    set_open_failure_reason("FTP locations cannot be opened for reading and writing");
    close(control);
    return -1;
  }
  FtpDialogue dialogue(control, location, parts, flags, mode);
  char reply[kReplySize + 1];
  for (;;) {
    const ssize_t got = read_some(control, reply, kReplySize);
    if (got <= 0) {
      set_open_failure_reason(got < 0 ? "reading the FTP reply: " + system_text(errno)
                                      : "FTP server closed the connection");
      return dialogue.finish(-5);
    }
    reply[got] = '\0';
    for (char* line = reply; line != nullptr;) {
      char* newline = std::strchr(line, '\n');
      if (newline != nullptr) *newline = '\0';
      if (std::optional<int> result = dialogue.answer(line)) return *result;
      line = newline != nullptr ? newline + 1 : nullptr;
    }
  }
}

int dispatch(int fd, const char* location, const UrlParts& parts, int flags, int mode, int depth) {
  const uint32_t scheme = elf_hash(parts.scheme);
  if (scheme == elf_hash("ftp")) return ftp_dialogue(fd, location, parts, flags, mode);
  if (scheme == elf_hash("http") && (flags & (O_WRONLY | O_RDWR)) == 0)
    return http_request(fd, location, parts, flags, mode, depth);
  set_open_failure_reason(scheme == elf_hash("http") ? "HTTP locations cannot be written"
                                                     : "unsupported URL scheme");
  close(fd);
  return -1;
}

int open_url_at_depth(const char* location, const UrlParts& parts, int flags, int mode,
                      int depth) {
  int fd = tcp_connect(parts.host, parts.port);
  if (fd < 0) return -1;
  return dispatch(fd, location, parts, flags, mode, depth);
}

}  // namespace

int network_init() {
  if (g_network_initialised) return 0;
  g_network_initialised = true;
  if (network_platform_init() < 0) g_network_disabled = true;
  return 0;
}

bool network_disabled() { return g_network_disabled; }

void set_network_disabled(bool disabled) { g_network_disabled = disabled; }

int tcp_connect(const char* host, int32_t port) {
  if (g_network_disabled) return -1;
  if (g_connect_hook != nullptr) return g_connect_hook(host, port);
  in_addr address{};
  if (inet_aton(host, &address) == 0) {
    const hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != sizeof address ||
        entry->h_addr_list[0] == nullptr) {
      set_open_failure_reason(std::string("unknown host ") + quoted_text(host, std::strlen(host)));
      return -1;
    }
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    set_open_failure_reason("cannot make a socket: " + system_text(errno));
    return -5;
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr = address;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    const int err = errno;
    report_system_error("connect", err);
    set_open_failure_reason(err == ECONNREFUSED ? std::string("connection refused")
                                                : "cannot connect: " + system_text(err));
    close(fd);
    return -5;
  }
  return fd;
}

int listen_socket(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    std::perror("bind");
    close(fd);
    return -1;
  }
  if (listen(fd, 1024) != 0) {
    std::perror("listen");
    close(fd);
    return -1;
  }
  return fd;
}

void close_socket(int socket) {
  shutdown(socket, SHUT_WR);
  close(socket);
}

int open_url(const char* location, const UrlParts& parts, int flags, int mode) {
  return open_url_at_depth(location, parts, flags, mode, 0);
}

int http_exchange(int fd, const char* location, const UrlParts& parts, int flags, int mode) {
  return http_request(fd, location, parts, flags, mode, 0);
}

int ftp_exchange(int fd, const char* location, const UrlParts& parts, int flags, int mode) {
  return ftp_dialogue(fd, location, parts, flags, mode);
}

void network_reset() {
  g_network_disabled = false;
  g_network_initialised = false;
  g_connect_hook = nullptr;
}

void set_connect_hook(ConnectHook hook) { g_connect_hook = hook; }

}  // namespace mirt
