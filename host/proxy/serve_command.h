// What the commands that serve the filter over the network (velquor proxy,
// velquor icap) share: their --listen address and the filter library they
// load once and hand to every connection.
#ifndef VELQUOR_HOST_PROXY_SERVE_COMMAND_H_
#define VELQUOR_HOST_PROXY_SERVE_COMMAND_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "cli.h"
#include "library_loader.h"
#include "proxy/library_reloader.h"
#include "rules_file.h"
#include "velquor/velquor.h"

namespace velquor::host {

bool IsLoopback(const std::string& host);

// Parses "ADDR:PORT" ("[ADDR]:PORT" for IPv6), the port 0 to 65535. ADDR is
// an IP address, or a host name that resolves to loopback addresses only
// (such as localhost): listening for other machines takes an address written
// out. False (nothing set) with *error.
bool ParseListenAddress(const std::string& text, std::string* host, uint16_t* port,
                        std::string* error);

// The value of the option argv[*i]: after '=' in "--name=value", else the
// next argument (advancing *i). False after printing, prefixed with
// `command`, that the value is missing.
bool OptionValue(const char* command, int argc, char** argv, int* i, std::string* value);

enum class OptionResult { kTaken, kOther, kBad };

// Takes the option `name` with its `value` when it is one that every serving
// command has: --listen, --library (into *library), --threads,
// --max-connections, --idle-timeout. kOther for any other name; kBad after
// printing, prefixed with `command`, what is wrong with the value.
template <class Options>
OptionResult TakeServeOption(const char* command, const std::string& name, const std::string& value,
                             Options* options, std::string* library) {
  uint32_t n = 0;
  std::string problem;
  if (name == "--listen") {
    if (ParseListenAddress(value, &options->host, &options->port, &problem)) {
      return OptionResult::kTaken;
    }
    PrintError("%s: %s", command, problem.c_str());
  } else if (name == "--library") {
    if (!value.empty()) {
      *library = value;
      return OptionResult::kTaken;
    }
    PrintError("%s: --library needs a path", command);
  } else if (name == "--threads") {
    if (ParseUint32(value, &n) && n >= 1 && n <= 256) {
      options->threads = n;
      return OptionResult::kTaken;
    }
    PrintError("%s: --threads must be a number from 1 to 256, not '%s'", command, value.c_str());
  } else if (name == "--max-connections") {
    if (ParseUint32(value, &n) && n >= 1 && n <= 1000000) {
      options->max_connections = n;
      return OptionResult::kTaken;
    }
    PrintError("%s: --max-connections must be a number from 1 to 1000000, not '%s'", command,
               value.c_str());
  } else if (name == "--idle-timeout") {
    if (ParseUint32(value, &n) && n >= 1 && n <= 86400) {
      options->idle_timeout = std::chrono::seconds(n);
      return OptionResult::kTaken;
    }
    PrintError("%s: --idle-timeout must be a number of seconds from 1 to 86400, not '%s'", command,
               value.c_str());
  } else {
    return OptionResult::kOther;
  }
  return OptionResult::kBad;
}

// The filter library, loaded afresh when the user rules file changes (see
// library_reloader.h), and its class object.
struct FilterLibrary {
  std::unique_ptr<ReloadingLibrary> loaded;
  IClassFactory* factory = nullptr;  // `loaded` itself
  std::string path;
};

// Finds the library (`requested` when not empty, else the registered filter
// or the one installed with the program), loads it and gets its class
// object. Null after printing why, prefixed with `command`.
std::unique_ptr<FilterLibrary> OpenFilterLibrary(const std::string& requested, const char* command);

// Makes a `Server` from `options` and `library`'s class object, binds it and
// serves until SIGINT or SIGTERM, logging, prefixed with `command`, the user
// rules in use, where it listens and when it stopped; `on_listening` runs
// once it is bound, to warn of what is amiss with it. The exit status: 0 after a stop, 2 when it
// cannot listen.
template <class Server, class Options>
int ListenAndServe(const char* command, const Options& options, const FilterLibrary& library,
                   const std::function<void(const Server&)>& on_listening = {}) {
  // Read here, before any connection can start a page (and so a reload,
  // which reads the rules through the same lists of this program).
  const std::string user_rules = DescribeUserRules();
  Server server(options, library.factory);
  std::string error;
  if (!server.Listen(&error)) {
    PrintError("%s: %s", command, error.c_str());
    return 2;
  }
  if (on_listening) on_listening(server);
  // Before the line that tells that the server is ready.
  std::fprintf(stderr,
               "velquor: %s: user rules: %s (a change applies to the pages started from %lld s "
               "after it)\n",
               command, user_rules.c_str(),
               static_cast<long long>(ReloadingLibrary::kCheckInterval.count()));
  const bool v6 = options.host.find(':') != std::string::npos;
  std::fprintf(stderr, "velquor: %s: listening on %s%s%s:%u with %s\n", command, v6 ? "[" : "",
               options.host.c_str(), v6 ? "]" : "", server.port(), library.path.c_str());
  std::fflush(stderr);
  server.Run();
  std::fprintf(stderr, "velquor: %s: stopped\n", command);
  return 0;
}

}  // namespace velquor::host

#endif  // VELQUOR_HOST_PROXY_SERVE_COMMAND_H_
