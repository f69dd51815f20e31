// Tunnels: a CONNECT or an upgraded connection carried unseen, byte for
// byte, both ways.
#ifndef VELQUOR_HOST_PROXY_TUNNEL_H_
#define VELQUOR_HOST_PROXY_TUNNEL_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "proxy/http_util.h"
#include "proxy/stream_io.h"

namespace velquor::host::proxy {

// Copies one direction of a tunnel until either side closes or falls
// silent, then ends the other side's sending half.
template <class From, class To>
net::awaitable<void> Pump(From& from, To& to, std::chrono::seconds idle) {
  std::vector<char> buf(16 * 1024);
  for (;;) {
    error_code ec;
    beast::get_lowest_layer(from).expires_after(idle);
    const std::size_t n = co_await from.async_read_some(
        net::buffer(buf), net::redirect_error(net::use_awaitable, ec));
    if (n > 0) {
      std::vector<net::const_buffer> buffers(1, net::buffer(buf.data(), n));
      if (!co_await WriteAll(to, idle, std::move(buffers))) break;
    }
    if (ec) break;
  }
  error_code ec;
  beast::get_lowest_layer(to).socket().shutdown(tcp::socket::shutdown_send, ec);
}

// Joins the client and the origin both ways until both have finished,
// first handing on what either side's buffer already holds. `keep` (the
// owner of the streams) is held until the direction run apart has ended.
template <class Client, class Upstream>
net::awaitable<void> Tunnel(Client& client, Upstream& upstream, beast::flat_buffer& client_buf,
                            beast::flat_buffer& up_buf, std::chrono::seconds idle,
                            std::shared_ptr<void> keep) {
  if (client_buf.size() > 0) {
    const std::string early = beast::buffers_to_string(client_buf.data());
    client_buf.clear();
    if (!co_await WriteText(upstream, idle, early)) co_return;
  }
  if (up_buf.size() > 0) {
    const std::string early = beast::buffers_to_string(up_buf.data());
    up_buf.clear();
    if (!co_await WriteText(client, idle, early)) co_return;
  }
  net::co_spawn(
      client.get_executor(),
      [keep, &client, &upstream, idle]() -> net::awaitable<void> {
        co_await Pump(upstream, client, idle);
      },
      net::detached);
  co_await Pump(client, upstream, idle);
}

// True when the first bytes of a tunnel, `size` of them, begin a TLS
// handshake record of any version from SSL 3 on.
bool LooksLikeTls(const unsigned char* head, std::size_t size);

// Waits for the first bytes of a tunnel: true when the browser's begin a
// TLS handshake. An origin that speaks first (or closes), or a tunnel silent
// for `idle`, is no TLS from the browser; a wake-up with nothing to read
// decides nothing. Nothing is consumed. `origin_socket` may be
// null (no origin behind the tunnel). `keep` (the owner of the sockets) is
// held until the watchers have ended.
net::awaitable<bool> BrowserStartsTls(tcp::socket& client_socket, tcp::socket* origin_socket,
                                      std::chrono::seconds idle, std::shared_ptr<void> keep);

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_TUNNEL_H_
