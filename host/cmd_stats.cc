// `velquor stats [--reset]`: the running totals "Pages" and "Killed".
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "commands.h"
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
  return problem.empty() ? 0 : 2;
}

}  // namespace velquor::host
