// The ICAP service: a caching proxy (Squid, say) hands it each response at
// icap://ADDR:PORT/respmod and each request at icap://ADDR:PORT/reqmod. An
// HTML response goes through its own filter object of the loaded library,
// as in the filtering proxy (see proxy/page_filter.h), with the filter
// lists' element hiding, and streams back chunk by chunk as it arrives;
// anything else, pages of exempted hosts, partial (206) and bodiless
// responses are answered "204 No Content" at the preview, so their bodies
// never cross. A request that the filter lists block is answered with the
// response the filtering proxy would give it; any other passes (204). The
// service keeps no state between messages, so any number of instances can
// stand behind one proxy.
//
// Threading: Run serves on `threads` threads; each connection lives on a
// strand of its own.
#ifndef VELQUOR_HOST_ICAP_ICAP_SERVER_H_
#define VELQUOR_HOST_ICAP_ICAP_SERVER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "icap/icap_message.h"
#include "velquor/velquor.h"

namespace velquor::host {

struct IcapOptions {
  std::string host = "127.0.0.1";  // address to listen on
  uint16_t port = 1344;            // 0: any free port
  unsigned threads = 2;
  std::size_t max_connections = 512;         // beyond this: 503
  std::chrono::seconds idle_timeout{60};     // a client silent this long is dropped
  std::chrono::seconds stop_grace{5};        // open messages at a stop
  std::chrono::seconds options_ttl{60};      // how long a client may keep OPTIONS
  std::size_t head_limit = 64 * 1024;        // ICAP head; beyond: 400
  std::size_t http_head_limit = 256 * 1024;  // encapsulated header sections
  std::string library_path;
  // The folder of the filter lists (NAME.txt each), read again when they
  // change; "" for none.
  std::string lists_dir;
};

// The ISTag value (quoted, at most 32 characters) for the state the filter
// works from now: every setting, the exempted hosts, the user rules file, the
// library file and the filter lists (`lists`, as FilterLists::Identity
// tells them). Recomputed at most once a second.
std::string CurrentIsTag(const IcapOptions& options, const std::string& lists);

class IcapServer {
 public:
  // `factory` is the library's class object; the caller keeps it (and the
  // library) alive until Run has returned.
  IcapServer(const IcapOptions& options, IClassFactory* factory);
  ~IcapServer();
  IcapServer(const IcapServer&) = delete;
  IcapServer& operator=(const IcapServer&) = delete;

  // Binds the listening socket. False with *error naming the address.
  bool Listen(std::string* error);
  uint16_t port() const;

  // Serves until SIGINT or SIGTERM: then stops accepting, lets open messages
  // finish for the grace period, cuts what is left and returns.
  void Run();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace velquor::host

#endif  // VELQUOR_HOST_ICAP_ICAP_SERVER_H_
