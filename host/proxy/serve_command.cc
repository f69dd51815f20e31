#include "proxy/serve_command.h"

#include <arpa/inet.h>
#include <netdb.h>

namespace velquor::host {

bool IsLoopback(const std::string& host) { return host.rfind("127.", 0) == 0 || host == "::1"; }

bool ParseListenAddress(const std::string& text, std::string* address, uint16_t* port_number,
                        std::string* error) {
  std::string host;
  std::string port;
  *error =
      "--listen must be ADDR:PORT with an IP address or localhost and a port 0 to 65535, "
      "not '" +
      text + "'";
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
  if (!ParseUint32(port, &n) || n > 65535 || host.empty()) return false;
  if (inet_pton(AF_INET, host.c_str(), buf) != 1 && inet_pton(AF_INET6, host.c_str(), buf) != 1) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0) {
      *error = "--listen " + text + ": cannot resolve " + host + ": " + gai_strerror(rc);
      return false;
    }
    std::string chosen;
    std::string elsewhere;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
      char name[INET6_ADDRSTRLEN] = "";
      const void* address =
          a->ai_family == AF_INET
              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
              : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
      if (inet_ntop(a->ai_family, address, name, sizeof name) == nullptr) continue;
      if (!IsLoopback(name)) {
        elsewhere = name;
      } else if (chosen.empty() ||
                 (a->ai_family == AF_INET && chosen.find(':') != std::string::npos)) {
        chosen = name;  // an IPv4 loopback first: every browser reaches it
      }
    }
    freeaddrinfo(found);
    if (!elsewhere.empty() || chosen.empty()) {
      *error = "--listen " + text + ": " + host + " resolves to " +
               (elsewhere.empty() ? std::string("no usable address") : elsewhere) +
               ", not a loopback address; to listen for other machines give that "
               "address itself";
      return false;
    }
    host = chosen;
  }
  *address = host;
  *port_number = static_cast<uint16_t>(n);
  return true;
}

bool OptionValue(const char* command, int argc, char** argv, int* i, std::string* value) {
  const std::string arg = argv[*i];
  const std::size_t eq = arg.find('=');
  if (eq != std::string::npos) {
    *value = arg.substr(eq + 1);
  } else if (*i + 1 < argc) {
    *value = argv[++*i];
  } else {
    PrintError("%s: %s needs a value", command, arg.c_str());
    return false;
  }
  return true;
}

std::unique_ptr<FilterLibrary> OpenFilterLibrary(const std::string& requested,
                                                 const char* command) {
  LibraryChoice choice;
  std::string error;
  if (!FindLibrary(requested, true, &choice, &error)) {
    PrintError("%s: %s", command, error.c_str());
    return nullptr;
  }
  auto library = std::make_unique<FilterLibrary>();
  library->loaded = ReloadingLibrary::Open(choice, &error, command);
  if (!library->loaded) {
    PrintError("%s: %s", command, error.c_str());
    return nullptr;
  }
  library->factory = library->loaded.get();
  library->path = choice.path;
  return library;
}

}  // namespace velquor::host
