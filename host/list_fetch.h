// Fetching a filter list over HTTPS, with the server's certificate checked
// against the system's trusted authorities and a conditional request when
// an earlier copy's validators are known.
#ifndef VELQUOR_HOST_LIST_FETCH_H_
#define VELQUOR_HOST_LIST_FETCH_H_

#include <string>

namespace velquor::host {

struct FetchResult {
  bool ok = false;            // a whole 200 response, or a 304
  bool not_modified = false;  // 304: the earlier copy is current
  std::string body;
  std::string etag, last_modified;
  std::string error;  // why not ok
};

// GETs `url` (https only; up to five redirects), sending If-None-Match and
// If-Modified-Since when `etag` or `last_modified` are not empty. Each step
// (connect, handshake, read) may take `timeout_seconds` at most.
FetchResult FetchList(const std::string& url, const std::string& etag,
                      const std::string& last_modified, int timeout_seconds = 30);

}  // namespace velquor::host

#endif  // VELQUOR_HOST_LIST_FETCH_H_
