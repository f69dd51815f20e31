// Helpers for the proxy's end-to-end tests: an origin server on loopback
// that runs a script per connection, the built `velquor proxy` started by
// exec, and a plain socket client that reads HTTP/1.1 responses.
#ifndef VELQUOR_TESTS_PROXY_UTIL_H_
#define VELQUOR_TESTS_PROXY_UTIL_H_

#include <openssl/types.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"

namespace velquor::test {

// One accepted connection of the origin.
class OriginConnection {
 public:
  // Over TLS when `ssl` is given (handshake done).
  explicit OriginConnection(int fd, SSL* ssl = nullptr) : fd_(fd), ssl_(ssl) {}
  // The next request: head (request line and fields) and body (a
  // Content-Length or chunked body, decoded). False when the client closed.
  bool ReadRequest(std::string* head, std::string* body = nullptr);
  bool Send(const std::string& bytes);
  int fd() const { return fd_; }

 private:
  bool Fill();
  int fd_;
  SSL* ssl_;
  std::string buffered_;
};

// Serves each connection with `script` on a thread of its own until the
// object goes (closing every connection still open). With `tls` (kept by
// the caller) each connection is a TLS server's first; a failed handshake
// ends it.
class Origin {
 public:
  using Script = std::function<void(OriginConnection&)>;
  explicit Origin(Script script, SSL_CTX* tls = nullptr);
  ~Origin();
  int port() const { return port_; }
  std::string Url(const std::string& path) const;
  // https://localhost:PORT/path
  std::string HttpsUrl(const std::string& path) const;
  int connections() const { return accepted_; }

 private:
  Script script_;
  SSL_CTX* tls_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::vector<int> fds_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// The request target of a request head: "/path" for "GET /path HTTP/1.1".
std::string PathOf(const std::string& head);
// A script that answers every request on a connection with `response`.
Origin::Script Always(const std::string& response);
// "HTTP/1.1 200 OK" with the type, Content-Length and `body`.
std::string Ok(const std::string& type, const std::string& body,
               const std::string& extra_fields = "");

// `velquor proxy` (or another serving subcommand, such as "icap") on a free
// loopback port with VELQUOR_HOME=home; started through `launcher` (a
// program and its arguments, such as prlimit) if given.
class ProxyProcess {
 public:
  ProxyProcess(const std::string& home, const std::vector<std::string>& extra_args = {},
               const std::string& command = "proxy", const std::vector<std::string>& launcher = {});
  ~ProxyProcess();
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Sends `signal` and waits: the exit status, or 128 + signal number.
  int Stop(int signal);
  // Peak resident memory in KB (VmHWM), and what is resident now (VmRSS).
  long PeakKb() const;
  long RssKb() const;
  // CPU time the proxy has used so far, user and system, in seconds.
  double CpuSeconds() const;
  // Sockets the proxy holds open, its listener among them. (Other
  // descriptors come and go with the store's connections per thread.)
  int Sockets() const;
  // Descriptors the proxy holds open.
  int OpenFiles() const;
  std::string Log() const;
  // The log once it holds `text`, else as it stands after `seconds`: for a
  // line written after the client has had its answer.
  std::string LogWith(const std::string& text, int seconds = 10) const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string log_path_;
};

// nginx as an origin on a free loopback port, configured with `server`
// (directives of its one server block) in a folder of its own that holds its
// pid, logs and temporary files. Stopped when the object goes, and by
// itself after five minutes. port() is 0 when nginx is not installed.
class NginxOrigin {
 public:
  explicit NginxOrigin(const std::string& server);
  ~NginxOrigin();
  int port() const { return port_; }
  std::string Url(const std::string& path) const;
  std::string ErrorLog() const;

 private:
  TempDir dir_;
  int pid_ = -1;
  int port_ = 0;
};

struct Response {
  int status = 0;
  std::string head;                           // status line and fields
  std::map<std::string, std::string> fields;  // lower-case names
  std::string body;                           // framing removed
  bool complete = false;                      // the body's framing ended it
  bool chunked = false;
};

int Dial(int port);
bool SendAll(int fd, const std::string& bytes);
// Reads one response from `fd`; `no_body` for a response to HEAD. Calls
// on_first_body_byte once when body bytes first arrive.
Response ReadResponse(int fd, bool no_body = false,
                      const std::function<void()>& on_first_body_byte = {});
// One request on a new connection through the proxy.
Response Exchange(int port, const std::string& request, bool no_body = false);
// A GET of `url` through the proxy with "Connection: close".
Response Get(int port, const std::string& url, const std::string& extra_fields = "");

// Chromium's arguments for a headless run through the HTTP proxy at `port`
// (loopback addresses too), with `profile` for its user data.
std::vector<std::string> ChromiumArgs(int port, const TempDir& profile);

// A page whose own script writes into its DOM what the filter lists did to
// it (the computed display of elements hidden site-wide and generically,
// the width of a blocked and an allowed image, whether a blocked script
// ran), served by an origin that notes each path asked of it. kList is the
// list that acts on it; kAllActed is the page's report when all of it did.
class ListsProbe {
 public:
  static const char kList[];
  static const char kAllActed[];
  static const std::string kPage;
  static const std::string kImage;  // two pixels wide, to tell from a blocked one
  // The origin's script; the probe outlives the origin.
  Origin::Script Serve();
  bool Asked(const std::string& path);

 private:
  std::mutex mutex_;
  std::vector<std::string> asked_;
};

}  // namespace velquor::test

#endif  // VELQUOR_TESTS_PROXY_UTIL_H_
