#include "list_fetch.h"

#include <openssl/ssl.h>

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>

namespace velquor::host {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

// Lists run to a few megabytes; anything far beyond is not one.
constexpr std::size_t kMaxBody = 64u << 20;

struct Target {
  std::string host, port = "443", path = "/";
};

bool SplitUrl(const std::string& url, Target* t, std::string* error) {
  const std::string scheme = "https://";
  if (url.compare(0, scheme.size(), scheme) != 0) {
    *error = "only https:// addresses are fetched: " + url;
    return false;
  }
  std::string rest = url.substr(scheme.size());
  const std::size_t slash = rest.find_first_of("/?#");
  std::string authority = rest.substr(0, slash);
  if (slash != std::string::npos) t->path = rest.substr(slash);
  const std::size_t hash = t->path.find('#');
  if (hash != std::string::npos) t->path.resize(hash);
  if (t->path.empty() || t->path[0] != '/') t->path = "/" + t->path;
  const std::size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    t->port = authority.substr(colon + 1);
    authority.resize(colon);
  }
  if (!authority.empty() && authority.front() == '[' && authority.back() == ']') {
    authority = authority.substr(1, authority.size() - 2);
  }
  t->host = authority;
  if (t->host.empty() || t->port.empty()) {
    *error = "no host in " + url;
    return false;
  }
  return true;
}

net::awaitable<void> Get(net::ssl::context& tls, Target target, std::string etag,
                         std::string last_modified, int timeout, FetchResult* out,
                         std::string* location) {
  auto executor = co_await net::this_coro::executor;
  beast::ssl_stream<beast::tcp_stream> stream(executor, tls);
  auto& tcp_stream = beast::get_lowest_layer(stream);
  const auto limit = std::chrono::seconds(timeout);
  beast::error_code ec;
  auto step = [&](const char* what) {
    if (!ec) return true;
    out->error = std::string(what) + ": " +
                 (ec == beast::error::timeout ? std::string("timed out") : ec.message());
    return false;
  };
  tcp::resolver resolver(executor);
  auto endpoints = co_await resolver.async_resolve(target.host, target.port,
                                                   net::redirect_error(net::use_awaitable, ec));
  if (!step(("cannot resolve " + target.host).c_str())) co_return;
  tcp_stream.expires_after(limit);
  co_await tcp_stream.async_connect(endpoints, net::redirect_error(net::use_awaitable, ec));
  if (!step(("cannot connect to " + target.host).c_str())) co_return;
  // The name the certificate must carry, and the name sent in the hello.
  SSL_set_tlsext_host_name(stream.native_handle(), target.host.c_str());
  X509_VERIFY_PARAM* param = SSL_get0_param(stream.native_handle());
  if (X509_VERIFY_PARAM_set1_ip_asc(param, target.host.c_str()) != 1) {
    X509_VERIFY_PARAM_set1_host(param, target.host.c_str(), 0);
  }
  tcp_stream.expires_after(limit);
  co_await stream.async_handshake(net::ssl::stream_base::client,
                                  net::redirect_error(net::use_awaitable, ec));
  if (ec) {
    const long verify = SSL_get_verify_result(stream.native_handle());
    out->error = "TLS handshake with " + target.host + " failed: " +
                 (verify != X509_V_OK ? X509_verify_cert_error_string(verify) : ec.message());
    co_return;
  }
  http::request<http::empty_body> request{http::verb::get, target.path, 11};
  request.set(http::field::host, target.port == "443" ? target.host
                                                      : target.host + ":" + target.port);
  request.set(http::field::user_agent, "velquor-lists");
  request.set(http::field::accept_encoding, "identity");
  request.set(http::field::connection, "close");
  if (!etag.empty()) request.set(http::field::if_none_match, etag);
  if (!last_modified.empty()) request.set(http::field::if_modified_since, last_modified);
  tcp_stream.expires_after(limit);
  co_await http::async_write(stream, request, net::redirect_error(net::use_awaitable, ec));
  if (!step("cannot send the request")) co_return;
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(kMaxBody);
  tcp_stream.expires_after(limit);
  co_await http::async_read(stream, buffer, parser, net::redirect_error(net::use_awaitable, ec));
  if (ec == http::error::partial_message || ec == http::error::short_read ||
      ec == net::error::eof) {
    out->error = "the connection closed before the whole list arrived";
    co_return;
  }
  if (ec == http::error::body_limit) {
    out->error = "the list is larger than 64 MB";
    co_return;
  }
  if (!step("cannot read the response")) co_return;
  auto& response = parser.get();
  const unsigned status = response.result_int();
  if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
    *location = std::string(response[http::field::location]);
    if (location->empty()) out->error = "redirect without a location";
    co_return;
  }
  if (status == 304) {
    out->ok = out->not_modified = true;
    co_return;
  }
  if (status != 200) {
    out->error = "the server answered " + std::to_string(status) + " " +
                 std::string(response.reason());
    co_return;
  }
  out->ok = true;
  out->body = std::move(response.body());
  out->etag = std::string(response[http::field::etag]);
  out->last_modified = std::string(response[http::field::last_modified]);
  // The peer may close without a TLS close; the body is whole already.
  stream.next_layer().socket().shutdown(tcp::socket::shutdown_both, ec);
}

}  // namespace

FetchResult FetchList(const std::string& url, const std::string& etag,
                      const std::string& last_modified, int timeout_seconds) {
  FetchResult result;
  net::ssl::context tls(net::ssl::context::tls_client);
  tls.set_default_verify_paths();
  tls.set_verify_mode(net::ssl::verify_peer);
  std::string current = url;
  for (int hop = 0; hop < 6; ++hop) {
    Target target;
    if (!SplitUrl(current, &target, &result.error)) return result;
    net::io_context io;
    std::string location;
    result = FetchResult{};
    net::co_spawn(io,
                  Get(tls, target, etag, last_modified, timeout_seconds, &result, &location),
                  [&](std::exception_ptr e) {
                    if (e) result.error = "the fetch failed";
                  });
    io.run();
    if (location.empty()) return result;
    if (location.find("://") == std::string::npos) {
      location = "https://" + target.host + (target.port == "443" ? "" : ":" + target.port) +
                 (location.front() == '/' ? "" : "/") + location;
    }
    current = location;
  }
  result.ok = false;
  result.error = "too many redirects";
  return result;
}

}  // namespace velquor::host
