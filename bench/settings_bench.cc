// The cost of reading a setting from the store, as the judges do for every
// segment: when nothing has changed since the last read (the common case),
// and right after another writer changed the store (a database read). Runs
// in a fresh temporary profile. Reported as the median of repetitions.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "settings/store.h"

namespace velquor {
namespace {

void BM_ReadSettingUnchanged(benchmark::State& state) {
  WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, "Score", 120);
  benchmark::DoNotOptimize(ReadSetting(kScore));
  for (auto _ : state) benchmark::DoNotOptimize(ReadSetting(kScore));
}
BENCHMARK(BM_ReadSettingUnchanged)->Repetitions(9)->ReportAggregatesOnly(true);

// An absent setting: the default, also answered without the database.
void BM_ReadAbsentSettingUnchanged(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ReadSetting(kAddModify));
}
BENCHMARK(BM_ReadAbsentSettingUnchanged)->Repetitions(9)->ReportAggregatesOnly(true);

void BM_ReadTextSettingUnchanged(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ReadTextSetting(kInstallDir, ""));
}
BENCHMARK(BM_ReadTextSettingUnchanged)->Repetitions(9)->ReportAggregatesOnly(true);

// A read right after a write: the cached value is stale and the read goes
// to the database.
void BM_ReadSettingAfterWrite(benchmark::State& state) {
  uint32_t value = 0;
  for (auto _ : state) {
    state.PauseTiming();
    WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, "Test", value++ & 1);
    state.ResumeTiming();
    benchmark::DoNotOptimize(ReadSetting(kTest));
  }
}
BENCHMARK(BM_ReadSettingAfterWrite)->Repetitions(5)->ReportAggregatesOnly(true);

// One counted removal's increment of "Killed".
void BM_IncrementKilled(benchmark::State& state) {
  for (auto _ : state) IncrementCounter(kKilled);
}
BENCHMARK(BM_IncrementKilled)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
}  // namespace velquor

int main(int argc, char** argv) {
  std::string home =
      (std::filesystem::temp_directory_path() / "velquor-bench-XXXXXX").string();
  if (mkdtemp(home.data()) == nullptr) return 2;
  setenv("VELQUOR_HOME", home.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  velquor::CloseRegistry();
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return 0;
}
