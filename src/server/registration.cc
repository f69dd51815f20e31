#include "server/registration.h"

#include <vector>

#include "platform/codepage.h"
#include "platform/error_info.h"
#include "platform/module.h"
#include "platform/registrar.h"
#include "platform/typelib.h"
#include "server/server_module.h"

namespace velquor {
namespace {

constexpr UINT kRegistryScriptId = 102;

// Text in the wide character type of the registrar and type library calls.
using WideString = std::basic_string<OLECHAR>;

bool IsPathSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

// Converts an ANSI path to the wide text the registrar and the type library
// services take. Empty on a conversion failure.
WideString ToWide(const std::string& text) {
  if (text.empty()) return WideString();
  int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return WideString();
  WideString wide(static_cast<size_t>(n), OLESTR('\0'));
  if (MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n) != n) return WideString();
  wide.resize(static_cast<size_t>(n - 1));  // drop the terminating zero
  return wide;
}

}  // namespace

HRESULT GetModulePath(HMODULE module, std::string* path) {
  path->clear();
  std::vector<char> buffer(kMaxPathBuffer);
  DWORD n = GetModuleFileNameA(module, buffer.data(), kMaxPathBuffer);
  if (n == 0 || n >= kMaxPathBuffer) {
    DWORD error = GetLastError();
    return HresultFromWin32(error == 0 ? ERROR_INSUFFICIENT_BUFFER : error);
  }
  path->assign(buffer.data(), n);
  return S_OK;
}

HRESULT UpdateRegistryFromResource(bool register_mode) {
  IRegistrar* registrar = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar,
                                reinterpret_cast<void**>(&registrar));
  if (FAILED(hr)) return hr;

  std::string module_path;
  hr = GetModulePath(Module().instance, &module_path);
  if (SUCCEEDED(hr)) {
    WideString wide_module = ToWide(module_path);
    hr = registrar->AddReplacement(OLESTR("Module"), wide_module.c_str());
  }
  std::string resource_path;
  if (SUCCEEDED(hr)) hr = GetModulePath(Module().resource_instance, &resource_path);
  if (SUCCEEDED(hr)) {
    WideString wide_resource = ToWide(resource_path);
    hr = register_mode ? registrar->ResourceRegister(wide_resource.c_str(), kRegistryScriptId,
                                                     OLESTR("REGISTRY"))
                       : registrar->ResourceUnregister(wide_resource.c_str(), kRegistryScriptId,
                                                       OLESTR("REGISTRY"));
  }
  registrar->Release();
  return hr;
}

HRESULT RegisterServerTypeLib() {
  std::string path;
  HRESULT hr = GetModulePath(Module().typelib_instance, &path);
  if (FAILED(hr)) return hr;

  ITypeLib* lib = nullptr;
  WideString wide_path = ToWide(path);
  hr = LoadTypeLib(wide_path.c_str(), &lib);
  if (FAILED(hr)) {
    path = TypeLibFallbackPath(path);
    wide_path = ToWide(path);
    hr = LoadTypeLib(wide_path.c_str(), &lib);
    if (FAILED(hr)) return hr;
  }
  WideString help_dir = ToWide(HelpDirectoryOf(path));
  hr = RegisterTypeLib(lib, wide_path.data(), help_dir.data());
  lib->Release();
  return hr;
}

std::string TypeLibFallbackPath(const std::string& path) {
  // The last "." of the whole path, found character by character in the
  // ANSI code page, starts the part that ".tlb" replaces; a "." in a
  // directory name counts too, as it always has for this fallback.
  const char* begin = path.c_str();
  const char* last_dot = nullptr;
  for (const char* p = begin; *p != '\0'; p = CharNextA(p)) {
    if (*p == '.') last_dot = p;
  }
  std::string result =
      last_dot == nullptr ? path : path.substr(0, static_cast<size_t>(last_dot - begin));
  result += ".tlb";
  return result;
}

std::string HelpDirectoryOf(const std::string& path) {
  const char* begin = path.c_str();
  const char* end_of_dir = begin;
  for (const char* p = begin; *p != '\0'; p = CharNextA(p)) {
    if (IsPathSeparator(*p)) end_of_dir = p + 1;
  }
  return path.substr(0, static_cast<size_t>(end_of_dir - begin));
}

}  // namespace velquor
