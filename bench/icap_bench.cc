// The ICAP service behind Squid, beside Squid alone and `velquor proxy`, in
// one run: throughput of one download at a time of 1 MB and 10 MB portal
// pages, the time to the first body byte that each adds over a direct fetch
// (median of 101 fetches of a 100 KB page), and the ICAP service's peak
// resident memory after one 100 MB page and while 100 clients download at
// once. Squid, the service
// and the proxy run as processes of their own with temporary configuration
// and profiles; the origin runs in this one. Needs squid installed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corpus.h"
#include "e2e_util.h"
#include "proxy_util.h"
#include "squid_util.h"

namespace {

using namespace velquor;

std::map<std::string, std::string>& Pages() {
  static std::map<std::string, std::string> pages;
  return pages;
}

std::string PagePath(std::size_t bytes) { return "/portal/" + std::to_string(bytes); }

test::Origin& TheOrigin() {
  static test::Origin origin([](test::OriginConnection& c) {
    std::string head;
    while (c.ReadRequest(&head)) {
      const std::size_t a = head.find(' ');
      const auto it = Pages().find(head.substr(a + 1, head.find(' ', a + 1) - a - 1));
      if (it == Pages().end() || !c.Send(test::Ok("text/html", it->second))) return;
    }
  });
  return origin;
}

enum Via { kDirect, kSquid, kSquidIcap, kProxy };
const char* const kViaNames[] = {"direct", "squid", "squid+velquor icap", "velquor proxy"};

struct Servers {
  test::TempDir home;
  std::string squid_program = test::FindSquid();
  test::ProxyProcess icap{home.path(), {"--threads", "2", "--max-connections", "1024"}, "icap"};
  test::ProxyProcess proxy{home.path(), {"--threads", "2", "--max-connections", "1024"}};
  std::unique_ptr<test::Squid> squid;
  std::unique_ptr<test::Squid> squid_icap;
  Servers() {
    if (squid_program.empty()) return;
    squid = std::make_unique<test::Squid>(squid_program, std::vector<std::string>{},
                                          std::vector<std::string>{});
    const std::string uri = "icap://127.0.0.1:" + std::to_string(icap.port());
    squid_icap =
        std::make_unique<test::Squid>(squid_program, std::vector<std::string>{uri + "/respmod"},
                                      std::vector<std::string>{uri + "/reqmod"});
  }
};

Servers& TheServers() {
  static Servers s;
  return s;
}

int PortOf(Via via) {
  Servers& s = TheServers();
  if (via == kSquid) return s.squid ? s.squid->port() : 0;
  if (via == kSquidIcap) return s.squid_icap ? s.squid_icap->port() : 0;
  if (via == kProxy) return s.proxy.port();
  return TheOrigin().port();
}

bool Fetch(Via via, const std::string& path, std::size_t* bytes, double* ttfb = nullptr) {
  const std::string target = via == kDirect ? path : TheOrigin().Url(path);
  const int fd = test::Dial(PortOf(via));
  if (fd < 0) return false;
  const auto start = std::chrono::steady_clock::now();
  const bool ok = test::SendAll(
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

bool Skip(benchmark::State& state, Via via) {
  if (PortOf(via) != 0) return false;
  state.SkipWithError("squid is not installed");
  return true;
}

void BM_Throughput(benchmark::State& state) {
  const Via via = static_cast<Via>(state.range(0));
  const std::size_t size = static_cast<std::size_t>(state.range(1));
  if (Skip(state, via)) return;
  const std::string path = PagePath(size);
  for (auto _ : state) {
    std::size_t bytes = 0;
    if (!Fetch(via, path, &bytes)) {
      state.SkipWithError("fetch failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Pages()[path].size()));
  state.SetLabel(kViaNames[via]);
}

void BM_FirstByte(benchmark::State& state) {
  const Via via = static_cast<Via>(state.range(0));
  if (Skip(state, via)) return;
  const std::string path = PagePath(100 * 1024);
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
  state.counters["via_us"] = through;
  state.counters["added_us"] = through - direct;
  state.SetLabel(kViaNames[via]);
}

// One 100 MB page through Squid and the service: the service's peak memory
// stays that of a small page, since no page is ever held whole.
void BM_HugePage(benchmark::State& state) {
  if (Skip(state, kSquidIcap)) return;
  const std::string path = PagePath(100 << 20);
  for (auto _ : state) {
    std::size_t bytes = 0;
    if (!Fetch(kSquidIcap, path, &bytes)) {
      state.SkipWithError("fetch failed");
      return;
    }
  }
  state.counters["peak_MB"] = static_cast<double>(TheServers().icap.PeakKb()) / 1024.0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Pages()[path].size()));
  state.SetLabel(kViaNames[kSquidIcap]);
}

void BM_Concurrent(benchmark::State& state) {
  const Via via = static_cast<Via>(state.range(0));
  const std::size_t size = static_cast<std::size_t>(state.range(1));
  if (Skip(state, via)) return;
  const std::string path = PagePath(size);
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
  const test::ProxyProcess& p = via == kProxy ? TheServers().proxy : TheServers().icap;
  state.counters["peak_MB"] = static_cast<double>(p.PeakKb()) / 1024.0;
  state.counters["failed"] = static_cast<double>(failures);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 100 * size));
  state.SetLabel(kViaNames[via]);
}

}  // namespace

BENCHMARK(BM_Throughput)
    ->ArgsProduct({{kDirect, kSquid, kSquidIcap, kProxy}, {1 << 20, 10 << 20}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FirstByte)
    ->Arg(kSquid)
    ->Arg(kSquidIcap)
    ->Arg(kProxy)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HugePage)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Concurrent)
    ->Args({kSquidIcap, 1 << 20})
    ->Args({kProxy, 1 << 20})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv) {
  for (std::size_t size : {std::size_t{100 * 1024}, std::size_t{1} << 20, std::size_t{10} << 20,
                           std::size_t{100} << 20}) {
    Pages()[PagePath(size)] = bench::MakeCorpusPage(bench::PageFamily::kPortal, size, 1);
  }
  TheOrigin();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
