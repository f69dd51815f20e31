// The origin's side of forwarding: reaching the origin, the request head it
// is sent, reading its response head, and the head the client gets back.
#ifndef VELQUOR_HOST_PROXY_UPSTREAM_H_
#define VELQUOR_HOST_PROXY_UPSTREAM_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proxy/error_pages.h"
#include "proxy/http_util.h"
#include "proxy/stream_io.h"

namespace velquor::host::proxy {

using RequestParser = http::request_parser<http::buffer_body>;
using ResponseParser = http::response_parser<http::buffer_body>;

// Resolves and connects to `t` within `connect_timeout`; null with
// *failure set (502, or 504 on the timeout) when that fails.
net::awaitable<std::unique_ptr<beast::tcp_stream>> ConnectOrigin(
    const Target& t, std::chrono::seconds connect_timeout, Failure* failure);

// The head of the request `req` as the origin `t` gets it: origin-form
// target, the end-to-end fields, and the framing of the body. `tls` when the
// origin is reached over TLS (its default port is 443). Unless `exempt`,
// only content codings the page filter can undo are accepted.
std::string OriginRequestHead(const RequestParser& req, const Target& t, bool tls, bool exempt);

// Informational answers (1xx) an origin may send before its response.
constexpr int kMaxInformational = 16;

// Reads the origin's response head into *res within `timeout`, passing over
// at most kMaxInformational informational answers within that time too (a
// switch of protocols is an answer when `upgrade`). A failure names `t`.
template <class Upstream>
net::awaitable<std::optional<Failure>> ReadResponseHead(Upstream& upstream, beast::flat_buffer& buf,
                                                        std::optional<ResponseParser>* res,
                                                        bool head_request, bool upgrade,
                                                        std::chrono::seconds timeout,
                                                        const Target& t) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (int informational = 0;; ++informational) {
    if (informational > kMaxInformational) {
      co_return Failure{502, "Bad Gateway",
                        t.host + ":" + t.port + " sent more than " +
                            std::to_string(kMaxInformational) +
                            " informational responses without a final one"};
    }
    res->emplace();
    (*res)->header_limit(static_cast<std::uint32_t>(kResponseHeaderLimit));
    (*res)->body_limit(kNoBodyLimit);
    if (head_request) (*res)->skip(true);
    error_code ec;
    beast::get_lowest_layer(upstream).expires_at(deadline);
    co_await http::async_read_header(upstream, buf, **res,
                                     net::redirect_error(net::use_awaitable, ec));
    if (ec == beast::error::timeout) {
      co_return Failure{504, "Gateway Timeout",
                        t.host + ":" + t.port + " did not answer within " +
                            std::to_string(timeout.count()) + " s"};
    }
    if (ec) {
      const std::string what = ec == http::error::end_of_stream || ec == net::error::eof
                                   ? "closed the connection without answering"
                                   : "sent a response that cannot be read (" + ec.message() + ")";
      co_return Failure{502, "Bad Gateway", t.host + ":" + t.port + " " + what};
    }
    const int status = (*res)->get().result_int();
    std::string why;
    if (status >= 200 && TransferCodingProblem((*res)->get(), &why) != 0) {
      co_return Failure{502, "Bad Gateway",
                        t.host + ":" + t.port + " sent a response the proxy cannot read: " + why};
    }
    if (status >= 200 || (status == 101 && upgrade)) co_return std::nullopt;
    if (status == 101) {
      co_return Failure{502, "Bad Gateway", t.host + ":" + t.port + " switched protocols unasked"};
    }
  }
}

// Whether the origin connection may carry the next request after `res`: the
// origin keeps it, the response ended by its own framing, and no byte came
// beyond it (`unframed`), which would else be read as the next answer.
inline bool KeepOrigin(const ResponseParser& res, std::size_t unframed) {
  return res.keep_alive() && res.is_done() && unframed == 0;
}

// The head of the response `res` as the client gets it (`client11`: it
// speaks HTTP/1.1), keeping the connection when *keep_alive. `filtered` bodies change size and
// coding; a body of unknown length goes chunked to an HTTP/1.1 client, else to the end of the
// connection
// (*keep_alive false). *chunked tells which framing the body takes.
std::string ClientResponseHead(const ResponseParser& res, bool has_body, bool filtered,
                               bool client11, bool* keep_alive, bool* chunked);

// The head that answers an upgrade the origin agreed to (101).
std::string SwitchingProtocolsHead(const ResponseParser& res);

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_UPSTREAM_H_
