// Cost of the size score and of the keyword score per judged segment, with
// the built-in rules alone and with 1000 user rules in each list; the plain
// scanning implementation is measured beside the matcher for comparison.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "engine/scores.h"
#include "rules/keyword_rules.h"
#include "text/text_helpers.h"

namespace {

const std::string& Segment() {
  static const std::string segment = velquor::JudgedCopy(
      "<a href=\"http://ads.example.com/click?adid=1234&redirect=/promo/\">"
      "<img src=\"/images/banners/spring_sale_468x60.gif\" width=468 "
      "height=60 border=0 alt=\"Free banner exchange - join our member "
      "network today\"></a>");
  return segment;
}

void UseBuiltInRules() {
  velquor::PresenceRules().clear();
  velquor::OccurrenceRules().clear();
  velquor::AddBuiltInRules();
}

// 1000 user keywords in each list, in the style of a long rules file:
// domain fragments and words, some sharing prefixes with the built-ins.
void UseThousandUserRules() {
  velquor::PresenceRules().clear();
  velquor::OccurrenceRules().clear();
  std::mt19937 random(42);
  const char* stems[] = {"AD",      "BANNER",   "TRACK",   "CLICK", "PROMO",
                         "SPONSOR", "CAMPAIGN", "COUNTER", "STAT",  "POP"};
  for (int i = 0; i < 1000; ++i) {
    std::string word = stems[random() % 10];
    word += std::to_string(random() % 100000);
    velquor::PresenceRules().append(word + ".", 10);
    velquor::OccurrenceRules().append("/" + word, 5);
  }
  velquor::AddBuiltInRules();  // no room left; kept for the real order
}

void BM_KeywordScoreBuiltIns(benchmark::State& state) {
  UseBuiltInRules();
  for (auto _ : state) benchmark::DoNotOptimize(velquor::KeywordScore(Segment()));
  state.SetBytesProcessed(state.iterations() * Segment().size());
}
BENCHMARK(BM_KeywordScoreBuiltIns);

void BM_KeywordScoreThousandUserRules(benchmark::State& state) {
  UseThousandUserRules();
  for (auto _ : state) benchmark::DoNotOptimize(velquor::KeywordScore(Segment()));
  state.SetBytesProcessed(state.iterations() * Segment().size());
}
BENCHMARK(BM_KeywordScoreThousandUserRules);

void BM_KeywordScoreByScanningBuiltIns(benchmark::State& state) {
  UseBuiltInRules();
  for (auto _ : state) {
    benchmark::DoNotOptimize(velquor::KeywordScoreByScanning(Segment(), nullptr));
  }
}
BENCHMARK(BM_KeywordScoreByScanningBuiltIns);

void BM_KeywordScoreByScanningThousandUserRules(benchmark::State& state) {
  UseThousandUserRules();
  for (auto _ : state) {
    benchmark::DoNotOptimize(velquor::KeywordScoreByScanning(Segment(), nullptr));
  }
}
BENCHMARK(BM_KeywordScoreByScanningThousandUserRules);

void BM_SizeScore(benchmark::State& state) {
  int32_t width = 400;
  int32_t height = 20;
  for (auto _ : state) {
    benchmark::DoNotOptimize(velquor::SizeScore(width, height));
    width = width == 500 ? 400 : width + 1;
    height = height == 80 ? 20 : height + 1;
  }
}
BENCHMARK(BM_SizeScore);

}  // namespace

BENCHMARK_MAIN();
