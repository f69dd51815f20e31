// What the proxy's sessions share: the options, the library's class object,
// the io_context and listener, the open connections (to cut them at a stop)
// and the TLS contexts of inspection.
#ifndef VELQUOR_HOST_PROXY_SERVER_STATE_H_
#define VELQUOR_HOST_PROXY_SERVER_STATE_H_

#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "proxy/http_util.h"
#include "proxy/proxy_server.h"
#include "proxy/request_filter.h"
#include "proxy/tls_inspection.h"

namespace velquor::host {

struct ProxyServer::State : std::enable_shared_from_this<ProxyServer::State> {
  ProxyOptions options;
  IClassFactory* factory;
  proxy::net::io_context ioc;
  proxy::tcp::acceptor acceptor{ioc};
  uint16_t port = 0;  // bound, set before any connection
  std::atomic<std::size_t> active{0};
  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::map<uint64_t, std::function<void(bool)>> cutters;  // id -> cut (all or idle only)
  uint64_t next_id = 0;
  // Inspection: towards browsers with the local CA's certificates, towards
  // origins verifying theirs.
  proxy::net::ssl::context tls_server{proxy::net::ssl::context::tls_server};
  proxy::net::ssl::context tls_client{proxy::net::ssl::context::tls_client};
  proxy::OriginSessions origin_sessions;
  proxy::FilterLists lists;

  // Open-file limit in force; a descriptor held back to tell a browser
  // that the proxy has run out of them.
  std::size_t open_files = 0;
  int spare_fd = -1;

  State(const ProxyOptions& o, IClassFactory* f) : options(o), factory(f), lists(o.lists_dir) {}
  ~State() {
    if (spare_fd >= 0) ::close(spare_fd);
  }

  uint64_t Enrol(std::function<void(bool)> cut) {
    std::lock_guard<std::mutex> lock(mutex);
    cutters.emplace(++next_id, std::move(cut));
    return next_id;
  }
  void Leave(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex);
    cutters.erase(id);
  }
  void CutAll(bool idle_only) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [id, cut] : cutters) cut(idle_only);
  }
};

}  // namespace velquor::host

#endif  // VELQUOR_HOST_PROXY_SERVER_STATE_H_
