// The filter-list engine on EasyList and EasyPrivacy: building it from both
// lists, and the time of one decision over a set of page requests (median
// and 99th percentile of each decision timed alone), with the resident
// memory the built engine takes. `lists_bench --write-requests FILE` writes
// the requests as URL<TAB>SOURCE<TAB>TYPE lines instead, for
// compare_lists.sh.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "lists/filter_lists.h"
#include "lists_requests.h"

namespace {

using velquor::lists::Engine;
using velquor::lists::ListText;

struct Data {
  std::vector<std::string> texts;
  std::vector<velquor::bench::ListRequest> requests;
  std::vector<velquor::lists::RequestType> types;
};

const Data& TheData() {
  static const Data data = [] {
    Data d;
    const std::string dir = velquor::bench::ListsDir(VELQUOR_SOURCE_DIR);
    d.texts = {velquor::bench::ReadAll(dir + "/easylist.txt"),
               velquor::bench::ReadAll(dir + "/easyprivacy.txt")};
    d.requests = velquor::bench::MakeListRequests(d.texts);
    for (const auto& r : d.requests) {
      velquor::lists::RequestType t = velquor::lists::RequestType::kOther;
      velquor::lists::ParseRequestType(r.type, &t);
      d.types.push_back(t);
    }
    return d;
  }();
  return data;
}

std::vector<ListText> Lists() {
  return {{"easylist", TheData().texts[0]}, {"easyprivacy", TheData().texts[1]}};
}

long ResidentKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

void BM_BuildBothLists(benchmark::State& state) {
  if (TheData().texts[0].empty()) {
    state.SkipWithError("easylist.txt not found (set VELQUOR_LISTS_DIR)");
    return;
  }
  // What one engine adds to the process: measured on the first build, before
  // freed memory of earlier ones can be reused.
  static long kb = [] {
    std::vector<ListText> lists = Lists();
    const long before = ResidentKb();
    static auto kept = Engine::Build(std::move(lists));
    return ResidentKb() - before;
  }();
  for (auto _ : state) {
    auto engine = Engine::Build(Lists());
    benchmark::DoNotOptimize(engine);
  }
  state.counters["engine_MB"] = static_cast<double>(kb) / 1024.0;
  state.counters["process_MB"] = static_cast<double>(ResidentKb()) / 1024.0;
}
BENCHMARK(BM_BuildBothLists)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Decision(benchmark::State& state) {
  const Data& d = TheData();
  if (d.requests.empty()) {
    state.SkipWithError("no requests (lists not found)");
    return;
  }
  const auto engine = Engine::Build(Lists());
  std::vector<double> ns;
  ns.reserve(d.requests.size());
  std::size_t blocked = 0;
  for (auto _ : state) {
    ns.clear();
    blocked = 0;
    for (std::size_t i = 0; i < d.requests.size(); ++i) {
      const auto start = std::chrono::steady_clock::now();
      const auto decision = engine->Match(d.requests[i].url, d.requests[i].source, d.types[i]);
      const auto end = std::chrono::steady_clock::now();
      blocked += decision.kind == velquor::lists::Decision::kBlock;
      ns.push_back(std::chrono::duration<double, std::nano>(end - start).count());
    }
  }
  std::sort(ns.begin(), ns.end());
  state.counters["requests"] = static_cast<double>(d.requests.size());
  state.counters["blocked"] = static_cast<double>(blocked);
  state.counters["median_us"] = ns[ns.size() / 2] / 1000.0;
  state.counters["p99_us"] = ns[ns.size() * 99 / 100] / 1000.0;
  state.counters["max_us"] = ns.back() / 1000.0;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * d.requests.size()));
}
BENCHMARK(BM_Decision)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--write-requests") != 0) continue;
    std::ofstream out(argv[i + 1], std::ios::binary);
    for (const auto& r : TheData().requests)
      out << r.url << '\t' << r.source << '\t' << r.type << '\n';
    std::printf("%zu requests written to %s\n", TheData().requests.size(), argv[i + 1]);
    return out ? 0 : 2;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
