// Per-site exceptions of the proxy: hosts whose pages are never filtered.
// The list is the text setting "Exceptions" under the settings key, host
// names separated by spaces, kept in the order they were added. A name
// matches itself and every subdomain ("example.com" covers
// "www.example.com"); an IP address matches only itself. Names compare
// without regard to ASCII case and a trailing dot.
#ifndef VELQUOR_HOST_PROXY_EXCEPTIONS_H_
#define VELQUOR_HOST_PROXY_EXCEPTIONS_H_

#include <string>
#include <vector>

#include "host_names.h"

namespace velquor::host {

// True when `host` (a request's host, normalized here) is covered by one of
// `exceptions` (already normalized).
bool IsExempt(const std::vector<std::string>& exceptions, const std::string& host);

// Splits the stored text into its names, dropping empty and unusable ones.
std::vector<std::string> ParseExceptions(const std::string& text);

// The list as stored now. Reads through the store's cache, so it is cheap to
// call per request and sees a change made by another process at once.
std::vector<std::string> ReadExceptions();

// Stores the list. False with *error when the store cannot take it.
bool WriteExceptions(const std::vector<std::string>& exceptions, std::string* error);

// The hosts whose HTTPS an inspecting proxy tunnels unseen (the setting
// "TunnelHosts", same form and matching): programs that accept only a
// site's own certificate. Their plain HTTP pages are still filtered.
std::vector<std::string> ReadTunnelHosts();
bool WriteTunnelHosts(const std::vector<std::string>& hosts, std::string* error);

// The command that tunnels `host`'s HTTPS unseen, as a log line suggests it:
// "velquor exempt --tunnel add HOST".
std::string TunnelCommand(const std::string& host);

}  // namespace velquor::host

#endif  // VELQUOR_HOST_PROXY_EXCEPTIONS_H_
