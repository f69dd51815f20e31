#include "platform/url.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "platform/ascii.h"

namespace {

bool MustEncode(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F) return true;
  return std::strchr("\"<>\\^`{|}", c) != nullptr;
}

// Hands out one component as the caller asked: a pointer into the URL when
// it gave no buffer, a zero-terminated copy when it gave one. False when the
// buffer is too small.
bool SetComponent(const char* from, size_t length, LPSTR* place, DWORD* place_length) {
  if (*place == nullptr) {
    if (*place_length != 0) {
      *place = const_cast<LPSTR>(from);
      *place_length = static_cast<DWORD>(length);
    }
    return true;
  }
  if (*place_length <= length) {
    *place_length = static_cast<DWORD>(length + 1);
    return false;
  }
  std::memcpy(*place, from, length);
  (*place)[length] = '\0';
  *place_length = static_cast<DWORD>(length);
  return true;
}

INTERNET_SCHEME SchemeNumber(const std::string& scheme) {
  struct Known {
    const char* name;
    INTERNET_SCHEME number;
  };
  static constexpr Known kKnown[] = {
      {"ftp", INTERNET_SCHEME_FTP},       {"gopher", INTERNET_SCHEME_GOPHER},
      {"http", INTERNET_SCHEME_HTTP},     {"https", INTERNET_SCHEME_HTTPS},
      {"file", INTERNET_SCHEME_FILE},     {"news", INTERNET_SCHEME_NEWS},
      {"mailto", INTERNET_SCHEME_MAILTO},
  };
  for (const Known& k : kKnown) {
    if (velquor::AsciiEqualsNoCase(scheme, k.name)) return k.number;
  }
  return INTERNET_SCHEME_UNKNOWN;
}

INTERNET_PORT DefaultPort(INTERNET_SCHEME scheme) {
  switch (scheme) {
    case INTERNET_SCHEME_FTP:
      return INTERNET_DEFAULT_FTP_PORT;
    case INTERNET_SCHEME_GOPHER:
      return INTERNET_DEFAULT_GOPHER_PORT;
    case INTERNET_SCHEME_HTTP:
      return INTERNET_DEFAULT_HTTP_PORT;
    case INTERNET_SCHEME_HTTPS:
      return INTERNET_DEFAULT_HTTPS_PORT;
    default:
      return INTERNET_INVALID_PORT_NUMBER;
  }
}

}  // namespace

BOOL InternetCanonicalizeUrlA(LPCSTR lpszUrl, LPSTR lpszBuffer, LPDWORD lpdwBufferLength,
                              DWORD dwFlags) {
  if (lpszUrl == nullptr || lpdwBufferLength == nullptr) return FALSE;
  size_t begin = 0;
  size_t end = std::strlen(lpszUrl);
  const auto byte = [lpszUrl](size_t i) { return static_cast<unsigned char>(lpszUrl[i]); };
  while (begin < end && byte(begin) <= 0x20) ++begin;
  while (end > begin && byte(end - 1) <= 0x20) --end;

  static constexpr char kHex[] = "0123456789ABCDEF";
  const bool encode = (dwFlags & ICU_NO_ENCODE) == 0;
  const bool browser_mode = (dwFlags & ICU_BROWSER_MODE) != 0;
  bool in_query = false;  // past the first "#" or "?"
  std::string out;
  out.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) {
    const unsigned char c = byte(i);
    if (c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '#' || c == '?') in_query = true;
    if (encode && MustEncode(c) && !(browser_mode && in_query)) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (lpszBuffer == nullptr || *lpdwBufferLength <= out.size()) {
    *lpdwBufferLength = static_cast<DWORD>(out.size() + 1);
    return FALSE;
  }
  std::memcpy(lpszBuffer, out.data(), out.size());
  lpszBuffer[out.size()] = '\0';
  *lpdwBufferLength = static_cast<DWORD>(out.size());
  return TRUE;
}

BOOL InternetCrackUrlA(LPCSTR lpszUrl, DWORD dwUrlLength, DWORD /*dwFlags*/,
                       LPURL_COMPONENTSA lpUrlComponents) {
  if (lpszUrl == nullptr || lpUrlComponents == nullptr) return FALSE;
  const std::string url(lpszUrl, dwUrlLength != 0 ? dwUrlLength : std::strlen(lpszUrl));
  const size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return FALSE;
  const std::string scheme = url.substr(0, colon);
  const INTERNET_SCHEME scheme_number = SchemeNumber(scheme);

  size_t host_begin = colon + 1;
  size_t host_end = host_begin;
  size_t user_begin = host_begin, user_end = host_begin;
  size_t password_begin = host_begin, password_end = host_begin;
  INTERNET_PORT port = DefaultPort(scheme_number);
  size_t path_begin = colon + 1;

  if (url.compare(colon + 1, 2, "//") == 0) {
    const size_t authority_begin = colon + 3;
    size_t authority_end = url.find_first_of("/?#", authority_begin);
    if (authority_end == std::string::npos) authority_end = url.size();
    path_begin = authority_end;
    host_begin = authority_begin;
    host_end = authority_end;
    user_begin = user_end = password_begin = password_end = authority_begin;
    // User information ends at the last "@" of the authority.
    const size_t at = url.rfind('@', authority_end - 1);
    if (at != std::string::npos && at >= authority_begin) {
      host_begin = at + 1;
      user_end = at;
      const size_t separator = url.find(':', authority_begin);
      if (separator != std::string::npos && separator < at) {
        user_end = separator;
        password_begin = separator + 1;
        password_end = at;
      } else {
        password_begin = password_end = at;
      }
    }
    // The port begins at the host's last ":", unless that colon stands inside
    // a bracketed address literal.
    size_t port_colon = std::string::npos;
    for (size_t i = host_end; i > host_begin; --i) {
      if (url[i - 1] == ':') {
        port_colon = i - 1;
        break;
      }
      if (url[i - 1] == ']') break;
    }
    if (port_colon != std::string::npos) {
      const size_t digits_begin = port_colon + 1;
      host_end = port_colon;
      if (digits_begin < authority_end) {
        uint32_t number = 0;
        for (size_t i = digits_begin; i < authority_end; ++i) {
          if (url[i] < '0' || url[i] > '9') return FALSE;
          number = number * 10 + static_cast<uint32_t>(url[i] - '0');
          if (number > 65535) return FALSE;
        }
        port = static_cast<INTERNET_PORT>(number);
      }
    }
  }
  size_t extra_begin = url.find_first_of("?#", path_begin);
  if (extra_begin == std::string::npos) extra_begin = url.size();

  URL_COMPONENTSA& c = *lpUrlComponents;
  const char* base = lpszUrl;
  c.nScheme = scheme_number;
  c.nPort = port;
  return SetComponent(base, colon, &c.lpszScheme, &c.dwSchemeLength) &&
                 SetComponent(base + host_begin, host_end - host_begin, &c.lpszHostName,
                              &c.dwHostNameLength) &&
                 SetComponent(base + user_begin, user_end - user_begin, &c.lpszUserName,
                              &c.dwUserNameLength) &&
                 SetComponent(base + password_begin, password_end - password_begin, &c.lpszPassword,
                              &c.dwPasswordLength) &&
                 SetComponent(base + path_begin, extra_begin - path_begin, &c.lpszUrlPath,
                              &c.dwUrlPathLength) &&
                 SetComponent(base + extra_begin, url.size() - extra_begin, &c.lpszExtraInfo,
                              &c.dwExtraInfoLength)
             ? TRUE
             : FALSE;
}
