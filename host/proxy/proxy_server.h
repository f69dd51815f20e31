// The filtering HTTP proxy: listens for browsers, forwards their requests to
// the origin servers, and sends every HTML response through its own filter
// object of the loaded library (see page_filter.h) on the way back. Anything
// that is not HTML, and every page of an exempted host, passes byte for byte;
// WebSocket upgrades are tunnelled unfiltered. CONNECT is tunnelled too,
// unless HTTPS inspection is on: then the proxy answers the browser's TLS
// with a certificate from its local CA (see local_ca.h), opens its own
// verified TLS connection to the origin, and serves the requests inside as
// it serves plain HTTP.
#ifndef VELQUOR_HOST_PROXY_PROXY_SERVER_H_
#define VELQUOR_HOST_PROXY_PROXY_SERVER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "proxy/local_ca.h"
#include "velquor/velquor.h"

namespace velquor::host {

struct ProxyOptions {
  std::string host = "127.0.0.1";  // address to listen on
  uint16_t port = 8377;            // 0: any free port
  unsigned threads = 2;
  std::size_t max_connections = 0;            // beyond this: 503; 0: as the open-file limit allows
  std::chrono::seconds idle_timeout{60};      // a quiet client or tunnel
  std::chrono::seconds connect_timeout{10};   // reaching an origin
  std::chrono::seconds response_timeout{60};  // an origin that stops sending
  std::chrono::seconds stop_grace{5};         // open responses at a stop
  std::size_t request_header_limit = 32 * 1024;  // beyond this: 431
  std::string library_path;                      // shown on the status page
  std::chrono::seconds handshake_timeout{10};    // a TLS handshake either side
  // HTTPS inspection: on when `ca` is set. `extra_ca` names a PEM file of
  // more CAs that origin certificates may chain to, beside the system's.
  std::shared_ptr<LocalCa> ca;
  std::string extra_ca;
  // The folder of the filter lists (NAME.txt each), read again when they
  // change; "" for none.
  std::string lists_dir;
};

class ProxyServer {
 public:
  // `factory` is the library's class object; the caller keeps it (and the
  // library) alive until Run has returned.
  ProxyServer(const ProxyOptions& options, IClassFactory* factory);
  ~ProxyServer();
  ProxyServer(const ProxyServer&) = delete;
  ProxyServer& operator=(const ProxyServer&) = delete;

  // Binds the listening socket and readies TLS. False with *error naming
  // the address or the file that cannot be used.
  bool Listen(std::string* error);
  // The port bound (useful after asking for port 0).
  uint16_t port() const;
  // Once listening: the open-file limit (raised to the hard limit where
  // allowed) and the connection limit in force.
  std::size_t open_file_limit() const;
  std::size_t max_connections() const;

  // Serves until SIGINT or SIGTERM: then stops accepting, lets open
  // responses finish for the grace period, cuts what is left and returns.
  void Run();

  struct State;  // the io_context, the listener and the open connections

 private:
  std::shared_ptr<State> state_;
};

}  // namespace velquor::host

#endif  // VELQUOR_HOST_PROXY_PROXY_SERVER_H_
