// velquor exempt: the hosts whose pages the proxy never filters.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "commands.h"
#include "proxy/exceptions.h"

namespace velquor::host {
namespace {

constexpr char kUsage[] =
    "usage: velquor exempt add HOST...\n"
    "       velquor exempt remove HOST...\n"
    "       velquor exempt list\n"
    "\n"
    "Pages of an exempted host pass the proxy unchanged and are not counted.\n"
    "A host name covers its subdomains too (example.com covers\n"
    "www.example.com); an IP address covers only itself. A running proxy sees\n"
    "a change at its next request. The list is the setting Exceptions.\n";

}  // namespace

int RunExempt(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "list" && argc == 2) {
    for (const std::string& e : ReadExceptions()) std::printf("%s\n", e.c_str());
    return 0;
  }
  if ((verb != "add" && verb != "remove") || argc < 3) {
    PrintError(
        "exempt: expected 'add HOST...', 'remove HOST...' or 'list' "
        "(try 'velquor exempt --help')");
    return 1;
  }
  std::vector<std::string> list = ReadExceptions();
  int status = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string host = NormalizeHost(argv[i]);
    if (host.empty()) {
      PrintError("exempt: '%s' is not a host name or IP address", argv[i]);
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
  if (!WriteExceptions(list, &error)) {
    PrintError("exempt: cannot store the list: %s", error.c_str());
    return 2;
  }
  return status;
}

}  // namespace velquor::host
