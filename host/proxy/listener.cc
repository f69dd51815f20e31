#include "proxy/listener.h"

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

#include <csignal>
#include <thread>
#include <vector>

#include "proxy/stream_io.h"

namespace velquor::host::proxy {

uint64_t Listener::Enrol(std::function<void(bool)> cut) {
  std::lock_guard<std::mutex> lock(mutex);
  cutters.emplace(++next_id, std::move(cut));
  return next_id;
}

void Listener::Leave(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex);
  cutters.erase(id);
}

void Listener::CutAll(bool idle_only) {
  std::lock_guard<std::mutex> lock(mutex);
  for (auto& [id, cut] : cutters) cut(idle_only);
}

bool Listen(Listener& listener, const std::string& host, uint16_t port, std::string* error) {
  error_code ec;
  const auto address = net::ip::make_address(host, ec);
  if (ec) {
    *error = "'" + host + "' is not an IP address";
    return false;
  }
  const tcp::endpoint endpoint(address, port);
  auto& a = listener.acceptor;
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + ec.message();
    return false;
  }
  listener.port = a.local_endpoint(ec).port();
  return true;
}

namespace {

net::awaitable<void> Refuse(tcp::socket socket, std::string text) {
  beast::tcp_stream s(std::move(socket));
  co_await WriteText(s, std::chrono::seconds(5), text);
  Close(s);
}

net::awaitable<void> Accept(std::shared_ptr<Listener> listener, ServeOptions options) {
  for (;;) {
    error_code ec;
    tcp::socket socket = co_await listener->acceptor.async_accept(
        net::make_strand(listener->ioc), net::redirect_error(net::use_awaitable, ec));
    if (listener->stopping) co_return;
    if (ec) {
      if (ec == net::error::operation_aborted) co_return;
      // Out of descriptors, say: wait a little rather than spin.
      net::steady_timer pause(listener->ioc, std::chrono::milliseconds(50));
      co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
      continue;
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    if (listener->active >= options.max_connections) {
      auto executor = socket.get_executor();
      net::co_spawn(executor, Refuse(std::move(socket), options.refusal()), net::detached);
      continue;
    }
    options.start(std::move(socket));
  }
}

// Waits for SIGINT or SIGTERM, then stops the server gracefully.
net::awaitable<void> StopOnSignal(std::shared_ptr<Listener> listener, std::chrono::seconds grace,
                                  net::signal_set& signals) {
  error_code ec;
  co_await signals.async_wait(net::redirect_error(net::use_awaitable, ec));
  if (ec) co_return;
  listener->stopping = true;
  listener->acceptor.close(ec);
  listener->CutAll(true);  // connections waiting for a request go at once
  const auto deadline = std::chrono::steady_clock::now() + grace;
  net::steady_timer timer(listener->ioc);
  bool cut = false;
  while (listener->active > 0) {
    if (!cut && std::chrono::steady_clock::now() >= deadline) {
      listener->CutAll(false);
      cut = true;
    }
    timer.expires_after(std::chrono::milliseconds(20));
    co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
  }
}

}  // namespace

void Serve(const std::shared_ptr<Listener>& listener, ServeOptions options) {
  net::signal_set signals(listener->ioc, SIGINT, SIGTERM);
  // The listener is used by these two only, one at a time.
  auto strand = net::make_strand(listener->ioc);
  net::co_spawn(strand, Accept(listener, options), net::detached);
  net::co_spawn(strand, StopOnSignal(listener, options.stop_grace, signals), net::detached);
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < options.threads; ++i) {
    threads.emplace_back([&listener] { listener->ioc.run(); });
  }
  listener->ioc.run();
  for (std::thread& t : threads) t.join();
}

}  // namespace velquor::host::proxy
