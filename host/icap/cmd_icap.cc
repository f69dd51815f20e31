// velquor icap: the filter as an ICAP service for Squid and other caching
// proxies.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "commands.h"
#include "icap/icap_server.h"
#include "library_loader.h"

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
    "Requests sent to icap://ADDR:PORT/reqmod pass unchanged (204) for now.\n"
    "The service keeps no state between messages: run as many as you like.\n"
    "\n"
    "  --listen ADDR:PORT     address to listen on (default 127.0.0.1:1344; port\n"
    "                         0 picks a free one)\n"
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

bool ParseAddress(const std::string& text, IcapOptions* options) {
  std::string host;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  uint32_t n = 0;
  unsigned char buf[16];
  if (!ParseUint32(port, &n) || n > 65535) return false;
  if (inet_pton(AF_INET, host.c_str(), buf) != 1 && inet_pton(AF_INET6, host.c_str(), buf) != 1) {
    return false;
  }
  options->host = host;
  options->port = static_cast<uint16_t>(n);
  return true;
}

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
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      PrintError("icap: %s needs a value", name.c_str());
      return 1;
    }
    uint32_t n = 0;
    if (name == "--listen") {
      if (!ParseAddress(value, &options)) {
        PrintError(
            "icap: --listen must be ADDR:PORT with an IP address and a port 0 to 65535, not '%s'",
            value.c_str());
        return 1;
      }
    } else if (name == "--library") {
      if (value.empty()) {
        PrintError("icap: --library needs a path");
        return 1;
      }
      library = value;
    } else if (name == "--threads") {
      if (!ParseUint32(value, &n) || n == 0 || n > 256) {
        PrintError("icap: --threads must be a number from 1 to 256, not '%s'", value.c_str());
        return 1;
      }
      options.threads = n;
    } else if (name == "--max-connections") {
      if (!ParseUint32(value, &n) || n == 0 || n > 1000000) {
        PrintError("icap: --max-connections must be a number from 1 to 1000000, not '%s'",
                   value.c_str());
        return 1;
      }
      options.max_connections = n;
    } else {
      if (!ParseUint32(value, &n) || n == 0 || n > 86400) {
        PrintError("icap: --idle-timeout must be a number of seconds from 1 to 86400, not '%s'",
                   value.c_str());
        return 1;
      }
      options.idle_timeout = std::chrono::seconds(n);
    }
  }

  LibraryChoice choice;
  std::string error;
  if (!FindLibrary(library, true, &choice, &error)) {
    PrintError("icap: %s", error.c_str());
    return 2;
  }
  std::unique_ptr<LoadedLibrary> loaded = LoadedLibrary::Open(choice.path, &error);
  if (!loaded) {
    PrintError("icap: %s", error.c_str());
    return 2;
  }
  IClassFactory* factory = nullptr;
  if (HRESULT hr = loaded->GetClassFactory(choice.clsid, &factory); FAILED(hr)) {
    PrintError("icap: %s: no class object for the filter class (%s)", choice.path.c_str(),
               FormatResult(hr).c_str());
    return 2;
  }
  options.library_path = choice.path;
  int status = 0;
  {
    IcapServer server(options, factory);
    if (!server.Listen(&error)) {
      PrintError("icap: %s", error.c_str());
      status = 2;
    } else {
      const bool v6 = options.host.find(':') != std::string::npos;
      std::fprintf(stderr, "velquor: icap: listening on %s%s%s:%u with %s\n", v6 ? "[" : "",
                   options.host.c_str(), v6 ? "]" : "", server.port(), choice.path.c_str());
      std::fflush(stderr);
      server.Run();
      std::fprintf(stderr, "velquor: icap: stopped\n");
    }
  }
  factory->Release();
  return status;
}

}  // namespace velquor::host
