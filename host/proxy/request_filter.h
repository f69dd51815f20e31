// Filter lists in the proxy: what a request is (its type and the page it is
// made for) as the browser tells it, the lists of the profile kept up to
// date while the proxy runs, and the answers to a blocked request.
#ifndef VELQUOR_HOST_PROXY_REQUEST_FILTER_H_
#define VELQUOR_HOST_PROXY_REQUEST_FILTER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lists/filter_lists.h"
#include "proxy/http_util.h"

namespace velquor::host::proxy {

// The type of a request from its Sec-Fetch-Dest and Sec-Fetch-Mode fields;
// a browser that sends none is judged by its Accept field and the
// extension of `path`.
lists::RequestType RequestTypeOf(std::string_view dest, std::string_view mode,
                                 std::string_view accept, std::string_view path, bool websocket);

// The page a request is made for: its Referer, else its Origin. Without
// either, Sec-Fetch-Site "same-origin" or "same-site" makes the request's
// own origin (taken from `url`) the source, so that it counts first-party;
// otherwise the source is unknown ("") and the request third-party.
std::string SourceOf(std::string_view referer, std::string_view origin, std::string_view fetch_site,
                     std::string_view url);

// The host of an absolute URL, lower case, without port or brackets; "".
std::string HostOfUrl(std::string_view url);

// "http://host[:port]/path" of a request for `t`, the port left out when it
// is the scheme's own.
std::string RequestUrl(const Target& t, bool tls);

// The complete response to a request that `decision` blocks: a transparent
// GIF for an image, a page naming the rule, its list and how to exempt
// `host` for a document, an empty 403 for anything else. Never cached.
std::string BlockedResponse(lists::RequestType type, const lists::Decision& decision,
                            const std::string& url, const std::string& host, bool head_only,
                            bool keep_alive);
// The answer to a request for `url` (on `host`) with the header `fields`
// when `engine` blocks it; "" when it may go on. A request made by a page
// of an exempted host (one of `exceptions`) is never blocked.
std::string JudgeRequest(const lists::Engine& engine, const http::fields& fields,
                         const std::string& url, const std::string& host,
                         const std::vector<std::string>& exceptions, bool head_only,
                         bool keep_alive);

// The answer to a CONNECT to a host the lists block whole.
std::string RefusedTunnelResponse();

// The lists of a profile folder (every NAME.txt in it), compiled into one
// engine. The folder is looked at again at most every kRecheck; when a list
// was added, changed or removed a new engine is built and replaces the old
// one for the requests that come after, while those under way keep theirs.
// The new engine is built on a thread of its own: no request waits for it.
class FilterLists {
 public:
  static constexpr auto kRecheck = std::chrono::milliseconds(500);

  // `dir` "" means no lists; `who` names the program in what it logs.
  explicit FilterLists(std::string dir, const char* who = "proxy")
      : dir_(std::move(dir)), who_(who) {}
  ~FilterLists();
  FilterLists(const FilterLists&) = delete;
  FilterLists& operator=(const FilterLists&) = delete;

  // Reads the folder now (at the start, before any request).
  void Load();
  // The engine to judge a request with; null when there are no rules.
  std::shared_ptr<const lists::Engine> Current();

  // Tells apart the sets of list files that engines are built from: it
  // changes when the engine in use is replaced by one built from lists
  // added, changed or removed. "" for none.
  std::string Identity();

  // A request or a tunnel the lists blocked.
  void CountBlocked() { ++blocked_; }
  uint64_t blocked() const { return blocked_; }

  // The lists in use and their counts, as an HTML fragment for the status
  // page.
  std::string StatusHtml();

 private:
  struct Seen {
    std::string name;
    int64_t mtime = 0;
    uint64_t size = 0;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> Scan() const;
  void Rebuild(std::vector<Seen> seen);

  const std::string dir_;
  const char* const who_;
  std::mutex mutex_;  // guards what follows it
  std::shared_ptr<const lists::Engine> engine_;
  std::vector<lists::ListSummary> summaries_;
  std::vector<Seen> seen_;
  std::chrono::steady_clock::time_point checked_{};
  std::atomic<uint64_t> blocked_{0};
  std::atomic<bool> building_{false};
  std::thread builder_;  // joined before the next build and at the end
};

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_REQUEST_FILTER_H_
