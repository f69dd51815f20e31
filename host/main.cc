// velquor: the command-line host of the Velquor filter. It plays the parts
// around the library: the browser's URL-loading layer (filter), the
// installation (install, register) and the configuration program (config,
// stats, reg, rules), and a filtering proxy for any browser (proxy, exempt).
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "platform/registry.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

constexpr Command kCommands[] = {
    {"filter", velquor::host::RunFilter, "filter pages through the library as a browser would"},
    {"explain", velquor::host::RunExplain, "show how each link and applet of a page is judged"},
    {"config", velquor::host::RunConfig, "list, get, set or unset settings"},
    {"stats", velquor::host::RunStats, "show or reset the Pages and Killed totals"},
    {"reg", velquor::host::RunReg, "export or import the profile's registry"},
    {"rules", velquor::host::RunRules, "check a user rules file"},
    {"install", velquor::host::RunInstall,
     "register the library and make it the filter for text/html"},
    {"uninstall", velquor::host::RunUninstall, "undo what install made"},
    {"register", velquor::host::RunRegister, "call DllRegisterServer"},
    {"unregister", velquor::host::RunUnregister, "call DllUnregisterServer"},
    {"proxy", velquor::host::RunProxy, "filter real browsing: a local HTTP proxy"},
    {"exempt", velquor::host::RunExempt, "add, remove or list hosts the proxy never filters"},
    {"lists", velquor::host::RunLists, "add, update, check or match filter lists"},
};

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: velquor <command> [options] [arguments]\n"
      "       velquor <command> --help\n\n"
      "commands:\n",
      out);
  for (const Command& c : kCommands) std::fprintf(out, "  %-11s %s\n", c.name, c.summary);
  std::fputs(
      "\nThe profile (settings, totals, registrations) lives in $VELQUOR_HOME,\n"
      "else $XDG_CONFIG_HOME/velquor, else ~/.config/velquor.\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 1;
  }
  if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0 ||
      std::strcmp(argv[1], "help") == 0) {
    PrintUsage(stdout);
    return 0;
  }
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) != 0) continue;
    const int status = c.run(argc - 1, argv + 1);
    // Closing the store writes the live totals through and checkpoints its
    // journal, so that registry.db alone holds everything once we are gone.
    velquor::CloseRegistry();
    return status;
  }
  std::fprintf(stderr, "velquor: unknown command '%s' (try 'velquor --help')\n", argv[1]);
  return 1;
}
