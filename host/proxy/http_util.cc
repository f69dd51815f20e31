#include "proxy/http_util.h"

#include "proxy/exceptions.h"

namespace velquor::host::proxy {

std::vector<std::string> Tokens(std::string_view value) {
  std::vector<std::string> out;
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = value.find(',', at);
    std::string t =
        Lower(Trim(value.substr(at, comma == std::string_view::npos ? comma : comma - at)));
    if (!t.empty()) out.push_back(std::move(t));
    if (comma == std::string_view::npos) break;
    at = comma + 1;
  }
  return out;
}

bool IsHopByHop(const std::string& lower_name) {
  static const char* const kNames[] = {"connection",
                                       "keep-alive",
                                       "proxy-connection",
                                       "proxy-authorization",
                                       "proxy-authenticate",
                                       "te",
                                       "trailer",
                                       "transfer-encoding",
                                       "upgrade"};
  for (const char* n : kNames) {
    if (lower_name == n) return true;
  }
  return false;
}

bool SplitAuthority(std::string_view authority, const char* default_port, Target* t) {
  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(0, close + 1);
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
    }
  } else {
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      if (port.empty()) port = default_port;
    }
  }
  if (port.empty()) port = default_port;
  if (port.empty() || port.size() > 5) return false;
  unsigned long n = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned long>(c - '0');
  }
  if (n == 0 || n > 65535) return false;
  t->host = std::string(host);
  t->port = std::to_string(n);
  return !NormalizeHost(t->host).empty();
}

bool ParseAbsolute(std::string_view target, Target* t, std::string* why) {
  if (target.size() < 7 || Lower(target.substr(0, 7)) != "http://") {
    *why = Lower(target.substr(0, 8)) == "https://"
               ? "https addresses are reached with CONNECT"
               : "the request target is not an http:// address";
    return false;
  }
  std::string_view rest = target.substr(7);
  const std::size_t end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, end);
  if (authority.find('@') != std::string_view::npos) {
    *why = "user names in addresses are not forwarded";
    return false;
  }
  if (!SplitAuthority(authority, "80", t)) {
    *why = "bad host or port in the request target";
    return false;
  }
  std::string_view path = end == std::string_view::npos ? "" : rest.substr(end);
  const std::size_t hash = path.find('#');
  if (hash != std::string_view::npos) path = path.substr(0, hash);
  t->path = path.empty() || path.front() != '/' ? "/" + std::string(path) : std::string(path);
  for (char c : t->path) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) {
      *why = "control characters or spaces in the request target";
      return false;
    }
  }
  return true;
}

int TransferCodingProblem(const http::fields& fields, std::string* why) {
  if (fields.count(http::field::transfer_encoding) == 0) return 0;
  std::vector<std::string> codings;
  for (auto it = fields.find(http::field::transfer_encoding);
       it != fields.end() && it->name() == http::field::transfer_encoding; ++it) {
    for (std::string& c : Tokens(SV(it->value()))) codings.push_back(std::move(c));
  }
  if (codings.empty() || codings.back() != "chunked") {
    *why = "a Transfer-Encoding must end with chunked";
    return 400;
  }
  for (std::size_t i = 0; i + 1 < codings.size(); ++i) {
    if (codings[i] == "chunked") {
      *why = "a Transfer-Encoding names chunked more than once";
      return 400;
    }
    *why = "the transfer coding " + codings[i] + " is not supported, only chunked";
    return 501;
  }
  return 0;
}

}  // namespace velquor::host::proxy
