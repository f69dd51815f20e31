// The proxy's own page: its counts, the library it loaded and the exempted
// hosts, at its own address or at a name of its own (IsStatusHost).
#ifndef VELQUOR_HOST_PROXY_STATUS_PAGE_H_
#define VELQUOR_HOST_PROXY_STATUS_PAGE_H_

#include <cstdint>
#include <string>

#include "proxy/http_util.h"

namespace velquor::host::proxy {

// True for the status page's names (`host` normalised). Browsers resolve
// .localhost names themselves and never send them to a proxy, but they do
// send .invalid ones, which no real site can have.
bool IsStatusHost(const std::string& host);

// True when `t` names the proxy itself: a status page name, or the address the
// client reached it at (`client` is that connection's socket) or the one it
// listens on (`listen_host`), with its port.
bool IsOwnAddress(const Target& t, uint16_t port, const std::string& listen_host,
                  const tcp::socket& client);

// The status page's HTML; `more` (HTML) goes at its end.
std::string StatusPageHtml(const std::string& library_path, const std::string& more = "");

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_STATUS_PAGE_H_
