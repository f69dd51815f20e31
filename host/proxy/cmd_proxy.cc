// velquor proxy: a local filtering HTTP proxy for any browser.
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "cli.h"
#include "commands.h"
#include "platform/registry.h"
#include "proxy/listener.h"
#include "proxy/proxy_server.h"
#include "proxy/serve_command.h"
#include "settings/store.h"

namespace velquor::host {
namespace {

constexpr char kUsage[] =
    "usage: velquor proxy [--listen ADDR:PORT] [--library PATH] [--threads N]\n"
    "                     [--max-connections N] [--idle-timeout S]\n"
    "                     [--connect-timeout S] [--response-timeout S]\n"
    "                     [--inspect-https] [--extra-ca FILE] [--handshake-timeout S]\n"
    "       velquor proxy ca [--renew]\n"
    "\n"
    "Runs a filtering HTTP proxy. Point a browser at it (HTTP proxy ADDR:PORT):\n"
    "every HTML page passes through the filter library as a browser's\n"
    "URL-loading layer would pass it; everything else, pages of exempted hosts\n"
    "(see 'velquor exempt') and HTTPS (tunnelled with CONNECT) pass unchanged.\n"
    "http://velquor.invalid/ through the proxy shows its status page.\n"
    "\n"
    "The filter lists of the profile (see 'velquor lists') block the requests\n"
    "they match, before they reach the site, and hide page elements; a list\n"
    "added, updated or removed takes effect while the proxy runs. Exempted\n"
    "hosts are neither blocked nor hidden in. Without HTTPS inspection only a\n"
    "CONNECT to a host that the lists block whole is refused.\n"
    "\n"
    "With --inspect-https (or the setting InspectHttps set to 1) HTTPS pages are\n"
    "filtered too: the proxy answers the browser with certificates from a local\n"
    "CA, which the browser must trust (see 'velquor proxy ca'), and checks each\n"
    "site's own certificate itself. A site whose certificate fails the check\n"
    "gets an error page (502), never a silent connection.\n"
    "\n"
    "  --listen ADDR:PORT     address to listen on (default 127.0.0.1:8377; port\n"
    "                         0 picks a free one). ADDR is an IP address or a\n"
    "                         name of this machine's loopback (localhost);\n"
    "                         anything but a loopback address opens the proxy\n"
    "                         to other machines.\n"
    "  --library PATH         the filter library to load (default: the one\n"
    "                         registered for text/html, else the one installed\n"
    "                         with velquor)\n"
    "  --threads N            threads serving connections, 1 to 256 (default 2)\n"
    "  --max-connections N    open connections at most; more are answered 503\n"
    "                         (default: as many as the open-file limit allows,\n"
    "                         two descriptors each, at most 4096; the proxy\n"
    "                         raises that limit to the hard limit at start)\n"
    "  --idle-timeout S       close a client connection or tunnel silent for S\n"
    "                         seconds (default 60)\n"
    "  --connect-timeout S    give up reaching an origin after S seconds: 504\n"
    "                         (default 10)\n"
    "  --response-timeout S   give up on an origin silent for S seconds: 504, or\n"
    "                         a cut response once it has begun (default 60)\n"
    "  --inspect-https        filter HTTPS pages through the local CA (made in the\n"
    "                         profile directory on first use)\n"
    "  --extra-ca FILE        with --inspect-https, also trust the CA certificates\n"
    "                         in FILE (PEM) for sites' certificates, beside the\n"
    "                         system's\n"
    "  --handshake-timeout S  give up a TLS handshake, with the browser or a\n"
    "                         site, after S seconds (default 10)\n"
    "\n"
    "velquor proxy ca prints the local CA certificate's path and how to trust\n"
    "it, making the CA when there is none; --renew replaces it with a new one.\n"
    "\n"
    "Stops on SIGINT or SIGTERM: open responses get 5 s to finish.\n"
    "Exit status: 0 after a stop, 1 for a usage error, 2 when the library cannot\n"
    "be loaded, the address cannot be used, or the CA or --extra-ca file cannot\n"
    "be read or made.\n";

int RunCa(int argc, char** argv) {
  bool renew = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--renew") == 0) {
      renew = true;
    } else {
      PrintError("proxy ca: unknown argument '%s' (try 'velquor proxy --help')", argv[i]);
      return 1;
    }
  }
  const std::string profile = ProfileDirectory();
  std::string error;
  std::unique_ptr<LocalCa> ca = LocalCa::Open(profile, renew, &error);
  if (!ca) {
    PrintError("proxy ca: %s", error.c_str());
    return 2;
  }
  const std::string pem = ca->cert_path();
  const char* p = pem.c_str();
  std::printf(
      "%s\n"
      "%s%s\n"
      "\n"
      "Trusting this CA lets velquor proxy --inspect-https read, filter and pass\n"
      "on your HTTPS pages: to the browser it stands in for every site. Whoever\n"
      "gets its private key (%s, readable by you only) could do the same\n"
      "to that browser for any site, so keep it private. The proxy checks each\n"
      "site's real certificate itself; remove the trust when you stop using it.\n"
      "\n"
      "Chromium, Chrome and other programs using your NSS database (certutil is\n"
      "in the Debian package libnss3-tools; the first two lines make the database\n"
      "when the browser has not made it yet), then restart the browser:\n"
      "  mkdir -p $HOME/.pki/nssdb\n"
      "  [ -e $HOME/.pki/nssdb/cert9.db ] || certutil -d sql:$HOME/.pki/nssdb -N --empty-password\n"
      "  certutil -d sql:$HOME/.pki/nssdb -A -t C,, -n velquor -i %s\n"
      "Firefox (once per profile, or Settings > Privacy & Security > Certificates\n"
      "> View Certificates > Authorities > Import):\n"
      "  certutil -d sql:$HOME/.mozilla/firefox/PROFILE -A -t C,, -n velquor -i %s\n"
      "The system store (curl, wget and most other programs), as root:\n"
      "  cp %s /usr/local/share/ca-certificates/velquor-ca.crt && update-ca-certificates\n"
      "To remove the trust:\n"
      "  certutil -d sql:$HOME/.pki/nssdb -D -n velquor\n"
      "  rm /usr/local/share/ca-certificates/velquor-ca.crt && update-ca-certificates --fresh\n",
      p, renew ? "new: " : "", ca->Describe().c_str(), CaKeyPath(profile).c_str(), p, p, p);
  if (renew) {
    std::printf(
        "\nThe old CA is gone: remove its trust (above) and trust this one; a running\n"
        "proxy uses the new one after a restart.\n");
  }
  return 0;
}

}  // namespace

int RunProxy(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "ca") == 0) return RunCa(argc - 1, argv + 1);
  ProxyOptions options;
  std::string library;
  bool inspect = ReadSetting(kInspectHttps) != 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--inspect-https") {
      inspect = true;
      continue;
    }
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    std::string value;
    const bool takes_value = name == "--listen" || name == "--library" || name == "--threads" ||
                             name == "--max-connections" || name == "--idle-timeout" ||
                             name == "--connect-timeout" || name == "--response-timeout" ||
                             name == "--extra-ca" || name == "--handshake-timeout";
    if (!takes_value) {
      PrintError("proxy: unknown argument '%s' (try 'velquor proxy --help')", arg.c_str());
      return 1;
    }
    if (!OptionValue("proxy", argc, argv, &i, &value)) return 1;
    const OptionResult common = TakeServeOption("proxy", name, value, &options, &library);
    if (common == OptionResult::kBad) return 1;
    if (common == OptionResult::kTaken) continue;
    uint32_t n = 0;
    if (name == "--extra-ca") {
      if (value.empty()) {
        PrintError("proxy: --extra-ca needs a file");
        return 1;
      }
      options.extra_ca = value;
    } else {
      if (!ParseUint32(value, &n) || n == 0 || n > 86400) {
        PrintError("proxy: %s must be a number of seconds from 1 to 86400, not '%s'", name.c_str(),
                   value.c_str());
        return 1;
      }
      const std::chrono::seconds seconds(n);
      if (name == "--connect-timeout") options.connect_timeout = seconds;
      if (name == "--response-timeout") options.response_timeout = seconds;
      if (name == "--handshake-timeout") options.handshake_timeout = seconds;
    }
  }

  if (!options.extra_ca.empty() && !inspect) {
    PrintError(
        "proxy: warning: --extra-ca %s does nothing without --inspect-https: without "
        "inspection the browser checks the sites' certificates itself",
        options.extra_ca.c_str());
  }
  std::string error;
  // Checked before anything is made, so that a mistyped file leaves no new CA
  // behind.
  if (inspect && !options.extra_ca.empty() && !CheckCaFile(options.extra_ca, &error)) {
    PrintError("proxy: --extra-ca %s", error.c_str());
    return 2;
  }
  std::unique_ptr<FilterLibrary> filter = OpenFilterLibrary(library, "proxy");
  if (!filter) return 2;
  options.library_path = filter->path;
  options.lists_dir = ProfileDirectory() + "/lists";
  if (inspect) {
    std::unique_ptr<LocalCa> ca = LocalCa::Open(ProfileDirectory(), false, &error);
    if (!ca) {
      PrintError("proxy: %s", error.c_str());
      return 2;
    }
    std::fprintf(stderr, "velquor: proxy: inspecting HTTPS with the CA in %s\n",
                 ca->cert_path().c_str());
    options.ca = std::move(ca);
  }
  return ListenAndServe<ProxyServer>(
      "proxy", options, *filter, [&options](const ProxyServer& server) {
        if (!IsLoopback(options.host)) {
          PrintError(
              "proxy: warning: listening on %s, not a loopback address: anyone who can "
              "reach it can use this proxy",
              options.host.c_str());
        }
        const std::size_t files = server.open_file_limit();
        const std::size_t most = proxy::ConnectionsFor(files, 2);
        if (server.max_connections() > most && 2 * server.max_connections() > files) {
          PrintError(
              "proxy: warning: %zu connections need about %zu open files, more than the limit "
              "of %zu: beyond %zu at once they may be answered 503 (raise the limit with "
              "ulimit -n)",
              server.max_connections(), 2 * server.max_connections(), files, most);
        }
      });
}

}  // namespace velquor::host
