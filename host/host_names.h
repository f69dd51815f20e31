// Host names and addresses as a user writes them in the proxy's host lists
// (the settings Exceptions and TunnelHosts), whether through `velquor exempt`
// or `velquor config set`: one check serves both, so that neither stores a
// name the other would refuse. Thread-safe: pure functions.
#ifndef VELQUOR_HOST_HOST_NAMES_H_
#define VELQUOR_HOST_HOST_NAMES_H_

#include <string>

namespace velquor::host {

// True for a literal IPv4 or IPv6 address (no brackets).
bool IsIpLiteral(const std::string& host);

// The canonical form of a host as given by a user or a request: lower case,
// no trailing dot, an IPv6 address without its brackets. "" when `host` is
// not a usable host name or address (empty, spaces, a slash, a port, ...).
std::string NormalizeHost(const std::string& host);

// Why `word` cannot stand in a host list, as the end of an error line:
// "'http://a.example/' is not a host name or IP address (write a.example)".
// Call only for a word NormalizeHost refuses.
std::string HostProblem(const std::string& word);

// Checks a host list as stored (names separated by spaces, tabs, line ends
// or commas). False with *problem (HostProblem of the first bad name) when a
// name is unusable.
bool CheckHostList(const std::string& text, std::string* problem);

}  // namespace velquor::host

#endif  // VELQUOR_HOST_HOST_NAMES_H_
