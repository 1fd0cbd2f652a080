#include "location/url.h"

#include <cstring>
#include <string>
#include <string_view>

#include "common/ascii.h"
#include "location/schemes.h"

namespace mirt {
namespace {

// Copies at most size - 1 bytes of `text` and terminates.
void copy_cut(char* out, size_t size, std::string_view text) {
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  if (n > 0) std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// The encoded path stops growing once it reaches this many characters, so
// one more escape still fits below 1024 bytes.
constexpr size_t kEncodedStop = 1019;

std::string encode_path(std::string_view raw) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(kPathSize);
  for (char ch : raw) {
    if (out.size() >= kEncodedStop) break;
    auto b = static_cast<unsigned char>(ch);
    if (b >= 0x21 && b <= 0x7F) {
      out.push_back(ch);
    } else if (b == 0x20) {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
    }
  }
  return out;
}

// user[:password]@host: sets user and password from the authority in
// parts.host, and gives what is left.
std::string take_credentials(UrlParts& parts) {
  parts.password[0] = '\0';
  std::string host(parts.host);
  if (host.find('@') == std::string::npos) {
    parts.user[0] = '\0';
    return host;
  }
  size_t cut = host.find_first_of("@:");
  copy_cut(parts.user, kUserSize, std::string_view(host).substr(0, cut));
  std::string remainder = host.substr(cut + 1);
  size_t at = remainder.find('@');
  if (at != std::string::npos) {
    copy_cut(parts.password, kPasswordSize, std::string_view(remainder).substr(0, at));
    remainder.erase(0, at + 1);
  }
  return remainder;
}

// host[:port]: the port given, else the scheme's own; cut off `host`.
void take_port(std::string& host, UrlParts& parts) {
  size_t port_colon = host.find(':');
  if (port_colon != std::string::npos) {
    uint32_t port = 0;  // not range-checked; wraps like any unsigned sum
    for (size_t i = port_colon + 1; i < host.size() && host[i] >= '0' && host[i] <= '9'; ++i)
      port = port * 10 + static_cast<uint32_t>(host[i] - '0');
    parts.port = static_cast<int32_t>(port);
    host.erase(port_colon);
  } else if (const UrlScheme* known = find_url_scheme(parts.scheme)) {
    parts.port = known->default_port;
  }
}

}  // namespace

bool is_url(std::string_view location) { return location.find("://") != std::string_view::npos; }

int parse_url(const char* location, UrlParts& parts) {
  if (location == nullptr) location = "";
  std::string_view loc(location);
  if (!is_url(loc)) {
    copy_cut(parts.path, kPathSize, loc);
    return 1;
  }

  const std::string text(loc);  // private copy; the caller's string is never touched
  parts.port = 0;
  copy_cut(parts.path, kPathSize, "/");

  // Scheme: up to the first ':', which lies at or before the "://", so the
  // two characters skipped after it always exist. A scheme longer than four
  // characters is left empty: it must not pass for a known one cut short
  // (https is not http).
  size_t colon = text.find(':');
  std::string_view scheme = std::string_view(text).substr(0, colon);
  copy_cut(parts.scheme, kSchemeSize, scheme.size() < kSchemeSize ? scheme : std::string_view());
  size_t pos = colon + 3;

  // Authority up to the next '/', the rest is the path.
  size_t slash = text.find('/', pos);
  std::string_view rest = std::string_view(text).substr(pos);
  std::string_view authority = rest.substr(0, slash == std::string::npos ? rest.size() : slash - pos);
  copy_cut(parts.host, kHostSize, authority);
  std::string raw_path = "/";
  if (slash != std::string::npos) {
    std::string_view after = std::string_view(text).substr(slash + 1);
    raw_path.append(after.substr(0, kPathSize - 2));
  }
  copy_cut(parts.path, kPathSize, encode_path(raw_path));

  lowercase_string(parts.scheme);
  std::string host = take_credentials(parts);
  take_port(host, parts);
  copy_cut(parts.host, kHostSize, host);
  return 0;
}

}  // namespace mirt
