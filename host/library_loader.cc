#include "library_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/registry.h"
#include "platform/typelib.h"

namespace velquor::host {
namespace {

constexpr char kLibraryName[] = "libvelquor.so";

// The default value (or `name`) of an HKEY_CLASSES_ROOT key as text.
bool ReadClassesString(const std::string& key, const char* name, std::string* value) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
    return false;
  std::vector<char> buffer(8192);
  DWORD size = static_cast<DWORD>(buffer.size());
  LSTATUS rc =
      RegQueryValueExA(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
  RegCloseKey(h);
  if (rc != ERROR_SUCCESS) return false;
  value->assign(buffer.data(), size);
  while (!value->empty() && value->back() == '\0') value->pop_back();
  return true;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ProgramDirectory() {
  std::vector<char> buffer(4096);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return std::string();
  std::string path(buffer.data(), static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

bool RegisteredLibrary(LibraryChoice* choice) {
  std::string clsid_text;
  if (!ReadClassesString(kHtmlFilterKey, "CLSID", &clsid_text)) return false;
  CLSID clsid;
  if (!ParseGuid(clsid_text, &clsid)) return false;
  std::string path;
  if (!ReadClassesString("CLSID\\" + GuidToString(clsid) + "\\InprocServer32", nullptr, &path) ||
      path.empty())
    return false;
  choice->path = path;
  choice->clsid = clsid;
  return true;
}

bool FindLibrary(const std::string& explicit_path, bool use_registration, LibraryChoice* choice,
                 std::string* error) {
  choice->clsid = CLSID_IENubrix;
  if (!explicit_path.empty()) {
    choice->path = explicit_path;
    return true;
  }
  if (use_registration && RegisteredLibrary(choice)) return true;

  std::string dir = ProgramDirectory();
  std::vector<std::string> candidates;
  if (!dir.empty()) {
    candidates.push_back(dir + "/" + kLibraryName);
#ifdef VELQUOR_INSTALL_LIBDIR
    candidates.push_back(dir + "/../" VELQUOR_INSTALL_LIBDIR "/" + kLibraryName);
#endif
    candidates.push_back(dir + "/../lib/" + kLibraryName);
  }
  for (const std::string& candidate : candidates) {
    if (IsRegularFile(candidate)) {
      // The path is registered as it stands: no "bin/.." in it.
      choice->path = std::filesystem::path(candidate).lexically_normal().string();
      return true;
    }
  }
  std::string looked = use_registration ? "no filter registered for text/html and " : "";
  *error = looked + "no " + kLibraryName + " next to the program or in ../lib" +
           (dir.empty() ? "" : " (program directory " + dir + ")") +
           "; give one with --library PATH";
  return false;
}

std::unique_ptr<LoadedLibrary> LoadedLibrary::Open(const std::string& path, std::string* error) {
  std::unique_ptr<LoadedLibrary> lib(new LoadedLibrary);
  lib->path_ = path;
  // A name without a slash would be searched on the loader's path; the user
  // meant a file.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  lib->handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib->handle_ == nullptr) {
    const char* reason = dlerror();
    *error = "cannot load " + path + ": " + (reason ? reason : "unknown reason");
    return nullptr;
  }
  lib->get_class_object_ =
      reinterpret_cast<DllGetClassObjectFn>(dlsym(lib->handle_, "DllGetClassObject"));
  lib->can_unload_now_ =
      reinterpret_cast<DllCanUnloadNowFn>(dlsym(lib->handle_, "DllCanUnloadNow"));
  lib->register_ = reinterpret_cast<DllRegisterServerFn>(dlsym(lib->handle_, "DllRegisterServer"));
  lib->unregister_ =
      reinterpret_cast<DllUnregisterServerFn>(dlsym(lib->handle_, "DllUnregisterServer"));
  if (lib->get_class_object_ == nullptr || lib->can_unload_now_ == nullptr ||
      lib->register_ == nullptr || lib->unregister_ == nullptr) {
    *error = path + " is not a filter library: its entry points are missing";
    return nullptr;  // the destructor unloads it
  }
  return lib;
}

LoadedLibrary::~LoadedLibrary() {
  if (handle_ == nullptr) return;
  // As a browser does: unload only when the library says nothing of it is
  // still in use.
  if (can_unload_now_ == nullptr || can_unload_now_() == S_OK) dlclose(handle_);
}

HRESULT LoadedLibrary::GetClassFactory(REFCLSID clsid, IClassFactory** factory) {
  *factory = nullptr;
  return get_class_object_(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory));
}

std::string FormatResult(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
  return text;
}

}  // namespace velquor::host
