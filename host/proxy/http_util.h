// HTTP helpers shared by the proxy's parts: the Asio/Beast names they use,
// header field handling, and the request targets a proxy is sent. The text
// helpers without network code are in http_text.h.
#ifndef VELQUOR_HOST_PROXY_HTTP_UTIL_H_
#define VELQUOR_HOST_PROXY_HTTP_UTIL_H_

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/http_text.h"

namespace velquor::host::proxy {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using beast::error_code;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

constexpr std::size_t kResponseHeaderLimit = 64 * 1024;
constexpr std::size_t kBodyBuffer = 64 * 1024;
// Bodies stream through, so their size is not limited. (Beast 1.74 compares a
// length with a disabled limit as if it were exceeded: use the largest one.)
constexpr std::uint64_t kNoBodyLimit = std::numeric_limits<std::uint64_t>::max();

inline std::string_view SV(beast::string_view v) { return {v.data(), v.size()}; }

// The comma-separated tokens of a header value, lower case.
std::vector<std::string> Tokens(std::string_view value);

// Headers that belong to one connection and are never passed on.
bool IsHopByHop(const std::string& lower_name);

// The tokens of every Connection and Proxy-Connection field, lower case.
template <class Fields>
std::vector<std::string> ConnectionTokens(const Fields& fields) {
  std::vector<std::string> out;
  for (auto it = fields.find(http::field::connection);
       it != fields.end() && it->name() == http::field::connection; ++it) {
    for (std::string& t : Tokens(SV(it->value()))) out.push_back(std::move(t));
  }
  for (auto it = fields.find("Proxy-Connection");
       it != fields.end() && beast::iequals(it->name_string(), "Proxy-Connection"); ++it) {
    for (std::string& t : Tokens(SV(it->value()))) out.push_back(std::move(t));
  }
  return out;
}

// Copies the end-to-end fields of `fields` as header lines; `skip` names
// more fields to leave out (lower case).
template <class Fields>
void AppendFields(const Fields& fields, const std::vector<std::string>& skip, std::string* out) {
  const std::vector<std::string> listed = ConnectionTokens(fields);
  for (const auto& f : fields) {
    const std::string name = Lower(SV(f.name_string()));
    if (IsHopByHop(name)) continue;
    if (std::find(listed.begin(), listed.end(), name) != listed.end()) continue;
    if (std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
    out->append(f.name_string().data(), f.name_string().size());
    out->append(": ");
    out->append(f.value().data(), f.value().size());
    out->append("\r\n");
  }
}

struct Target {
  std::string host;  // as written, IPv6 with brackets
  std::string port;
  std::string path;  // origin-form, "/" at least
};

// Splits "host[:port]" (IPv6 in brackets). False on anything else.
bool SplitAuthority(std::string_view authority, const char* default_port, Target* t);
// An absolute-form request target: "http://host[:port][/path][?query]".
// False with *why saying what is wrong with it.
bool ParseAbsolute(std::string_view target, Target* t, std::string* why);

// Checks the Transfer-Encoding of a message, which the proxy reads only as
// a sole chunked coding: anything else would be forwarded with a coding
// silently dropped, or with an end of body that two parties could read
// differently. 0 when there is none or it is fine; 400 when chunked is not
// the one last coding (the body's end is unknown), 501 for another coding,
// with *why naming it.
int TransferCodingProblem(const http::fields& fields, std::string* why);

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_HTTP_UTIL_H_
