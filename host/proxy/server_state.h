// What the proxy's sessions share: the options, the library's class object,
// the listener with the open connections (to cut them at a stop, see
// listener.h) and the TLS contexts of inspection.
#ifndef VELQUOR_HOST_PROXY_SERVER_STATE_H_
#define VELQUOR_HOST_PROXY_SERVER_STATE_H_

#include <memory>

#include "proxy/http_util.h"
#include "proxy/listener.h"
#include "proxy/proxy_server.h"
#include "proxy/request_filter.h"
#include "proxy/tls_inspection.h"

namespace velquor::host {

struct ProxyServer::State : proxy::Listener, std::enable_shared_from_this<ProxyServer::State> {
  ProxyOptions options;
  IClassFactory* factory;
  // Inspection: towards browsers with the local CA's certificates, towards
  // origins verifying theirs.
  proxy::net::ssl::context tls_server{proxy::net::ssl::context::tls_server};
  proxy::net::ssl::context tls_client{proxy::net::ssl::context::tls_client};
  proxy::OriginSessions origin_sessions;
  proxy::FilterLists lists;

  State(const ProxyOptions& o, IClassFactory* f) : options(o), factory(f), lists(o.lists_dir) {}
};

}  // namespace velquor::host

#endif  // VELQUOR_HOST_PROXY_SERVER_STATE_H_
