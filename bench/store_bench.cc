// Settings and totals through the real store in a temporary profile:
// a setting read when nothing has changed, a read right after another
// write (the database path), and a counter increment.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "platform/testing_profile.h"
#include "settings/store.h"

namespace {

class Profile {
 public:
  Profile() {
    profile_.Create();
    velquor::WriteStoreNumber(HKEY_CURRENT_USER, velquor::kConfigKey, "Score", 120);
  }
  ~Profile() { profile_.Remove(); }

 private:
  velquor::TempProfile profile_;
};

void BM_SettingReadUnchanged(benchmark::State& state) {
  Profile profile;
  for (auto _ : state) benchmark::DoNotOptimize(velquor::ReadSetting(velquor::kScore));
}
BENCHMARK(BM_SettingReadUnchanged);

void BM_SettingReadAbsent(benchmark::State& state) {
  Profile profile;
  for (auto _ : state) benchmark::DoNotOptimize(velquor::ReadSetting(velquor::kImages));
}
BENCHMARK(BM_SettingReadAbsent);

void BM_TextSettingReadUnchanged(benchmark::State& state) {
  Profile profile;
  for (auto _ : state) benchmark::DoNotOptimize(velquor::ReadTextSetting(velquor::kInstallDir, ""));
}
BENCHMARK(BM_TextSettingReadUnchanged);

// Every read follows a write, so it goes to the database.
void BM_SettingReadAfterWrite(benchmark::State& state) {
  Profile profile;
  uint32_t n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    velquor::WriteStoreNumber(HKEY_CURRENT_USER, velquor::kConfigKey, "Test", ++n);
    state.ResumeTiming();
    benchmark::DoNotOptimize(velquor::ReadSetting(velquor::kScore));
  }
}
BENCHMARK(BM_SettingReadAfterWrite);

void BM_CounterIncrement(benchmark::State& state) {
  Profile profile;
  for (auto _ : state) velquor::IncrementCounter(velquor::kKilled);
}
BENCHMARK(BM_CounterIncrement);

// Every value of one key of N values, in index order, as `reg export` reads
// them: the time per value should not grow with N.
void BM_EnumerateValues(benchmark::State& state) {
  Profile profile;
  const DWORD count = static_cast<DWORD>(state.range(0));
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Many", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  nullptr);
  velquor::RegBeginTransaction();
  for (DWORD i = 0; i < count; ++i) {
    const std::string name = "value" + std::to_string(i);
    RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4);
  }
  velquor::RegCommitTransaction();
  for (auto _ : state) {
    char name[32];
    for (DWORD i = 0;; ++i) {
      DWORD size = sizeof name;
      if (RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
    }
  }
  state.SetItemsProcessed(state.iterations() * count);
  RegCloseKey(key);
}
BENCHMARK(BM_EnumerateValues)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
