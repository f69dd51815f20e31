#include "proxy/exceptions.h"

#include <arpa/inet.h>

#include <algorithm>

#include "platform/registry.h"
#include "settings/store.h"

namespace velquor::host {
namespace {

bool IsIpAddress(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

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
  if (IsIpAddress(h)) {
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

bool IsExempt(const std::vector<std::string>& exceptions, const std::string& host) {
  const std::string h = NormalizeHost(host);
  if (h.empty()) return false;
  const bool ip = IsIpAddress(h);
  for (const std::string& e : exceptions) {
    if (h == e) return true;
    // An address is never a subdomain of anything.
    if (!ip && h.size() > e.size() && h.compare(h.size() - e.size(), e.size(), e) == 0 &&
        h[h.size() - e.size() - 1] == '.' && !IsIpAddress(e)) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> ParseExceptions(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find_first_of(" \t\r\n,", at);
    const std::string word = text.substr(at, end == std::string::npos ? end : end - at);
    const std::string host = NormalizeHost(word);
    if (!host.empty() && std::find(out.begin(), out.end(), host) == out.end()) {
      out.push_back(host);
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return out;
}

namespace {

std::vector<std::string> ReadHostList(const StoreValue& value) {
  // The list may outgrow the 1024 bytes that ordinary text settings get.
  std::string data(1024, '\0');
  DWORD size = 0;
  LSTATUS s = RegReadValueFast(HKEY_CURRENT_USER, kConfigKey, value.name,
                               reinterpret_cast<BYTE*>(data.data()),
                               static_cast<DWORD>(data.size()), &size);
  if (s == ERROR_MORE_DATA) {
    data.assign(size, '\0');
    s = RegReadValueFast(HKEY_CURRENT_USER, kConfigKey, value.name,
                         reinterpret_cast<BYTE*>(data.data()), size, &size);
  }
  if (s != ERROR_SUCCESS) return {};
  data.resize(std::min<std::size_t>(size, data.size()));
  const std::size_t zero = data.find('\0');
  if (zero != std::string::npos) data.resize(zero);
  return ParseExceptions(data);
}

bool WriteHostList(const StoreValue& value, const std::vector<std::string>& exceptions,
                   std::string* error) {
  std::string text;
  for (const std::string& e : exceptions) {
    if (!text.empty()) text += ' ';
    text += e;
  }
  HKEY key = nullptr;
  LSTATUS s = RegCreateKeyExA(HKEY_CURRENT_USER, kConfigKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr);
  if (s == ERROR_SUCCESS) {
    s = RegSetValueExA(key, value.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
  }
  if (s == ERROR_SUCCESS) return true;
  const std::string problem = StoreProblem();
  *error = problem.empty() ? "the store cannot be written" : problem;
  return false;
}

}  // namespace

std::vector<std::string> ReadExceptions() { return ReadHostList(kExceptions); }
std::vector<std::string> ReadTunnelHosts() { return ReadHostList(kTunnelHosts); }

bool WriteExceptions(const std::vector<std::string>& hosts, std::string* error) {
  return WriteHostList(kExceptions, hosts, error);
}
bool WriteTunnelHosts(const std::vector<std::string>& hosts, std::string* error) {
  return WriteHostList(kTunnelHosts, hosts, error);
}

}  // namespace velquor::host
