#include "proxy/upstream.h"

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

namespace velquor::host::proxy {

net::awaitable<std::unique_ptr<beast::tcp_stream>> ConnectOrigin(
    const Target& t, std::chrono::seconds connect_timeout, Failure* failure) {
  auto executor = co_await net::this_coro::executor;
  tcp::resolver resolver(executor);
  error_code ec;
  std::string host = t.host;
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  const auto results =
      co_await resolver.async_resolve(host, t.port, net::redirect_error(net::use_awaitable, ec));
  if (ec) {
    *failure = {OutOfDescriptors(ec) ? 503 : 502,
                OutOfDescriptors(ec) ? "Service Unavailable" : "Bad Gateway",
                "cannot find the address of " + t.host + ": " + ec.message()};
    co_return nullptr;
  }
  auto stream = std::make_unique<beast::tcp_stream>(executor);
  stream->expires_after(connect_timeout);
  co_await stream->async_connect(results, net::redirect_error(net::use_awaitable, ec));
  if (ec == beast::error::timeout) {
    *failure = {504, "Gateway Timeout",
                "no connection to " + t.host + ":" + t.port + " within " +
                    std::to_string(connect_timeout.count()) + " s"};
    co_return nullptr;
  }
  if (ec == net::error::operation_aborted) {
    // Nothing cancels this connect: it gives this when it could not open a
    // socket at all, the process being out of descriptors. The system's own
    // words when a probe still fails, though one may have come free since.
    tcp::socket probe(executor);
    probe.open(results.begin()->endpoint().protocol(), ec);
    if (!ec) ec = make_error_code(boost::system::errc::too_many_files_open);
  }
  if (OutOfDescriptors(ec)) {
    *failure = {503, "Service Unavailable",
                "the proxy has no file descriptor left to reach " + t.host + ":" + t.port + " (" +
                    ec.message() + "); try again in a moment"};
    co_return nullptr;
  }
  if (ec) {
    *failure = {502, "Bad Gateway",
                "cannot connect to " + t.host + ":" + t.port + ": " + ec.message()};
    co_return nullptr;
  }
  error_code ignored;
  stream->socket().set_option(tcp::no_delay(true), ignored);
  co_return stream;
}

std::string OriginRequestHead(const RequestParser& req, const Target& t, bool tls, bool exempt) {
  auto& msg = req.get();
  std::string head(msg.method_string().data(), msg.method_string().size());
  head += " " + t.path + " HTTP/1.1\r\nHost: " + t.host +
          (t.port == (tls ? "443" : "80") ? "" : ":" + t.port) + "\r\n";
  // The body's framing is the proxy's own, written below once: a client's
  // Content-Length passed on beside it would reach the origin twice.
  std::vector<std::string> skip = {"host", "expect", "content-length"};
  if (!exempt) skip.push_back("accept-encoding");
  AppendFields(msg, skip, &head);
  if (!exempt && msg.count(http::field::accept_encoding) > 0) {
    // Only codings the filter can undo, so that every page can be filtered.
    std::string accepted;
    for (const std::string& c : Tokens(SV(msg[http::field::accept_encoding]))) {
      const std::string name = Trim(std::string_view(c).substr(0, c.find(';')));
      if (name == "gzip" || name == "deflate" || name == "br" || name == "identity") {
        accepted += (accepted.empty() ? "" : ", ") + c;
      }
    }
    if (!accepted.empty()) head += "Accept-Encoding: " + accepted + "\r\n";
  }
  if (req.upgrade())
    head += "Connection: Upgrade\r\nUpgrade: " + std::string(msg[http::field::upgrade]) + "\r\n";
  if (req.chunked()) {
    head += "Transfer-Encoding: chunked\r\n";
  } else if (req.content_length() && *req.content_length() > 0) {
    head += "Content-Length: " + std::to_string(*req.content_length()) + "\r\n";
  } else if (req.content_length()) {
    head += "Content-Length: 0\r\n";
  }
  head += "\r\n";
  return head;
}

std::string ClientResponseHead(const ResponseParser& res, bool has_body, bool filtered,
                               bool client11, bool* keep_alive, bool* chunked) {
  auto& rmsg = res.get();
  *chunked = false;
  std::string head =
      "HTTP/1.1 " + std::to_string(rmsg.result_int()) + " " + std::string(rmsg.reason()) + "\r\n";
  // One Content-Length at most, as the parser read it.
  std::vector<std::string> skip = {"content-length"};
  if (filtered) skip = {"content-length", "content-encoding", "content-md5"};
  AppendFields(rmsg, skip, &head);
  if (!filtered && res.content_length()) {
    head += "Content-Length: " + std::to_string(*res.content_length()) + "\r\n";
  }
  if (has_body && (filtered || !res.content_length())) {
    if (client11) {
      head += "Transfer-Encoding: chunked\r\n";
      *chunked = true;
    } else {
      *keep_alive = false;  // the end of the body is the end of the connection
    }
  }
  head += *keep_alive ? (client11 ? "" : "Connection: keep-alive\r\n") : "Connection: close\r\n";
  head += "\r\n";
  return head;
}

std::string SwitchingProtocolsHead(const ResponseParser& res) {
  auto& rmsg = res.get();
  std::string head = "HTTP/1.1 101 " + std::string(rmsg.reason()) + "\r\n";
  AppendFields(rmsg, {}, &head);
  head += "Connection: Upgrade\r\nUpgrade: " + std::string(rmsg[http::field::upgrade]) + "\r\n\r\n";
  return head;
}

}  // namespace velquor::host::proxy
