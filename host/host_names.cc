#include "host_names.h"

#include <arpa/inet.h>

namespace velquor::host {

bool IsIpLiteral(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string NormalizeHost(const std::string& host) {
  std::string h = host;
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') {
    h = h.substr(1, h.size() - 2);
    unsigned char buf[16];
    if (inet_pton(AF_INET6, h.c_str(), buf) != 1) return "";
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, buf, text, sizeof text);
    return text;
  }
  for (char& c : h) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  if (IsIpLiteral(h)) {
    unsigned char buf[16];
    if (inet_pton(AF_INET6, h.c_str(), buf) == 1) {
      char text[INET6_ADDRSTRLEN];
      inet_ntop(AF_INET6, buf, text, sizeof text);
      return text;
    }
    return h;
  }
  while (!h.empty() && h.back() == '.') h.pop_back();
  if (h.empty() || h.size() > 253 || h.front() == '.' || h.front() == '-') return "";
  for (char c : h) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
    if (!ok) return "";
  }
  if (h.find("..") != std::string::npos) return "";
  return h;
}

std::string HostProblem(const std::string& word) {
  std::string problem = "'" + word + "' is not a host name or IP address";
  // A pasted URL or HOST:PORT: name the host inside it when there is one.
  std::string inner = word;
  const std::size_t scheme = inner.find("://");
  if (scheme != std::string::npos) inner = inner.substr(scheme + 3);
  inner = inner.substr(0, inner.find_first_of("/?#"));
  const std::size_t at = inner.rfind('@');
  if (at != std::string::npos) inner = inner.substr(at + 1);
  std::string host = NormalizeHost(inner);
  if (host.empty() && inner.find(']') == std::string::npos) {
    host = NormalizeHost(inner.substr(0, inner.rfind(':')));
  } else if (host.empty()) {
    host = NormalizeHost(inner.substr(0, inner.find(']') + 1));
  }
  if (!host.empty() && host != word) problem += " (write " + host + ")";
  return problem;
}

bool CheckHostList(const std::string& text, std::string* problem) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find_first_of(" \t\r\n,", at);
    const std::string word = text.substr(at, end == std::string::npos ? end : end - at);
    if (!word.empty() && NormalizeHost(word).empty()) {
      *problem = HostProblem(word);
      return false;
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return true;
}

}  // namespace velquor::host
