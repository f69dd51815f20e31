// Coroutine helpers for the proxy's streams: reading a message body piece
// by piece, writing with a timeout, closing.
#ifndef VELQUOR_HOST_PROXY_STREAM_IO_H_
#define VELQUOR_HOST_PROXY_STREAM_IO_H_

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "proxy/http_util.h"

namespace velquor::host::proxy {

// True when `ec` says the process has run out of file descriptors.
inline bool OutOfDescriptors(const error_code& ec) {
  return ec == boost::system::errc::too_many_files_open ||
         ec == boost::system::errc::too_many_files_open_in_system;
}

// The helpers below take any stream over a beast::tcp_stream (a TLS stream
// as well); timeouts and closing act on the TCP layer.
template <class Stream>
void Close(Stream& s) {
  error_code ec;
  beast::get_lowest_layer(s).socket().shutdown(tcp::socket::shutdown_both, ec);
  beast::get_lowest_layer(s).socket().close(ec);
}

// A chunk line (size, extensions, trailer fields) longer than this is no
// body the proxy reads.
constexpr std::size_t kChunkLineLimit = 16 * 1024;

// Parses the body bytes buffered in `b` into the body buffer of `p` (set by
// the caller). True when the parser waits for bytes from the network to go
// on; false when the body is done, the buffer full, or on an error (ec).
template <class Parser>
bool ParseBuffered(Parser& p, beast::flat_buffer& b, error_code& ec) {
  ec = {};
  for (;;) {
    if (p.is_done() || p.get().body().size == 0) return false;
    if (b.size() == 0) return true;
    // Beast 1.74 asserts that a last chunk it returns to comes with 5 bytes
    // at least, as one after other chunks does: a body that begins with its
    // last chunk waits for them here, as it has to anyway ("0", CRLF, CRLF).
    const std::string_view held(static_cast<const char*>(b.data().data()), b.size());
    if (p.chunked() && held.size() < 5 && held.substr(0, 3) == "0\r\n") return true;
    error_code pec;
    const std::size_t used = p.put(b.data(), pec);
    b.consume(used);
    if (pec == http::error::need_buffer) return false;
    if (pec && pec != http::error::need_more) {
      ec = pec;
      return false;
    }
    if (used > 0) continue;
    // The parser waits for a whole chunk line ended by CRLF. A line ended by
    // a bare LF would keep it waiting until the sender gives up, the origin
    // holding half a request meanwhile: refuse it now, as a line without
    // end.
    const std::string_view line(static_cast<const char*>(b.data().data()), b.size());
    for (std::size_t i = line.find('\n'); i != std::string_view::npos; i = line.find('\n', i + 1)) {
      if (i == 0 || line[i - 1] != '\r') {
        ec = http::error::bad_chunk;
        return false;
      }
    }
    if (b.size() > kChunkLineLimit) {
      ec = http::error::bad_chunk;
      return false;
    }
    return true;
  }
}

// Reads the body bytes that are to be had now, up to `cap`: parses what is
// buffered and what the socket holds, and waits for the network only when
// that gave nothing. Returns the count put into out[0..cap).
template <class Stream, class Parser>
net::awaitable<std::size_t> ReadBodySome(Stream& s, beast::flat_buffer& b, Parser& p, char* out,
                                         std::size_t cap, error_code& ec) {
  ec = {};
  auto& body = p.get().body();
  body.data = out;
  body.size = cap;
  for (;;) {
    if (!ParseBuffered(p, b, ec)) break;
    // Whatever the socket holds already belongs to this piece; wait for the
    // network only when there is nothing at all.
    error_code aec;
    const std::size_t available = beast::get_lowest_layer(s).socket().available(aec);
    if (body.size < cap && (aec || available == 0)) break;
    error_code rec;
    const std::size_t n = co_await s.async_read_some(b.prepare(kBodyBuffer),
                                                     net::redirect_error(net::use_awaitable, rec));
    b.commit(n);
    if (rec == net::error::eof) {
      // All there will be is buffered: what the parser cannot finish with
      // it ends here, complete or cut short.
      if (!ParseBuffered(p, b, ec)) break;
      error_code pec;
      p.put_eof(pec);
      if (pec) ec = pec;
      break;
    }
    if (rec) {
      ec = rec;
      break;
    }
  }
  co_return cap - body.size;
}

template <class Stream>
net::awaitable<bool> WriteAll(Stream& s, std::chrono::seconds timeout,
                              std::vector<net::const_buffer> buffers) {
  error_code ec;
  beast::get_lowest_layer(s).expires_after(timeout);
  co_await net::async_write(s, buffers, net::redirect_error(net::use_awaitable, ec));
  co_return !ec;
}

template <class Stream>
net::awaitable<bool> WriteText(Stream& s, std::chrono::seconds timeout, const std::string& text) {
  std::vector<net::const_buffer> buffers(1, net::buffer(text));
  co_return co_await WriteAll(s, timeout, std::move(buffers));
}

// Body bytes in chunked framing, or as they are.
template <class Stream>
net::awaitable<bool> WriteBody(Stream& s, std::chrono::seconds timeout, bool chunked,
                               const char* data, std::size_t size) {
  if (size == 0) co_return true;
  std::vector<net::const_buffer> buffers;
  std::string head;
  if (chunked) {
    char hex[24];
    head.assign(hex, static_cast<std::size_t>(std::snprintf(hex, sizeof hex, "%zx\r\n", size)));
    buffers.push_back(net::buffer(head));
  }
  buffers.push_back(net::buffer(data, size));
  if (chunked) buffers.push_back(net::buffer("\r\n", 2));
  co_return co_await WriteAll(s, timeout, std::move(buffers));
}

// True when the socket becomes readable (bytes, or its end) within `wait`:
// one wait, which a timer ends. No other operation on the socket may be
// pending, since the timer cancels them all.
template <class Stream>
net::awaitable<bool> MoreArrives(Stream& s, std::chrono::milliseconds wait) {
  auto& socket = beast::get_lowest_layer(s).socket();
  error_code ec;
  if (socket.available(ec) > 0 || ec) co_return !ec;
  auto waiting = std::make_shared<bool>(true);
  net::steady_timer timer(s.get_executor(), wait);
  timer.async_wait([waiting, &socket](const error_code& e) {
    error_code ignored;
    if (!e && *waiting) socket.cancel(ignored);
  });
  co_await socket.async_wait(tcp::socket::wait_read, net::redirect_error(net::use_awaitable, ec));
  *waiting = false;
  timer.cancel();
  co_return !ec;
}

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_STREAM_IO_H_
