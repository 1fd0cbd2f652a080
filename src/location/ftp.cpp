// The FTP client: a passive-mode dialogue for retrieving and storing,
// driven by the server's reply codes.
#include "location/ftp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "common/io.h"
#include "common/keyword.h"
#include "location/net.h"
#include "location/stream.h"

namespace mirt {
namespace {

constexpr size_t kReplySize = 1024;
// Enough for four address fields of at most five characters and the dots.
constexpr int kPassiveHostSize = 4 * 5 + 3 + 1;
// Thirteen characters in e-mail form, under a reserved domain.
constexpr const char* kAnonymousPassword = "ftp@mirt.test";

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
  FtpDialogue(int control, const UrlOpen& request) : control_(control), request_(request) {}

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
  bool storing() const { return (request_.flags & O_WRONLY) != 0; }

  int control_;
  const UrlOpen& request_;
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
  const UrlParts& parts = request_.parts;
  const uint32_t code = elf_hash4(line);
  if (code == k220) {
    send_text(control_, std::string("USER ") + (parts.user[0] ? parts.user : "anonymous") + "\n");
  } else if (code == k331) {
    send_text(control_, std::string("PASS ") +
                            (parts.password[0] ? parts.password : kAnonymousPassword) + "\n");
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
  const UrlParts& parts = request_.parts;
  send_text(control_, std::string(storing() ? "STOR " : "RETR ") + parts.path + "\n");
  if (data_ >= 0) close(data_);  // a repeated 200 must not leak the first one
  // Only the port of a passive reply is used (see control_peer).
  data_ = tcp_connect(passive_ ? control_peer(control_, parts.host).c_str() : parts.host,
                      passive_ ? data_port_ : parts.port);
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
  reopen_record_set(data_, request_.location, request_.flags, request_.mode);
  return data_;
}

// The control connection's replies, one line at a time, however the
// server's segments cut them. A line longer than kReplySize keeps its
// start: codes and passive addresses are at the front.
class ReplyLines {
 public:
  enum class Next { kLine, kEnded, kFailed };

  explicit ReplyLines(int control) : control_(control) {}

  // The next line, without its line feed, in `line`. At the end of the
  // stream an unfinished last line still counts; after that kEnded.
  // kFailed (reason set) on a read error or when the deadline passed.
  Next next(std::string& line, const Deadline& deadline);

 private:
  int control_;
  std::string pending_;
  size_t open_length_ = 0;  // bytes kept of the line not yet ended
  bool ended_ = false;
  bool heard_ = false;  // any reply came at all
};

ReplyLines::Next ReplyLines::next(std::string& line, const Deadline& deadline) {
  char buffer[kReplySize];
  for (;;) {
    if (const size_t newline = pending_.find('\n'); newline != std::string::npos) {
      line.assign(pending_, 0, newline);
      pending_.erase(0, newline + 1);
      return Next::kLine;
    }
    if (ended_) {
      if (pending_.empty()) return Next::kEnded;
      line.swap(pending_);
      pending_.clear();
      open_length_ = 0;
      return Next::kLine;
    }
    if (!wait_readable(control_, deadline)) {
      set_open_failure_reason(heard_ ? "FTP dialogue unfinished after " + timeout_text()
                                     : "no answer from the FTP server in " + timeout_text());
      return Next::kFailed;
    }
    const ssize_t got = read_some(control_, buffer, sizeof buffer);
    if (got < 0) {
      set_open_failure_reason("reading the FTP reply: " + system_text(errno));
      return Next::kFailed;
    }
    heard_ = heard_ || got > 0;
    ended_ = got == 0;
    for (ssize_t i = 0; i < got; ++i) {
      if (buffer[i] == '\n') {
        pending_ += '\n';
        open_length_ = 0;
      } else if (open_length_ < kReplySize) {
        pending_ += buffer[i];
        ++open_length_;
      }
    }
  }
}

int ftp_dialogue(int control, const UrlOpen& request) {
  if (request.flags & O_RDWR) {
    set_open_failure_reason("FTP locations cannot be opened for reading and writing");
    close(control);
    return -1;
  }
  FtpDialogue dialogue(control, request);
  ReplyLines replies(control);
  const Deadline deadline;
  std::string line;
  for (;;) {
    switch (replies.next(line, deadline)) {
      case ReplyLines::Next::kLine:
        if (std::optional<int> result = dialogue.answer(line.c_str())) return *result;
        break;
      case ReplyLines::Next::kEnded:
        set_open_failure_reason("FTP server closed the connection");
        return dialogue.finish(-5);
      case ReplyLines::Next::kFailed:
        return dialogue.finish(-5);
    }
  }
}

}  // namespace

int ftp_open(int control, const UrlOpen& request) { return ftp_dialogue(control, request); }

int ftp_exchange(int control, const char* location, const UrlParts& parts, int flags, int mode) {
  return ftp_open(control, UrlOpen{location, parts, flags, mode, 0});
}

}  // namespace mirt
