// Placeholder until the subcommand is built.
#include "cli.h"
#include "commands.h"

namespace velquor::host {

int RunRules(int, char**) {
  PrintError("rules: not built yet");
  return 2;
}

}  // namespace velquor::host
