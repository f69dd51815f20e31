// Placeholder until the subcommand is built.
#include "cli.h"
#include "commands.h"

namespace velquor::host {

int RunReg(int, char**) {
  PrintError("reg: not built yet");
  return 2;
}

}  // namespace velquor::host
