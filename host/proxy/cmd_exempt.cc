// velquor exempt: the hosts whose pages the proxy never filters.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "proxy/exceptions.h"

namespace velquor::host {
namespace {

constexpr char kUsage[] =
    "usage: velquor exempt [--tunnel] add HOST...\n"
    "       velquor exempt [--tunnel] remove HOST...\n"
    "       velquor exempt [--tunnel] list\n"
    "(--tunnel may also follow the verb: velquor exempt add --tunnel HOST)\n"
    "\n"
    "Pages of an exempted host pass the proxy unchanged and are not counted;\n"
    "its HTTPS is tunnelled without inspection. A host name covers its\n"
    "subdomains too (example.com covers www.example.com); an IP address covers\n"
    "only itself. A running proxy sees a change at its next request. The list\n"
    "is the setting Exceptions.\n"
    "\n"
    "  --tunnel   act on the second list, TunnelHosts: hosts whose HTTPS is\n"
    "             tunnelled without inspection (a program that accepts only the\n"
    "             site's own certificate) while their plain HTTP pages are still\n"
    "             filtered\n";

}  // namespace

int RunExempt(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // --tunnel may stand anywhere: before the verb as the usage shows it, or
  // after it as people tend to type it.
  bool tunnel = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::strcmp(argv[i], "--tunnel") == 0) {
      tunnel = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  argc = static_cast<int>(args.size());
  argv = args.data();
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "list" && argc == 2) {
    const std::vector<std::string> list = tunnel ? ReadTunnelHosts() : ReadExceptions();
    if (list.empty()) std::printf("%s\n", tunnel ? "no tunnelled hosts" : "no exemptions");
    for (const std::string& e : list) std::printf("%s\n", e.c_str());
    return 0;
  }
  if ((verb != "add" && verb != "remove") || argc < 3) {
    PrintError(
        "exempt: expected 'add HOST...', 'remove HOST...' or 'list' "
        "(try 'velquor exempt --help')");
    return 1;
  }
  std::vector<std::string> list = tunnel ? ReadTunnelHosts() : ReadExceptions();
  int status = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string host = NormalizeHost(argv[i]);
    if (host.empty()) {
      PrintError("exempt: %s", HostProblem(argv[i]).c_str());
      return 1;
    }
    const auto it = std::find(list.begin(), list.end(), host);
    if (verb == "add") {
      if (it == list.end()) list.push_back(host);
    } else if (it == list.end()) {
      PrintError("exempt: %s is not in the list", host.c_str());
      status = 1;
    } else {
      list.erase(it);
    }
  }
  std::string error;
  if (!(tunnel ? WriteTunnelHosts(list, &error) : WriteExceptions(list, &error))) {
    PrintError("exempt: cannot store the list: %s", error.c_str());
    return 2;
  }
  return status;
}

}  // namespace velquor::host
