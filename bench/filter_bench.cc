// Whole pages through the real filter object, as the browser drives it: the
// benchmark loads libvelquor.so with dlopen, asks its class object for one
// filter object per page, starts it on an inner protocol that serves a
// generated page from memory, and pulls the page through with reads of 512,
// 8192 or 65536 bytes. The store is real, in a fresh temporary profile
// (VELQUOR_HOME) holding only what the filter writes: default settings,
// built-in rules. Beside each page, memchr over the same bytes.
//
// Arguments: family (0 portal, 1 document, 2 plain, 3 applets), page size in
// bytes, read size.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "corpus.h"
#include "inner_protocol.h"
#include "platform/registry.h"
#include "platform/testing_profile.h"
#include "velquor/velquor.h"

namespace velquor::bench {
namespace {

IClassFactory* g_factory = nullptr;

const std::string& Page(PageFamily family, std::size_t bytes) {
  static std::map<std::pair<int, std::size_t>, std::string> pages;
  std::string& page = pages[{static_cast<int>(family), bytes}];
  if (page.empty()) page = MakeCorpusPage(family, bytes, 1);
  return page;
}

void BM_FilterPage(benchmark::State& state) {
  const auto family = static_cast<PageFamily>(state.range(0));
  const std::string& page = Page(family, static_cast<std::size_t>(state.range(1)));
  const auto read_size = static_cast<ULONG>(state.range(2));
  std::size_t out_bytes = 0;
  for (auto _ : state) {
    IInternetProtocol* filter = nullptr;
    if (FAILED(g_factory->CreateInstance(nullptr, IID_IInternetProtocol,
                                         reinterpret_cast<void**>(&filter)))) {
      state.SkipWithError("CreateInstance failed");
      return;
    }
    host::MemoryProtocol inner(page);
    out_bytes = 0;
    const HRESULT hr = host::PullPage(*filter, inner, read_size,
                                      [&](const char*, std::size_t n) { out_bytes += n; });
    filter->Release();
    if (FAILED(hr)) {
      state.SkipWithError("the page did not go through");
      return;
    }
  }
  state.SetLabel(PageFamilyName(family));
  state.counters["out_ratio"] = static_cast<double>(out_bytes) / static_cast<double>(page.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
}

void FilterPageArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"family", "bytes", "read"});
  for (int family = 0; family < 4; ++family) {
    for (int64_t bytes : {10 << 10, 1 << 20, 10 << 20}) {
      for (int64_t read : {512, 8192, 65536}) b->Args({family, bytes, read});
    }
  }
  // The largest pages, at the browser's usual read size only.
  b->Args({0, 100 << 20, 8192});
  b->Args({2, 100 << 20, 8192});
}
BENCHMARK(BM_FilterPage)->Apply(FilterPageArgs)->Unit(benchmark::kMillisecond);

// The machine's limit for the same bytes, to read each figure above
// against: memchr finding every '<' of the page, a read's worth at a time.
void BM_MemchrAngles(benchmark::State& state) {
  const auto family = static_cast<PageFamily>(state.range(0));
  const std::string& page = Page(family, static_cast<std::size_t>(state.range(1)));
  const auto read_size = static_cast<std::size_t>(state.range(2));
  for (auto _ : state) {
    std::size_t angles = 0;
    for (std::size_t pos = 0; pos < page.size(); pos += read_size) {
      const char* p = page.data() + pos;
      const char* end = p + std::min(read_size, page.size() - pos);
      while ((p = static_cast<const char*>(std::memchr(p, '<', end - p))) != nullptr) {
        ++angles;
        ++p;
      }
    }
    benchmark::DoNotOptimize(angles);
  }
  state.SetLabel(PageFamilyName(family));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_MemchrAngles)->Apply(FilterPageArgs)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velquor::bench

int main(int argc, char** argv) {
  velquor::TempProfile profile;
  if (!profile.Create()) return 2;
  void* library = dlopen(VELQUOR_LIB, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "filter_bench: %s\n", dlerror());
    return 2;
  }
  auto get_class_object =
      reinterpret_cast<DllGetClassObjectFn>(dlsym(library, "DllGetClassObject"));
  if (get_class_object == nullptr ||
      FAILED(get_class_object(CLSID_IENubrix, IID_IClassFactory,
                              reinterpret_cast<void**>(&velquor::bench::g_factory)))) {
    std::fprintf(stderr, "filter_bench: %s: no class object\n", VELQUOR_LIB);
    return 2;
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  velquor::bench::g_factory->Release();
  dlclose(library);
  profile.Remove();
  return 0;
}
