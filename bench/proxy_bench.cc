// The filtering proxy on loopback, beside a direct fetch and, when it is
// installed, beside Privoxy with its default filters: throughput on corpus
// pages of 1 MB and 10 MB, the time to the first body byte that the proxy
// adds, and the peak memory of the proxy process while 100 clients download
// at once. Each proxy runs as its own process with its own profile or
// configuration in a temporary directory; the origin runs in this one.
// HTTPS: the same through the proxy's inspection beside a direct TLS fetch,
// with the time to the first byte over new and resumed TLS sessions.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corpus.h"
#include "e2e_util.h"
#include "proxy_util.h"
#include "tls_util.h"

extern char** environ;

namespace {

using namespace velquor;

std::map<std::string, std::string>& Pages() {
  static std::map<std::string, std::string> pages;
  return pages;
}

std::string PagePath(bench::PageFamily family, std::size_t bytes) {
  std::string path = "/";
  path.append(bench::PageFamilyName(family)).append("/").append(std::to_string(bytes));
  return path;
}

test::Origin& TheOrigin() {
  static test::Origin origin([](test::OriginConnection& c) {
    std::string head;
    while (c.ReadRequest(&head)) {
      const std::size_t a = head.find(' ');
      const std::string path = head.substr(a + 1, head.find(' ', a + 1) - a - 1);
      const auto it = Pages().find(path);
      if (it == Pages().end() || !c.Send(test::Ok("text/html", it->second))) return;
    }
  });
  return origin;
}

// A Privoxy of our own on a free loopback port, with the system's default
// actions and filters. With `inspect` ({cert, key} of a CA for it, and the
// file of CAs it trusts for origins), HTTPS inspection for every host.
class Privoxy {
 public:
  explicit Privoxy(const test::Pem* inspect = nullptr, const std::string& origin_cas = "") {
    if (access("/usr/sbin/privoxy", X_OK) != 0) return;
    int port = 0;
    {
      test::Origin probe(test::Always(""));
      port = probe.port();
    }
    const std::string config = dir_.File("config");
    test::WriteFile(config, "confdir /etc/privoxy\nlogdir " + dir_.path() +
                                "\nactionsfile match-all.action\nactionsfile default.action\n"
                                "filterfile default.filter\nlisten-address 127.0.0.1:" +
                                std::to_string(port) +
                                "\ntoggle 1\nbuffer-limit 65536\n"
                                "keep-alive-timeout 5\nsocket-timeout 60\n");
    if (inspect) {
      test::WriteFile(dir_.File("ca.crt"), inspect->cert);
      test::WriteFile(dir_.File("ca.key"), inspect->key);
      test::WriteFile(dir_.File("trusted.pem"), test::ReadFile(origin_cas));
      test::WriteFile(dir_.File("inspect.action"), "{+https-inspection}\n/\n");
      mkdir(dir_.File("certs").c_str(), 0700);
      test::WriteFile(config, test::ReadFile(config) + "actionsfile " +
                                  dir_.File("inspect.action") + "\nca-directory " + dir_.path() +
                                  "\nca-cert-file ca.crt\nca-key-file ca.key\n"
                                  "trusted-cas-file trusted.pem\ncertificate-directory " +
                                  dir_.File("certs") + "\n");
    }
    std::vector<std::string> args = {"/usr/sbin/privoxy", "--no-daemon", config};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return;
    for (int i = 0; i < 200 && port_ == 0; ++i) {
      const int fd = test::Dial(port);
      if (fd >= 0) {
        close(fd);
        port_ = port;
      } else {
        usleep(10000);
      }
    }
  }
  ~Privoxy() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

 private:
  test::TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

struct Proxies {
  test::TempDir home;
  test::ProxyProcess velquor{home.path(), {"--threads", "2", "--max-connections", "1024"}};
  Privoxy privoxy;
};

Proxies& TheProxies() {
  static Proxies p;
  return p;
}

// kVelquorLists: the proxy with EasyList and EasyPrivacy in its profile.
enum Via { kDirect, kVelquor, kPrivoxy, kVelquorLists };

// The proxy with both lists, when the source tree's neighbour has them.
struct ListsProxy {
  test::TempDir home;
  std::unique_ptr<test::ProxyProcess> velquor;
  ListsProxy() {
    const std::string dir = test::SourceDir() + "/../shared/lists/";
    for (const char* name : {"easylist.txt", "easyprivacy.txt"}) {
      if (access((dir + name).c_str(), R_OK) != 0) return;
      mkdir((home.path() + "/lists").c_str(), 0700);
      test::WriteFile(home.path() + "/lists/" + name, test::ReadFile(dir + name));
    }
    velquor = std::make_unique<test::ProxyProcess>(home.path(), std::vector<std::string>{});
  }
};

ListsProxy& TheListsProxy() {
  static ListsProxy p;
  return p;
}

int PortOf(Via via) {
  if (via == kVelquor) return TheProxies().velquor.port();
  if (via == kPrivoxy) return TheProxies().privoxy.port();
  if (via == kVelquorLists) return TheListsProxy().velquor->port();
  return TheOrigin().port();
}

// One fetch; the time to the first body byte in microseconds via *ttfb.
bool Fetch(Via via, const std::string& path, std::size_t* bytes, double* ttfb = nullptr) {
  const std::string target = via == kDirect ? path : TheOrigin().Url(path);
  const int fd = test::Dial(PortOf(via));
  if (fd < 0) return false;
  const auto start = std::chrono::steady_clock::now();
  bool ok = test::SendAll(
      fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  const test::Response r = test::ReadResponse(fd, false, [&] {
    if (ttfb) {
      *ttfb = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                  .count();
    }
  });
  close(fd);
  *bytes = r.body.size();
  return ok && r.complete && r.status == 200;
}

const char* const kViaNames[] = {"direct", "velquor", "privoxy", "velquor+lists"};

void BM_Throughput(benchmark::State& state) {
  const Via via = static_cast<Via>(state.range(0));
  const auto family = static_cast<bench::PageFamily>(state.range(1));
  const std::size_t size = static_cast<std::size_t>(state.range(2));
  if (via == kPrivoxy && TheProxies().privoxy.port() == 0) {
    state.SkipWithError("privoxy is not installed");
    return;
  }
  const std::string path = PagePath(family, size);
  std::size_t in = Pages()[path].size();
  for (auto _ : state) {
    std::size_t bytes = 0;
    if (!Fetch(via, path, &bytes)) {
      state.SkipWithError("fetch failed");
      return;
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in));
  state.SetLabel(std::string(kViaNames[via]) + " " + bench::PageFamilyName(family));
}

// The median of 101 timings, each what `time_one` returns.
template <typename TimeOne>
double MedianOf101(TimeOne time_one) {
  std::vector<double> times;
  for (int i = 0; i < 101; ++i) times.push_back(time_one());
  std::nth_element(times.begin(), times.begin() + 50, times.end());
  return times[50];
}

// Runs `median` (microseconds to the first byte, given the way) direct and
// through `via`, and reports both and what the proxy adds.
template <typename Median>
void ReportAddedTime(benchmark::State& state, Via via, Median median) {
  double direct = 0, through = 0;
  for (auto _ : state) {
    direct = median(kDirect);
    through = median(via);
  }
  state.counters["direct_us"] = direct;
  state.counters["proxy_us"] = through;
  state.counters["added_us"] = through - direct;
}

// The median over 101 fetches of a 100 KB portal page.
void BM_FirstByte(benchmark::State& state) {
  const Via via = static_cast<Via>(state.range(0));
  if (via == kPrivoxy && TheProxies().privoxy.port() == 0) {
    state.SkipWithError("privoxy is not installed");
    return;
  }
  if (via == kVelquorLists && !TheListsProxy().velquor) {
    state.SkipWithError("easylist.txt and easyprivacy.txt are not beside the source tree");
    return;
  }
  const std::string path = PagePath(bench::PageFamily::kPortal, 100 * 1024);
  ReportAddedTime(state, via, [&](Via v) {
    return MedianOf101([&] {
      std::size_t bytes = 0;
      double t = 0;
      Fetch(v, path, &bytes, &t);
      return t;
    });
  });
  state.SetLabel(kViaNames[via]);
}

long PeakKb(pid_t pid) {
  const std::string status = test::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// 100 clients download a page at once; the peak resident memory of the proxy
// process afterwards (it only grows, so the larger page runs last).
void BM_Concurrent(benchmark::State& state) {
  const Via via = static_cast<Via>(state.range(0));
  const std::size_t size = static_cast<std::size_t>(state.range(1));
  if (via == kPrivoxy && TheProxies().privoxy.port() == 0) {
    state.SkipWithError("privoxy is not installed");
    return;
  }
  const std::string path = PagePath(bench::PageFamily::kPortal, size);
  std::size_t failures = 0;
  for (auto _ : state) {
    std::vector<std::thread> clients;
    std::vector<int> ok(100, 0);
    for (int i = 0; i < 100; ++i) {
      clients.emplace_back([&, i] {
        std::size_t bytes = 0;
        ok[i] = Fetch(via, path, &bytes) ? 1 : 0;
      });
    }
    for (std::thread& t : clients) t.join();
    for (int v : ok) failures += v == 0;
  }
  const pid_t pid = via == kVelquor ? TheProxies().velquor.pid() : TheProxies().privoxy.pid();
  state.counters["peak_MB"] = static_cast<double>(PeakKb(pid)) / 1024.0;
  state.counters["failed"] = static_cast<double>(failures);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 100 * size));
  state.SetLabel(kViaNames[via]);
}

// HTTPS: an origin with a certificate from a CA of this run, and a proxy
// inspecting HTTPS that trusts that CA.
struct Tls {
  test::TempDir dir;
  test::Pem ca = test::MakeTestCa("bench origin CA");
  SSL_CTX* origin_ctx = test::ServerContext(test::IssueCert(&ca, {"localhost"}, -1, 7));
  test::Origin origin{[](test::OriginConnection& c) {
                        std::string head;
                        while (c.ReadRequest(&head)) {
                          const std::size_t a = head.find(' ');
                          const auto it =
                              Pages().find(head.substr(a + 1, head.find(' ', a + 1) - a - 1));
                          if (it == Pages().end() || !c.Send(test::Ok("text/html", it->second))) {
                            return;
                          }
                        }
                      },
                      origin_ctx};
  std::unique_ptr<test::ProxyProcess> velquor;
  test::Pem privoxy_ca = test::MakeTestCa("bench Privoxy CA", true);  // it takes RSA only
  std::unique_ptr<Privoxy> privoxy;
  SSL_CTX* client_ctx = SSL_CTX_new(TLS_client_method());

  Tls() {
    test::WriteFile(dir.File("origin-ca.pem"), ca.cert);
    velquor = std::make_unique<test::ProxyProcess>(
        dir.path(), std::vector<std::string>{"--threads", "2", "--inspect-https", "--extra-ca",
                                             dir.File("origin-ca.pem")});
    privoxy = std::make_unique<Privoxy>(&privoxy_ca, dir.File("origin-ca.pem"));
    test::WriteFile(dir.File("privoxy-ca.pem"), privoxy_ca.cert);
    SSL_CTX_load_verify_locations(client_ctx, dir.File("privoxy-ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(client_ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_load_verify_locations(client_ctx, dir.File("origin-ca.pem").c_str(), nullptr);
    SSL_CTX_load_verify_locations(client_ctx, dir.File("velquor-ca.pem").c_str(), nullptr);
  }
};

Tls& TheTls() {
  static Tls tls;
  return tls;
}

// One HTTPS fetch, through the proxy with CONNECT or straight to the origin;
// the time from the dial to the first body byte in microseconds via *ttfb.
// With `session`, resumes it when set and keeps the new one.
bool FetchTls(Via via, const std::string& path, std::size_t* bytes, double* ttfb = nullptr,
              SSL_SESSION** session = nullptr, int* resumed = nullptr) {
  Tls& tls = TheTls();
  const auto start = std::chrono::steady_clock::now();
  const int fd = test::Dial(via == kDirect    ? tls.origin.port()
                            : via == kVelquor ? tls.velquor->port()
                                              : tls.privoxy->port());
  if (fd < 0) return false;
  if (via != kDirect) {
    const std::string target = "localhost:" + std::to_string(tls.origin.port());
    test::SendAll(fd, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1) head += c;
    if (head.rfind("HTTP/1.", 0) != 0 || head.compare(8, 5, " 200 ") != 0) {
      close(fd);
      return false;
    }
  }
  SSL* ssl = SSL_new(tls.client_ctx);
  SSL_set_fd(ssl, fd);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set1_host(ssl, "localhost");
  if (session && *session) SSL_set_session(ssl, *session);
  bool ok = SSL_connect(ssl) == 1;
  if (resumed) *resumed += SSL_session_reused(ssl);
  const std::string request = "GET " + path +
                              " HTTP/1.1\r\nHost: localhost:" + std::to_string(tls.origin.port()) +
                              "\r\nConnection: close\r\n\r\n";
  ok = ok && SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0;
  std::string head;
  std::string tail;  // the last bytes, to see a chunked body's end
  std::size_t body = 0;
  std::size_t length = std::string::npos;
  bool in_body = false;
  std::vector<char> buf(64 * 1024);
  const auto first_byte = [&] {
    if (ttfb && *ttfb == 0 && body > 0) {
      *ttfb = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                  .count();
    }
  };
  while (ok) {
    const int n = SSL_read(ssl, buf.data(), static_cast<int>(buf.size()));
    if (n <= 0) break;
    if (!in_body) {
      head.append(buf.data(), static_cast<std::size_t>(n));
      const std::size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      in_body = true;
      ok = head.rfind("HTTP/1.", 0) == 0 && head.compare(8, 5, " 200 ") == 0;
      const std::size_t cl = head.find("Content-Length: ");
      if (cl < end) length = std::strtoul(head.c_str() + cl + 16, nullptr, 10);
      tail = head.substr(end + 4);
      body = tail.size();
    } else {
      body += static_cast<std::size_t>(n);
      tail.append(buf.data(), static_cast<std::size_t>(n));
    }
    first_byte();
    if (tail.size() > 16) tail.erase(0, tail.size() - 16);
    if (length != std::string::npos
            ? body >= length
            : tail.size() >= 5 && tail.compare(tail.size() - 5, 5, "0\r\n\r\n") == 0) {
      break;
    }
  }
  *bytes = body;
  if (session) {
    SSL_SESSION_free(*session);
    *session = SSL_get1_session(ssl);
  }
  SSL_shutdown(ssl);
  SSL_free(ssl);
  close(fd);
  return ok && in_body;
}

void BM_HttpsThroughput(benchmark::State& state) {
  const Via via = static_cast<Via>(state.range(0));
  const auto family = static_cast<bench::PageFamily>(state.range(1));
  const std::size_t size = static_cast<std::size_t>(state.range(2));
  const std::string path = PagePath(family, size);
  if (via == kPrivoxy && TheTls().privoxy->port() == 0) {
    state.SkipWithError("privoxy is not installed");
    return;
  }
  for (auto _ : state) {
    std::size_t bytes = 0;
    if (!FetchTls(via, path, &bytes) || bytes < size / 2) {
      state.SkipWithError("fetch failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Pages()[path].size()));
  state.SetLabel(std::string("https ") + kViaNames[via] + " " + bench::PageFamilyName(family));
}

// The median over 101 HTTPS fetches of a 100 KB portal page, each on a new
// connection: with a full handshake each time (range 0), or resuming the
// session of the fetch before (range 1). Through the proxy that is the
// browser's session with the proxy and the proxy's with the origin.
void BM_HttpsFirstByte(benchmark::State& state) {
  const Via via = static_cast<Via>(state.range(0));
  const bool resume = state.range(1) != 0;
  if (via == kPrivoxy && TheTls().privoxy->port() == 0) {
    state.SkipWithError("privoxy is not installed");
    return;
  }
  if (via == kVelquorLists && !TheListsProxy().velquor) {
    state.SkipWithError("easylist.txt and easyprivacy.txt are not beside the source tree");
    return;
  }
  const std::string path = PagePath(bench::PageFamily::kPortal, 100 * 1024);
  int resumed = 0;
  ReportAddedTime(state, via, [&](Via v) {
    SSL_SESSION* session = nullptr;
    std::size_t bytes = 0;
    FetchTls(v, path, &bytes, nullptr, &session);  // a session to resume
    const double median = MedianOf101([&] {
      double t = 0;
      if (!resume) {
        SSL_SESSION_free(session);
        session = nullptr;
      }
      FetchTls(v, path, &bytes, &t, &session, v == kDirect ? nullptr : &resumed);
      return t;
    });
    SSL_SESSION_free(session);
    return median;
  });
  state.counters["resumed"] = resumed;  // of the 101 through the proxy
  state.SetLabel(std::string("https ") + kViaNames[via] +
                 (resume ? ", resumed sessions" : ", new sessions"));
}

void Families(benchmark::internal::Benchmark* b) {
  for (int via : {kDirect, kVelquor, kPrivoxy}) {
    for (bench::PageFamily f : bench::kAllPageFamilies) {
      for (int64_t size : {1 << 20, 10 << 20}) b->Args({via, static_cast<int>(f), size});
    }
  }
}

BENCHMARK(BM_Throughput)->Apply(Families)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FirstByte)
    ->Arg(kVelquor)
    ->Arg(kVelquorLists)
    ->Arg(kPrivoxy)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HttpsThroughput)
    ->Apply([](benchmark::internal::Benchmark* b) {
      for (int via : {kDirect, kVelquor, kPrivoxy}) {
        for (bench::PageFamily f : bench::kAllPageFamilies) {
          for (int64_t size : {1 << 20, 10 << 20}) b->Args({via, static_cast<int>(f), size});
        }
      }
    })
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_HttpsFirstByte)
    ->Args({kVelquor, 0})
    ->Args({kVelquor, 1})
    ->Args({kPrivoxy, 0})
    ->Args({kPrivoxy, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Concurrent)
    ->Args({kVelquor, 1 << 20})
    ->Args({kVelquor, 10 << 20})
    ->Args({kPrivoxy, 1 << 20})
    ->Args({kPrivoxy, 10 << 20})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  for (bench::PageFamily f : bench::kAllPageFamilies) {
    for (std::size_t size :
         {std::size_t{100 * 1024}, std::size_t{1} << 20, std::size_t{10} << 20}) {
      Pages()[PagePath(f, size)] = bench::MakeCorpusPage(f, size, 1);
    }
  }
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  TheOrigin();
  TheProxies();
  TheTls();
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
