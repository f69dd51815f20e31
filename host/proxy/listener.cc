#include "proxy/listener.h"

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <thread>
#include <vector>

#include "proxy/stream_io.h"

namespace velquor::host::proxy {

namespace {

// Descriptors kept for the server's own files: the standard streams, the
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

}  // namespace

std::size_t ConnectionsFor(std::size_t open_files, std::size_t per_connection) {
  const std::size_t usable =
      open_files > kReservedFiles + per_connection ? open_files - kReservedFiles : per_connection;
  return std::min(usable / per_connection, kMostConnections);
}

Listener::~Listener() {
  if (spare_fd >= 0) ::close(spare_fd);
}

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
  listener.open_files = RaiseOpenFileLimit();
  if (listener.spare_fd < 0) listener.spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return true;
}

namespace {

net::awaitable<void> Refuse(tcp::socket socket, std::string text) {
  beast::tcp_stream s(std::move(socket));
  co_await WriteText(s, std::chrono::seconds(5), text);
  Close(s);
}

// Answers a client that waits to be accepted while no descriptor is left:
// the spare one is given up for a moment, to say so instead of leaving it
// waiting.
net::awaitable<void> RefuseWithoutDescriptors(std::shared_ptr<Listener> listener,
                                              const ServeOptions& options) {
  error_code ec;
  if (listener->spare_fd < 0) {
    net::steady_timer pause(listener->ioc, std::chrono::milliseconds(50));
    co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
  } else {
    ::close(listener->spare_fd);
    listener->spare_fd = -1;
    tcp::socket socket = co_await listener->acceptor.async_accept(
        listener->ioc, net::redirect_error(net::use_awaitable, ec));
    if (!ec) {
      const std::string answer = options.refusal(
          options.name + " has no file descriptor left for another connection " + "(the limit is " +
          std::to_string(listener->open_files) + "); try again in a moment");
      // A fresh connection's send buffer takes the answer at once.
      socket.non_blocking(true, ec);
      net::write(socket, net::buffer(answer), ec);
      socket.shutdown(tcp::socket::shutdown_both, ec);
      socket.close(ec);
    }
  }
  if (listener->spare_fd < 0) listener->spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

net::awaitable<void> Accept(std::shared_ptr<Listener> listener, ServeOptions options) {
  for (;;) {
    error_code ec;
    tcp::socket socket = co_await listener->acceptor.async_accept(
        net::make_strand(listener->ioc), net::redirect_error(net::use_awaitable, ec));
    if (listener->stopping) co_return;
    if (ec) {
      if (ec == net::error::operation_aborted) co_return;
      if (OutOfDescriptors(ec)) {
        co_await RefuseWithoutDescriptors(listener, options);
        continue;
      }
      // Another failure: wait a little rather than spin.
      net::steady_timer pause(listener->ioc, std::chrono::milliseconds(50));
      co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
      continue;
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    if (listener->active >= options.max_connections) {
      auto executor = socket.get_executor();
      const std::string why = options.name + " is serving as many connections as it may (" +
                              std::to_string(options.max_connections) + ")";
      net::co_spawn(executor, Refuse(std::move(socket), options.refusal(why)), net::detached);
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
