// Page scanner throughput on generated pages, with judges that keep every
// segment, so the figures measure cutting and joining alone. Runs in a
// temporary profile so the footer settings never touch a real one.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <random>
#include <string>

#include "engine/page_scanner.h"
#include "platform/testing_profile.h"

namespace {

std::string Keep(const std::string& segment, int32_t&, int32_t&) { return segment; }
constexpr velquor::SegmentJudges kKeep{Keep, Keep};

// A page of about `size` bytes: paragraphs of text with links every
// `link_every` bytes on average and an applet now and then, ending in
// "</HTML>".
std::string GeneratePage(std::size_t size, std::size_t link_every) {
  std::mt19937 random(42);
  std::string page = "<HTML><HEAD><TITLE>Generated</TITLE></HEAD><BODY>\n";
  const char* words[] = {"news ", "weather ", "the ", "market ", "today ", "and ", "more ", "\n"};
  std::size_t next_link = link_every;
  int links = 0;
  while (page.size() < size) {
    page += words[random() % 8];
    if (page.size() >= next_link) {
      if (++links % 10 == 0) {
        page += "<APPLET CODE=\"Ticker.class\" WIDTH=468 HEIGHT=60><PARAM NAME=x VALUE=1></APPLET>";
      } else {
        page += "<a href=\"https://example.org/page" + std::to_string(links) +
                ".html\"><img src=\"pic.gif\" width=88 height=31>Link text</a>";
      }
      next_link = page.size() + link_every / 2 + random() % link_every;
    }
  }
  page += "</BODY></HTML>\n";
  return page;
}

void BM_ScanWholePage(benchmark::State& state) {
  const std::string page = GeneratePage(static_cast<std::size_t>(state.range(0)),
                                        static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) {
    int32_t modified = 0, removed = 0, carry = -1;
    bool footers_given = false;
    std::string out =
        velquor::ScanChunk(page, true, modified, removed, footers_given, carry, kKeep);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_ScanWholePage)
    ->ArgNames({"bytes", "link_every"})
    ->Args({64 << 10, 400})
    ->Args({1 << 20, 400})
    ->Args({1 << 20, 60})
    ->Args({1 << 20, 1 << 30});

// The page as the filter stream feeds it: reads of 8192 bytes with the
// held-back tail in front of each.
void BM_ScanInReads(benchmark::State& state) {
  const std::string page = GeneratePage(1 << 20, 400);
  const std::size_t read_size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    int32_t modified = 0, removed = 0;
    bool footers_given = false;
    std::string held;
    std::size_t total = 0;
    for (std::size_t pos = 0; pos < page.size(); pos += read_size) {
      int32_t carry = -1;
      const bool last = pos + read_size >= page.size();
      std::string out = velquor::ScanChunk(held + page.substr(pos, read_size), last, modified,
                                           removed, footers_given, carry, kKeep);
      if (carry >= 0) {
        held = out.substr(static_cast<std::size_t>(carry));
        out.resize(static_cast<std::size_t>(carry));
      } else {
        held.clear();
      }
      total += out.size();
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_ScanInReads)->ArgName("read_size")->Arg(8192)->Arg(512);

}  // namespace

int main(int argc, char** argv) {
  velquor::TempProfile profile;
  if (!profile.Create()) return 2;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  profile.Remove();
  return 0;
}
