// Placeholder until the subcommand is built.
#include "cli.h"
#include "commands.h"

namespace velquor::host {

int RunConfig(int, char**) {
  PrintError("config: not built yet");
  return 2;
}

}  // namespace velquor::host
