// Placeholder until the subcommand is built.
#include "cli.h"
#include "commands.h"

namespace velquor::host {

int RunExplain(int, char**) {
  PrintError("explain: not built yet");
  return 2;
}

}  // namespace velquor::host
