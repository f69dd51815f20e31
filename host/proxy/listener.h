// The listening side of a server that serves each connection on a strand of
// its own: binding, accepting (or refusing beyond the connection limit), the
// threads, and the graceful stop on SIGINT or SIGTERM, which stops
// accepting, closes idle connections at once, lets busy ones finish for a
// grace period and then cuts what is left. The proxy and the ICAP service
// each keep their own state beside it.
//
// Thread-safety: Enrol, Leave and CutAll may be called from any thread.
#ifndef VELQUOR_HOST_PROXY_LISTENER_H_
#define VELQUOR_HOST_PROXY_LISTENER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "proxy/http_util.h"

namespace velquor::host::proxy {

struct Listener {
  net::io_context ioc;
  tcp::acceptor acceptor{ioc};
  uint16_t port = 0;  // bound, set before any connection
  std::atomic<std::size_t> active{0};
  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::map<uint64_t, std::function<void(bool)>> cutters;  // id -> cut (all or idle only)
  uint64_t next_id = 0;
  // Open-file limit in force; a descriptor held back to tell a client that
  // the server has run out of them.
  std::size_t open_files = 0;
  int spare_fd = -1;

  Listener() = default;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener();

  // A connection's way to be cut at a stop: called with true to close it
  // only when it is idle. Returns the id to Leave with.
  uint64_t Enrol(std::function<void(bool)> cut);
  void Leave(uint64_t id);
  void CutAll(bool idle_only);
};

// Binds `listener`'s acceptor to host:port (port 0: any free one) and sets
// its port; raises the soft limit of open files to the hard one where
// allowed, sets open_files and holds the spare descriptor. False with
// *error naming the address.
bool Listen(Listener& listener, const std::string& host, uint16_t port, std::string* error);

struct ServeOptions {
  unsigned threads = 2;
  std::size_t max_connections = 512;  // open at once; beyond it `refusal`
  std::chrono::seconds stop_grace{5};
  // Takes over an accepted connection (its socket on a strand of its own).
  std::function<void(tcp::socket)> start;
  // Logs and makes the complete answer for a connection that cannot be
  // served, `why` saying in words why not; it is sent before the connection
  // is closed.
  std::function<std::string(const std::string& why)> refusal;
  std::string name = "the proxy";  // the server, as the refusals name it
};

// The connections that `open_files` descriptors serve at `per_connection`
// descriptors each, after those the server keeps for its own files, and not
// beyond what memory allows.
std::size_t ConnectionsFor(std::size_t open_files, std::size_t per_connection);

// Serves on `options.threads` threads until SIGINT or SIGTERM and the stop
// that follows have ended.
void Serve(const std::shared_ptr<Listener>& listener, ServeOptions options);

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_LISTENER_H_
