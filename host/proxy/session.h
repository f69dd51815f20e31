// One browser connection of the proxy: requests served one after the other,
// each forwarded to its origin (or answered by the proxy itself), CONNECT
// tunnelled or, with HTTPS inspection, served as a session of its own.
#ifndef VELQUOR_HOST_PROXY_SESSION_H_
#define VELQUOR_HOST_PROXY_SESSION_H_

#include <memory>

#include "proxy/http_util.h"
#include "proxy/proxy_server.h"

namespace velquor::host::proxy {

// Serves the browser connection `client` on its own executor until it
// ends; the session counts itself among `state`'s open connections.
void StartSession(std::shared_ptr<ProxyServer::State> state, beast::tcp_stream client);

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_SESSION_H_
