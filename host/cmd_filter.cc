// Placeholder until the subcommand is built.
#include "cli.h"
#include "commands.h"

namespace velquor::host {

int RunFilter(int, char**) {
  PrintError("filter: not built yet");
  return 2;
}

}  // namespace velquor::host
