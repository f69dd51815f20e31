// The server: listening, accepting (or refusing, beyond the connection
// limit) and the graceful stop. The sessions do the rest (session.h).
#include "proxy/proxy_server.h"

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "proxy/error_pages.h"
#include "proxy/server_state.h"
#include "proxy/session.h"
#include "proxy/stream_io.h"
#include "proxy/tls_inspection.h"

namespace velquor::host {

namespace net = proxy::net;
namespace beast = proxy::beast;
using proxy::error_code;
using proxy::tcp;

namespace {

using State = ProxyServer::State;

net::awaitable<void> Refuse(tcp::socket socket) {
  beast::tcp_stream s(std::move(socket));
  co_await proxy::WriteText(
      s, std::chrono::seconds(5),
      proxy::ErrorResponse(503, "Service Unavailable",
                           "the proxy is serving as many connections as it may"));
  proxy::Close(s);
}

net::awaitable<void> Accept(std::shared_ptr<State> state) {
  for (;;) {
    error_code ec;
    tcp::socket socket = co_await state->acceptor.async_accept(
        net::make_strand(state->ioc), net::redirect_error(net::use_awaitable, ec));
    if (state->stopping) co_return;
    if (ec) {
      if (ec == net::error::operation_aborted) co_return;
      // Out of descriptors, say: wait a little rather than spin.
      net::steady_timer pause(state->ioc, std::chrono::milliseconds(50));
      co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
      continue;
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto executor = socket.get_executor();
    if (state->active >= state->options.max_connections) {
      net::co_spawn(executor, Refuse(std::move(socket)), net::detached);
      continue;
    }
    proxy::StartSession(state, beast::tcp_stream(std::move(socket)));
  }
}

// Waits for SIGINT or SIGTERM, then stops the server gracefully.
net::awaitable<void> StopOnSignal(std::shared_ptr<State> state, net::signal_set& signals) {
  error_code ec;
  co_await signals.async_wait(net::redirect_error(net::use_awaitable, ec));
  if (ec) co_return;
  state->stopping = true;
  state->acceptor.close(ec);
  state->CutAll(true);  // connections waiting for a request go at once
  const auto deadline = std::chrono::steady_clock::now() + state->options.stop_grace;
  net::steady_timer timer(state->ioc);
  bool cut = false;
  while (state->active > 0) {
    if (!cut && std::chrono::steady_clock::now() >= deadline) {
      state->CutAll(false);
      cut = true;
    }
    timer.expires_after(std::chrono::milliseconds(20));
    co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
  }
}

}  // namespace

ProxyServer::ProxyServer(const ProxyOptions& options, IClassFactory* factory)
    : state_(std::make_shared<State>(options, factory)) {}

ProxyServer::~ProxyServer() = default;

bool ProxyServer::Listen(std::string* error) {
  error_code ec;
  if (state_->options.ca && !proxy::ConfigureInspection(state_->tls_server, state_->tls_client,
                                                        state_->options.extra_ca, error)) {
    return false;
  }
  const auto address = net::ip::make_address(state_->options.host, ec);
  if (ec) {
    *error = "'" + state_->options.host + "' is not an IP address";
    return false;
  }
  const tcp::endpoint endpoint(address, state_->options.port);
  auto& a = state_->acceptor;
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + state_->options.host + ":" +
             std::to_string(state_->options.port) + ": " + ec.message();
    return false;
  }
  state_->port = a.local_endpoint(ec).port();
  return true;
}

uint16_t ProxyServer::port() const { return state_->port; }

void ProxyServer::Run() {
  net::signal_set signals(state_->ioc, SIGINT, SIGTERM);
  // The listener is used by these two only, one at a time.
  auto strand = net::make_strand(state_->ioc);
  net::co_spawn(strand, Accept(state_), net::detached);
  net::co_spawn(strand, StopOnSignal(state_, signals), net::detached);
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < state_->options.threads; ++i) {
    threads.emplace_back([this] { state_->ioc.run(); });
  }
  state_->ioc.run();
  for (std::thread& t : threads) t.join();
}

}  // namespace velquor::host
