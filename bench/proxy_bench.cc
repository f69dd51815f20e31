// The filtering proxy on loopback, beside a direct fetch and, when it is
// installed, beside Privoxy with its default filters: throughput on corpus
// pages of 1 MB and 10 MB, the time to the first body byte that the proxy
// adds, and the peak memory of the proxy process while 100 clients download
// at once. Each proxy runs as its own process with its own profile or
// configuration in a temporary directory; the origin runs in this one.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
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
// actions and filters.
class Privoxy {
 public:
  Privoxy() {
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

enum Via { kDirect, kVelquor, kPrivoxy };

int PortOf(Via via) {
  if (via == kVelquor) return TheProxies().velquor.port();
  if (via == kPrivoxy) return TheProxies().privoxy.port();
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

const char* const kViaNames[] = {"direct", "velquor", "privoxy"};

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

// The median over 101 fetches of a 100 KB portal page.
void BM_FirstByte(benchmark::State& state) {
  const Via via = static_cast<Via>(state.range(0));
  if (via == kPrivoxy && TheProxies().privoxy.port() == 0) {
    state.SkipWithError("privoxy is not installed");
    return;
  }
  const std::string path = PagePath(bench::PageFamily::kPortal, 100 * 1024);
  auto median = [&](Via v) {
    std::vector<double> times;
    for (int i = 0; i < 101; ++i) {
      std::size_t bytes = 0;
      double t = 0;
      Fetch(v, path, &bytes, &t);
      times.push_back(t);
    }
    std::nth_element(times.begin(), times.begin() + 50, times.end());
    return times[50];
  };
  double direct = 0, through = 0;
  for (auto _ : state) {
    direct = median(kDirect);
    through = median(via);
  }
  state.counters["direct_us"] = direct;
  state.counters["proxy_us"] = through;
  state.counters["added_us"] = through - direct;
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

void Families(benchmark::internal::Benchmark* b) {
  for (int via : {kDirect, kVelquor, kPrivoxy}) {
    for (bench::PageFamily f : bench::kAllPageFamilies) {
      for (int64_t size : {1 << 20, 10 << 20}) b->Args({via, static_cast<int>(f), size});
    }
  }
}

BENCHMARK(BM_Throughput)->Apply(Families)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FirstByte)->Arg(kVelquor)->Arg(kPrivoxy)->Iterations(1)->Unit(benchmark::kMillisecond);
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
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
