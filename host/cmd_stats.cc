// Placeholder until the subcommand is built.
#include "cli.h"
#include "commands.h"

namespace velquor::host {

int RunStats(int, char**) {
  PrintError("stats: not built yet");
  return 2;
}

}  // namespace velquor::host
