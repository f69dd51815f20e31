#include "proxy/serve_command.h"

#include <arpa/inet.h>

namespace velquor::host {

bool ParseListenAddress(const std::string& text, std::string* host, uint16_t* port) {
  std::string address;
  std::string digits;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    address = text.substr(1, close - 1);
    digits = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    address = text.substr(0, colon);
    digits = text.substr(colon + 1);
  }
  uint32_t n = 0;
  unsigned char buf[16];
  if (!ParseUint32(digits, &n) || n > 65535) return false;
  if (inet_pton(AF_INET, address.c_str(), buf) != 1 &&
      inet_pton(AF_INET6, address.c_str(), buf) != 1) {
    return false;
  }
  *host = address;
  *port = static_cast<uint16_t>(n);
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

FilterLibrary::~FilterLibrary() {
  if (factory != nullptr) factory->Release();
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
  library->loaded = LoadedLibrary::Open(choice.path, &error);
  if (!library->loaded) {
    PrintError("%s: %s", command, error.c_str());
    return nullptr;
  }
  if (HRESULT hr = library->loaded->GetClassFactory(choice.clsid, &library->factory); FAILED(hr)) {
    library->factory = nullptr;
    PrintError("%s: %s: no class object for the filter class (%s)", command, choice.path.c_str(),
               FormatResult(hr).c_str());
    return nullptr;
  }
  library->path = choice.path;
  return library;
}

}  // namespace velquor::host
