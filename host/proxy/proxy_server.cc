// The server: the shared listener (listener.h) with the proxy's sessions
// (session.h) and its answer beyond the connection limit.
#include "proxy/proxy_server.h"

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

#include <cstdio>
#include <string>

#include "proxy/error_pages.h"
#include "proxy/listener.h"
#include "proxy/server_state.h"
#include "proxy/session.h"
#include "proxy/tls_inspection.h"

namespace velquor::host {

namespace net = proxy::net;
namespace beast = proxy::beast;
using proxy::tcp;

ProxyServer::ProxyServer(const ProxyOptions& options, IClassFactory* factory)
    : state_(std::make_shared<State>(options, factory)) {}

ProxyServer::~ProxyServer() = default;

bool ProxyServer::Listen(std::string* error) {
  if (state_->options.ca && !proxy::ConfigureInspection(state_->tls_server, state_->tls_client,
                                                        state_->options.extra_ca, error)) {
    return false;
  }
  if (!proxy::Listen(*state_, state_->options.host, state_->options.port, error)) return false;
  state_->lists.Load();
  if (state_->options.max_connections == 0) {
    state_->options.max_connections = proxy::ConnectionsFor(state_->open_files, 2);
  }
  return true;
}

uint16_t ProxyServer::port() const { return state_->port; }
std::size_t ProxyServer::open_file_limit() const { return state_->open_files; }
std::size_t ProxyServer::max_connections() const { return state_->options.max_connections; }

void ProxyServer::Run() {
  proxy::ServeOptions serve;
  serve.threads = state_->options.threads;
  serve.max_connections = state_->options.max_connections;
  serve.stop_grace = state_->options.stop_grace;
  serve.start = [state = state_](tcp::socket socket) {
    proxy::StartSession(state, beast::tcp_stream(std::move(socket)));
  };
  serve.refusal = [](const std::string& why) {
    std::fprintf(stderr, "velquor: proxy: 503 Service Unavailable: %s\n", why.c_str());
    return proxy::ErrorResponse(503, "Service Unavailable", why);
  };
  proxy::Serve(state_, std::move(serve));
}

}  // namespace velquor::host
