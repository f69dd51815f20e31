#include "proxy/exceptions.h"

#include <algorithm>

#include "platform/registry.h"
#include "settings/store.h"

namespace velquor::host {

bool IsExempt(const std::vector<std::string>& exceptions, const std::string& host) {
  const std::string h = NormalizeHost(host);
  if (h.empty()) return false;
  const bool ip = IsIpLiteral(h);
  for (const std::string& e : exceptions) {
    if (h == e) return true;
    // An address is never a subdomain of anything.
    if (!ip && h.size() > e.size() && h.compare(h.size() - e.size(), e.size(), e) == 0 &&
        h[h.size() - e.size() - 1] == '.' && !IsIpLiteral(e)) {
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

std::string TunnelCommand(const std::string& host) { return "velquor exempt --tunnel add " + host; }

}  // namespace velquor::host
