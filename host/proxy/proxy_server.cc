// The server: listening, accepting (or refusing, beyond the connection
// limit) and the graceful stop. The sessions do the rest (session.h).
#include "proxy/proxy_server.h"

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "proxy/error_pages.h"
#include "proxy/server_state.h"
#include "proxy/session.h"
#include "proxy/stream_io.h"
#include "proxy/tls_inspection.h"
#include "proxy/upstream.h"

namespace velquor::host {

namespace net = proxy::net;
namespace beast = proxy::beast;
using proxy::error_code;
using proxy::tcp;

namespace {

using State = ProxyServer::State;

// Descriptors kept for the proxy's own files: the standard streams, the
// listener, the event loop's, the settings store, certificates.
constexpr std::size_t kReservedFiles = 32;
// Beyond this many connections memory, not descriptors, is the limit.
constexpr std::size_t kMostConnections = 4096;

// Raises the soft limit of open files to the hard one where allowed; the
// limit in force.
std::size_t RaiseOpenFileLimit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return 1024;
  if (r.rlim_cur != r.rlim_max) {
    rlimit raised = r;
    raised.rlim_cur = r.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) r = raised;
  }
  return r.rlim_cur == RLIM_INFINITY ? kMostConnections * 4 : static_cast<std::size_t>(r.rlim_cur);
}

// Answers a browser that waits to be accepted while no descriptor is left:
// the spare one is given up for a moment, to say so instead of leaving it
// waiting.
net::awaitable<void> RefuseWithoutDescriptors(std::shared_ptr<State> state) {
  if (state->spare_fd < 0) {
    error_code ec;
    net::steady_timer pause(state->ioc, std::chrono::milliseconds(50));
    co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
  } else {
    ::close(state->spare_fd);
    state->spare_fd = -1;
    error_code ec;
    tcp::socket socket = co_await state->acceptor.async_accept(
        state->ioc, net::redirect_error(net::use_awaitable, ec));
    if (!ec) {
      const std::string message =
          "the proxy has no file descriptor left for another connection "
          "(the limit is " +
          std::to_string(state->open_files) + "); try again in a moment";
      std::fprintf(stderr, "velquor: proxy: 503 Service Unavailable: %s\n", message.c_str());
      const std::string page = proxy::ErrorResponse(503, "Service Unavailable", message);
      // A fresh connection's send buffer takes the page at once.
      socket.non_blocking(true, ec);
      net::write(socket, net::buffer(page), ec);
      socket.shutdown(tcp::socket::shutdown_both, ec);
      socket.close(ec);
    }
  }
  if (state->spare_fd < 0) state->spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

net::awaitable<void> Refuse(tcp::socket socket, std::size_t limit) {
  const std::string message =
      "the proxy is serving as many connections as it may (" + std::to_string(limit) + ")";
  std::fprintf(stderr, "velquor: proxy: 503 Service Unavailable: %s\n", message.c_str());
  beast::tcp_stream s(std::move(socket));
  co_await proxy::WriteText(s, std::chrono::seconds(5),
                            proxy::ErrorResponse(503, "Service Unavailable", message));
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
      if (proxy::OutOfDescriptors(ec)) {
        co_await RefuseWithoutDescriptors(state);
        continue;
      }
      // Another failure: wait a little rather than spin.
      net::steady_timer pause(state->ioc, std::chrono::milliseconds(50));
      co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
      continue;
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto executor = socket.get_executor();
    if (state->active >= state->options.max_connections) {
      net::co_spawn(executor, Refuse(std::move(socket), state->options.max_connections),
                    net::detached);
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

std::size_t ConnectionsFor(std::size_t open_files) {
  const std::size_t usable = open_files > kReservedFiles + 2 ? open_files - kReservedFiles : 2;
  return std::min(usable / 2, kMostConnections);
}

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
  state_->lists.Load();
  state_->open_files = RaiseOpenFileLimit();
  if (state_->options.max_connections == 0) {
    state_->options.max_connections = ConnectionsFor(state_->open_files);
  }
  state_->spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return true;
}

uint16_t ProxyServer::port() const { return state_->port; }
std::size_t ProxyServer::open_file_limit() const { return state_->open_files; }
std::size_t ProxyServer::max_connections() const { return state_->options.max_connections; }

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
