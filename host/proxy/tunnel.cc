#include "proxy/tunnel.h"

#include <sys/socket.h>

#include <cerrno>

namespace velquor::host::proxy {

namespace {

enum class Woke { kNone, kBrowser, kOrigin, kDeadline };
enum class Holds { kBytes, kEnd, kNothing };

// What a socket that woke its waiter holds, looked at without taking it and
// without blocking: the thread serves other connections too.
Holds Peek(tcp::socket& s, unsigned char* head, std::size_t size, std::size_t* got) {
  ssize_t n;
  do {
    n = ::recv(s.native_handle(), head, size, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    *got = static_cast<std::size_t>(n);
    return Holds::kBytes;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Holds::kNothing;
  return Holds::kEnd;
}

}  // namespace

bool LooksLikeTls(const unsigned char* head, std::size_t size) {
  return size >= 1 && head[0] == 0x16 && (size < 2 || head[1] == 0x03);
}

net::awaitable<bool> BrowserStartsTls(tcp::socket& client_socket, tcp::socket* origin_socket,
                                      std::chrono::seconds idle, std::shared_ptr<void> keep) {
  auto executor = client_socket.get_executor();
  const auto deadline = std::chrono::steady_clock::now() + idle;
  for (;;) {
    // Whichever wakes first of the browser, the origin and the deadline.
    auto woke = std::make_shared<Woke>(Woke::kNone);
    auto timer = std::make_shared<net::steady_timer>(executor, deadline);
    if (origin_socket != nullptr) {
      net::co_spawn(
          executor,
          [keep, woke, timer, &client_socket, origin_socket]() -> net::awaitable<void> {
            error_code ec;
            co_await origin_socket->async_wait(tcp::socket::wait_read,
                                               net::redirect_error(net::use_awaitable, ec));
            if (*woke != Woke::kNone || ec == net::error::operation_aborted) co_return;
            *woke = Woke::kOrigin;
            client_socket.cancel(ec);
            timer->cancel();
          },
          net::detached);
    }
    net::co_spawn(
        executor,
        [keep, woke, timer, &client_socket, origin_socket]() -> net::awaitable<void> {
          error_code ec;
          co_await timer->async_wait(net::redirect_error(net::use_awaitable, ec));
          if (ec || *woke != Woke::kNone) co_return;
          *woke = Woke::kDeadline;
          client_socket.cancel(ec);
          if (origin_socket != nullptr) origin_socket->cancel(ec);
        },
        net::detached);
    error_code ec;
    co_await client_socket.async_wait(tcp::socket::wait_read,
                                      net::redirect_error(net::use_awaitable, ec));
    if (*woke == Woke::kNone) {
      *woke = Woke::kBrowser;
      error_code ignored;
      if (origin_socket != nullptr) origin_socket->cancel(ignored);
      timer->cancel();
    }
    unsigned char head[2] = {0, 0};
    std::size_t n = 0;
    switch (*woke) {
      case Woke::kDeadline:
        co_return false;
      case Woke::kOrigin:
        if (Peek(*origin_socket, head, 1, &n) != Holds::kNothing) co_return false;
        break;
      case Woke::kBrowser:
      case Woke::kNone:
        switch (Peek(client_socket, head, sizeof head, &n)) {
          case Holds::kBytes:
            co_return LooksLikeTls(head, n);
          case Holds::kEnd:
            co_return false;
          case Holds::kNothing:
            break;
        }
        break;
    }
    // A wake-up without data: wait again, for the time that is left.
  }
}

}  // namespace velquor::host::proxy
