#include "proxy_util.h"
#include <algorithm>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "e2e_util.h"

extern char** environ;

namespace velquor::test {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

// Reads more bytes into *buffered, waiting at most 30 s. False at the end.
bool ReadMore(int fd, std::string* buffered) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 30000) <= 0) return false;
  char buf[65536];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) return false;
  buffered->append(buf, static_cast<std::size_t>(n));
  return true;
}

// Decodes a chunked body from *buffered (reading more as needed) into *body.
bool ReadChunked(int fd, std::string* buffered, std::string* body,
                 const std::function<void()>& on_bytes) {
  for (;;) {
    std::size_t eol;
    while ((eol = buffered->find("\r\n")) == std::string::npos) {
      if (!ReadMore(fd, buffered)) return false;
    }
    const std::size_t size = std::strtoul(buffered->c_str(), nullptr, 16);
    buffered->erase(0, eol + 2);
    while (buffered->size() < size + 2) {
      if (!ReadMore(fd, buffered)) return false;
    }
    if (size == 0) {
      while (buffered->rfind("\r\n", 0) != 0) {  // trailer fields, if any
        eol = buffered->find("\r\n");
        if (eol == std::string::npos) {
          if (!ReadMore(fd, buffered)) return false;
        } else {
          buffered->erase(0, eol + 2);
        }
      }
      buffered->erase(0, 2);
      return true;
    }
    body->append(*buffered, 0, size);
    if (on_bytes) on_bytes();
    buffered->erase(0, size + 2);
  }
}

}  // namespace

bool OriginConnection::Fill() {
  if (!ssl_) return ReadMore(fd_, &buffered_);
  if (SSL_pending(ssl_) == 0) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) return false;
  }
  char buf[16384];
  const int n = SSL_read(ssl_, buf, sizeof buf);
  if (n <= 0) return false;
  buffered_.append(buf, static_cast<std::size_t>(n));
  return true;
}

bool OriginConnection::ReadRequest(std::string* head, std::string* body) {
  std::size_t end;
  while ((end = buffered_.find("\r\n\r\n")) == std::string::npos) {
    if (!Fill()) return false;
  }
  *head = buffered_.substr(0, end + 4);
  buffered_.erase(0, end + 4);
  const std::string lower = Lower(*head);
  std::string decoded;
  if (lower.find("transfer-encoding: chunked") != std::string::npos) {
    if (!ReadChunked(fd_, &buffered_, &decoded, {})) return false;
  } else if (const std::size_t cl = lower.find("content-length:"); cl != std::string::npos) {
    const std::size_t n = std::strtoul(lower.c_str() + cl + 15, nullptr, 10);
    while (buffered_.size() < n) {
      if (!Fill()) return false;
    }
    decoded = buffered_.substr(0, n);
    buffered_.erase(0, n);
  }
  if (body != nullptr) *body = decoded;
  return true;
}

bool OriginConnection::Send(const std::string& bytes) {
  if (!ssl_) return SendAll(fd_, bytes);
  return bytes.empty() || SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) > 0;
}

Origin::Origin(Script script, SSL_CTX* tls) : script_(std::move(script)), tls_(tls) {
  // A TLS origin writes through SSL_write, which cannot ask for MSG_NOSIGNAL:
  // a proxy that drops the connection must end that write with an error, not
  // end the whole test program with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 256) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("origin: cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] {
    for (;;) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ++accepted_;
      std::lock_guard<std::mutex> lock(mutex_);
      fds_.push_back(fd);
      threads_.emplace_back([this, fd] {
        SSL* ssl = nullptr;
        if (tls_) {
          ssl = SSL_new(tls_);
          SSL_set_fd(ssl, fd);
          if (SSL_accept(ssl) != 1) {
            SSL_free(ssl);
            shutdown(fd, SHUT_RDWR);
            return;
          }
        }
        OriginConnection c(fd, ssl);
        script_(c);
        if (ssl) {
          SSL_shutdown(ssl);
          SSL_free(ssl);
        }
        shutdown(fd, SHUT_RDWR);
      });
    }
  });
}

Origin::~Origin() {
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : fds_) shutdown(fd, SHUT_RDWR);
  for (std::thread& t : threads_) t.join();
  for (int fd : fds_) close(fd);
}

std::string Origin::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string Origin::HttpsUrl(const std::string& path) const {
  return "https://localhost:" + std::to_string(port_) + path;
}

std::string PathOf(const std::string& head) {
  const std::size_t a = head.find(' ');
  return head.substr(a + 1, head.find(' ', a + 1) - a - 1);
}

Origin::Script Always(const std::string& response) {
  return [response](OriginConnection& c) {
    std::string head;
    while (c.ReadRequest(&head) && c.Send(response)) {
    }
  };
}

std::string Ok(const std::string& type, const std::string& body, const std::string& extra) {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

ProxyProcess::ProxyProcess(const std::string& home, const std::vector<std::string>& extra_args,
                           const std::string& command, const std::vector<std::string>& launcher) {
  log_path_ = home + "/" + command + "-" + std::to_string(getpid()) + "-" +
              std::to_string(reinterpret_cast<uintptr_t>(this)) + ".log";
  std::vector<std::string> args = launcher;
  args.insert(args.end(),
              {VelquorBinary(), command, "--listen", "127.0.0.1:0", "--library", VELQUOR_LIB});
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "VELQUOR_HOME=", 13) != 0) env.push_back(*e);
  }
  env.push_back("VELQUOR_HOME=" + home);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start velquor proxy");
  // The proxy names its port on stderr once it listens.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string log = Log();
    const std::size_t at = log.find("listening on 127.0.0.1:");
    if (at != std::string::npos) {
      port_ = std::atoi(log.c_str() + at + 23);
      if (port_ > 0) return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("velquor " + command + " ended at start: " + log);
    }
    usleep(10000);
  }
  throw std::runtime_error("velquor " + command + " did not start: " + Log());
}

ProxyProcess::~ProxyProcess() {
  if (pid_ > 0) Stop(SIGKILL);
}

int ProxyProcess::Stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

namespace {

// A "Name:  N kB" line of /proc/PID/status.
long StatusKb(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
  }
  return -1;
}

}  // namespace

long ProxyProcess::PeakKb() const { return StatusKb(pid_, "VmHWM"); }
long ProxyProcess::RssKb() const { return StatusKb(pid_, "VmRSS"); }

double ProxyProcess::CpuSeconds() const {
  // utime and stime are the 14th and 15th fields, counted after the
  // parenthesised command name (which may hold spaces).
  const std::string stat = ReadFile("/proc/" + std::to_string(pid_) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  long user = 0, system = 0;
  fields >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int ProxyProcess::Sockets() const {
  const std::string fds = "/proc/" + std::to_string(pid_) + "/fd/";
  DIR* dir = opendir(fds.c_str());
  if (!dir) return -1;
  int n = 0;
  char target[64];
  while (const dirent* e = readdir(dir)) {
    const ssize_t len = readlink((fds + e->d_name).c_str(), target, sizeof target);
    n += len > 7 && std::strncmp(target, "socket:", 7) == 0;
  }
  closedir(dir);
  return n;
}

int ProxyProcess::OpenFiles() const {
  std::error_code ec;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return n;
}

std::string ProxyProcess::Log() const { return ReadFile(log_path_); }

std::string ProxyProcess::LogWith(const std::string& text, int seconds) const {
  std::string log = Log();
  for (int i = 0; i < seconds * 50 && log.find(text) == std::string::npos; ++i) {
    usleep(20000);
    log = Log();
  }
  return log;
}

NginxOrigin::NginxOrigin(const std::string& server) {
  const std::string nginx = FindProgram("nginx");
  const std::string timeout = FindProgram("timeout");
  if (nginx.empty() || timeout.empty()) return;
  // A free port: the one a socket bound to port 0 got, once it has gone.
  int port = 0;
  {
    Origin probe(Always(""));
    port = probe.port();
  }
  const std::string d = dir_.path();
  WriteFile(dir_.File("nginx.conf"),
            "daemon off;\nmaster_process off;\npid " + d + "/nginx.pid;\nerror_log " + d +
                "/error.log;\nevents { worker_connections 256; }\nhttp {\n  access_log off;\n" +
                "  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d +
                "/proxy;\n  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d +
                "/uwsgi;\n  scgi_temp_path " + d + "/scgi;\n  server {\n    listen 127.0.0.1:" +
                std::to_string(port) + ";\n    " + server + "\n  }\n}\n");
  std::vector<std::string> args = {
      "300", nginx, "-p", d, "-c", dir_.File("nginx.conf"), "-e", dir_.File("error.log")};
  pid_ = SpawnWithProfile(timeout, args, d);
  for (int i = 0; i < 500 && pid_ > 0; ++i) {
    const int fd = Dial(port);
    if (fd >= 0) {
      close(fd);
      port_ = port;
      return;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    usleep(20000);
  }
  throw std::runtime_error("nginx did not start: " + ErrorLog());
}

NginxOrigin::~NginxOrigin() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);  // passed on to nginx by timeout
  WaitForChild(pid_);
}

std::string NginxOrigin::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string NginxOrigin::ErrorLog() const { return ReadFile(dir_.File("error.log")); }

int Dial(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

Response ReadResponse(int fd, bool no_body, const std::function<void()>& on_first_body_byte) {
  // The tests never pipeline, so no read goes past the response.
  std::string buffered;
  Response r;
  std::size_t end;
  while ((end = buffered.find("\r\n\r\n")) == std::string::npos) {
    if (!ReadMore(fd, &buffered)) return r;
  }
  r.head = buffered.substr(0, end + 4);
  buffered.erase(0, end + 4);
  r.status = std::atoi(r.head.c_str() + 9);
  std::istringstream lines(r.head);
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && line.size() > 1) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
    r.fields[Lower(line.substr(0, colon))] = value;
  }
  bool told = false;
  auto tell = [&] {
    if (!told && on_first_body_byte && !r.body.empty()) {
      told = true;
      on_first_body_byte();
    }
  };
  if (no_body || r.status == 204 || r.status == 304 || r.status / 100 == 1) {
    r.complete = true;
  } else if (r.fields.count("transfer-encoding") &&
             Lower(r.fields["transfer-encoding"]) == "chunked") {
    r.chunked = true;
    r.complete = ReadChunked(fd, &buffered, &r.body, tell);
  } else if (r.fields.count("content-length")) {
    const std::size_t n = std::strtoull(r.fields["content-length"].c_str(), nullptr, 10);
    do {
      const std::size_t k = std::min(n - r.body.size(), buffered.size());
      r.body.append(buffered, 0, k);
      buffered.erase(0, k);
      tell();
    } while (r.body.size() < n && ReadMore(fd, &buffered));
    r.complete = r.body.size() == n;
  } else {
    while (ReadMore(fd, &buffered)) {
      r.body += buffered;
      buffered.clear();
      tell();
    }
    r.body += buffered;
    buffered.clear();
    r.complete = true;
  }
  return r;
}

Response Exchange(int port, const std::string& request, bool no_body) {
  const int fd = Dial(port);
  Response r;
  if (fd >= 0 && SendAll(fd, request)) r = ReadResponse(fd, no_body);
  if (fd >= 0) close(fd);
  return r;
}

Response Get(int port, const std::string& url, const std::string& extra_fields) {
  return Exchange(
      port, "GET " + url + " HTTP/1.1\r\nHost: x\r\n" + extra_fields + "Connection: close\r\n\r\n");
}

std::vector<std::string> ChromiumArgs(int port, const TempDir& profile) {
  return {"--headless",
          "--no-sandbox",
          "--disable-gpu",
          "--disable-quic",
          "--no-first-run",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--disable-default-apps",
          "--user-data-dir=" + profile.path(),
          "--proxy-server=http://127.0.0.1:" + std::to_string(port),
          "--proxy-bypass-list=<-loopback>"};
}

const char ListsProbe::kList[] =
    "[Adblock Plus 2.0]\n! Title: test ads\n/ads/*\n/adframe/$subdocument\n"
    "||ads.blocked.example^\n##.promo-box\n127.0.0.1###sitebox\nother.example##.keep\n";
const char ListsProbe::kAllActed[] = "generic=none site=none keep=block ad=1 fine=2 track=false";
const std::string ListsProbe::kPage =
    "<!DOCTYPE html><html><head><title>lists</title></head><body>\n"
    "<img id=ad src=/ads/banner.png><img id=fine src=/img/fine.png>\n"
    "<script src=/ads/track.js></script><iframe src=/adframe/f.html></iframe>\n"
    "<div class=promo-box id=generic>g</div><div id=sitebox>s</div><div class=keep>k</div>\n"
    "<pre id=result>pending</pre><script>\n"
    "addEventListener('load', () => {\n"
    "  const shown = id => getComputedStyle(document.getElementById(id)).display;\n"
    "  document.getElementById('result').textContent = ['generic=' + shown('generic'),\n"
    "    'site=' + shown('sitebox'), 'keep=' + getComputedStyle(\n"
    "    document.querySelector('.keep')).display, 'ad=' + document.getElementById('ad')\n"
    "    .naturalWidth, 'fine=' + document.getElementById('fine').naturalWidth,\n"
    "    'track=' + (window.tracked === true)].join(' ');\n"
    "});\n</script></body></html>\n";
const std::string ListsProbe::kImage =
    "<svg xmlns='http://www.w3.org/2000/svg' width='2' height='2'/>";

Origin::Script ListsProbe::Serve() {
  return [this](OriginConnection& c) {
    std::string head;
    while (c.ReadRequest(&head)) {
      const std::string path = PathOf(head);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        asked_.push_back(path);
      }
      std::string r = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
      if (path == "/page.html") r = Ok("text/html", kPage);
      if (path.rfind("/img/", 0) == 0 || path == "/ads/banner.png") r = Ok("image/svg+xml", kImage);
      if (path == "/ads/track.js") r = Ok("text/javascript", "window.tracked = true;");
      if (!c.Send(r)) return;
    }
  };
}

bool ListsProbe::Asked(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::find(asked_.begin(), asked_.end(), path) != asked_.end();
}

}  // namespace velquor::test
