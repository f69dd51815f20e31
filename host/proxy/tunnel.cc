#include "proxy/tunnel.h"

namespace velquor::host::proxy {

net::awaitable<bool> BrowserStartsTls(tcp::socket& client_socket, tcp::socket& origin_socket,
                                      std::chrono::seconds idle, std::shared_ptr<void> keep) {
  auto executor = client_socket.get_executor();
  auto decided = std::make_shared<bool>(false);
  auto timer = std::make_shared<net::steady_timer>(executor, idle);
  net::co_spawn(
      executor,
      [keep, decided, timer, &client_socket, &origin_socket]() -> net::awaitable<void> {
        error_code ec;
        co_await origin_socket.async_wait(tcp::socket::wait_read,
                                          net::redirect_error(net::use_awaitable, ec));
        if (*decided) co_return;
        *decided = true;
        client_socket.cancel(ec);
        timer->cancel();
      },
      net::detached);
  net::co_spawn(
      executor,
      [keep, decided, timer, &client_socket, &origin_socket]() -> net::awaitable<void> {
        error_code ec;
        co_await timer->async_wait(net::redirect_error(net::use_awaitable, ec));
        if (ec || *decided) co_return;
        *decided = true;
        client_socket.cancel(ec);
        origin_socket.cancel(ec);
      },
      net::detached);
  error_code ec;
  co_await client_socket.async_wait(tcp::socket::wait_read,
                                    net::redirect_error(net::use_awaitable, ec));
  const bool browser_first = !*decided && !ec;
  if (!*decided) {
    *decided = true;
    error_code ignored;
    origin_socket.cancel(ignored);
    timer->cancel();
  }
  if (!browser_first) co_return false;
  // A TLS record of the handshake type, in any version from SSL 3 on.
  unsigned char head[2] = {0, 0};
  const std::size_t n = client_socket.receive(net::buffer(head), tcp::socket::message_peek, ec);
  co_return !ec && n >= 1 && head[0] == 0x16 && (n < 2 || head[1] == 0x03);
}

}  // namespace velquor::host::proxy
