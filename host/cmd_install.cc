// Placeholder until the installer subcommands are built.
#include "cli.h"
#include "commands.h"

namespace velquor::host {

int RunInstall(int, char**) { PrintError("install: not built yet"); return 2; }
int RunUninstall(int, char**) { PrintError("uninstall: not built yet"); return 2; }
int RunRegister(int, char**) { PrintError("register: not built yet"); return 2; }
int RunUnregister(int, char**) { PrintError("unregister: not built yet"); return 2; }

}  // namespace velquor::host
