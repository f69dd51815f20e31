// The proxy's own page: its counts, the library it loaded and the exempted
// hosts, at its own address or at kStatusHost.
#ifndef VELQUOR_HOST_PROXY_STATUS_PAGE_H_
#define VELQUOR_HOST_PROXY_STATUS_PAGE_H_

#include <cstdint>
#include <string>

#include "proxy/http_util.h"

namespace velquor::host::proxy {

constexpr char kStatusHost[] = "velquor.localhost";

// True when `t` names the proxy itself: kStatusHost, or the address the
// client reached it at (`client` is that connection's socket) or the one it
// listens on (`listen_host`), with its port.
bool IsOwnAddress(const Target& t, uint16_t port, const std::string& listen_host,
                  const tcp::socket& client);

// The status page's HTML.
std::string StatusPageHtml(const std::string& library_path);

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_STATUS_PAGE_H_
