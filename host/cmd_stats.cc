// `velquor stats [--reset]`: the running totals "Pages" and "Killed".
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "commands.h"
#include "platform/reg_transaction.h"
#include "platform/registry.h"
#include "settings/store.h"

namespace velquor::host {
namespace {

constexpr char kUsage[] =
    "usage: velquor stats [--reset]\n"
    "\n"
    "Shows the totals kept in the profile's store, one per line:\n"
    "  Pages: N    pages filtered\n"
    "  Killed: N   advertisements removed\n"
    "\n"
    "  --reset   set both totals to 0 first (in one step), then show them\n";

LSTATUS ResetTotals() {
  ScopedRegTransaction transaction;
  if (!transaction.owned()) return transaction.begin_status();
  HKEY key = nullptr;
  LSTATUS s = RegCreateKeyExA(HKEY_CURRENT_USER, kStatsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr);
  const BYTE zero[4] = {0, 0, 0, 0};
  for (const StoreValue* v : {&kPages, &kKilled}) {
    if (s == ERROR_SUCCESS) s = RegSetValueExA(key, v->name, 0, REG_DWORD, zero, 4);
  }
  if (key) RegCloseKey(key);
  if (s != ERROR_SUCCESS) return s;  // the scope rolls the writes back
  return transaction.Commit();
}

}  // namespace

int RunStats(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  bool reset = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reset") == 0) {
      reset = true;
    } else {
      PrintError("stats: unexpected argument '%s' (try 'velquor stats --help')", argv[i]);
      return 1;
    }
  }
  if (reset && ResetTotals() != ERROR_SUCCESS) {
    std::string problem = StoreProblem();
    PrintError("stats: cannot reset the totals: %s",
               problem.empty() ? "the store cannot be written" : problem.c_str());
    return 2;
  }
  uint32_t pages = ReadSetting(kPages);
  uint32_t killed = ReadSetting(kKilled);
  std::string problem = StoreProblem();
  if (!problem.empty()) PrintError("%s (showing 0)", problem.c_str());
  std::printf("Pages: %u\nKilled: %u\n", pages, killed);
  return 0;
}

}  // namespace velquor::host
