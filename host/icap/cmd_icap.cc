// velquor icap: the filter as an ICAP service for Squid and other caching
// proxies.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "commands.h"
#include "icap/icap_server.h"
#include "platform/registry.h"
#include "proxy/serve_command.h"

namespace velquor::host {
namespace {

constexpr char kUsage[] =
    "usage: velquor icap [--listen ADDR:PORT] [--threads N] [--library PATH]\n"
    "                    [--max-connections N] [--idle-timeout S]\n"
    "\n"
    "Runs the filter as an ICAP service (RFC 3507) for a caching proxy such as\n"
    "Squid. Responses sent to icap://ADDR:PORT/respmod are filtered: every HTML\n"
    "page passes through the filter library as in 'velquor proxy' and streams\n"
    "back as it arrives; anything else, pages of exempted hosts (see 'velquor\n"
    "exempt'), partial and bodiless responses are answered 204 (unchanged).\n"
    "Pages also get the element hiding of the filter lists (see 'velquor lists').\n"
    "Requests sent to icap://ADDR:PORT/reqmod that the filter lists block are\n"
    "answered as 'velquor proxy' answers them; others pass unchanged (204).\n"
    "The service keeps no state between messages: run as many as you like.\n"
    "A change of the user rules file applies to the pages started from a second\n"
    "after it, without a restart, and so does a change of the filter lists; both\n"
    "change the ISTag so the proxy revalidates.\n"
    "\n"
    "  --listen ADDR:PORT     address to listen on (default 127.0.0.1:1344; port\n"
    "                         0 picks a free one). ADDR is an IP address or a\n"
    "                         name of this machine's loopback (localhost)\n"
    "  --library PATH         the filter library to load (default: the one\n"
    "                         registered for text/html, else the one installed\n"
    "                         with velquor)\n"
    "  --threads N            threads serving connections, 1 to 256 (default 2)\n"
    "  --max-connections N    open connections at most; more are answered 503\n"
    "                         (default 512)\n"
    "  --idle-timeout S       close a connection silent for S seconds (default 60)\n"
    "\n"
    "Stops on SIGINT or SIGTERM: open messages get 5 s to finish.\n"
    "Exit status: 0 after a stop, 1 for a usage error, 2 when the library cannot\n"
    "be loaded or the address cannot be used.\n";

}  // namespace

int RunIcap(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  IcapOptions options;
  std::string library;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    if (name != "--listen" && name != "--library" && name != "--threads" &&
        name != "--max-connections" && name != "--idle-timeout") {
      PrintError("icap: unknown argument '%s' (try 'velquor icap --help')", arg.c_str());
      return 1;
    }
    std::string value;
    if (!OptionValue("icap", argc, argv, &i, &value) ||
        TakeServeOption("icap", name, value, &options, &library) != OptionResult::kTaken) {
      return 1;
    }
  }

  std::unique_ptr<FilterLibrary> filter = OpenFilterLibrary(library, "icap");
  if (!filter) return 2;
  options.library_path = filter->path;
  options.lists_dir = ProfileDirectory() + "/lists";
  return ListenAndServe<IcapServer>("icap", options, *filter);
}

}  // namespace velquor::host
